// JexGetMsg: the text of a message of the catalog, into a caller's buffer.
#include "jexlink/messages/JexGetMsg.h"

#include <cstring>

#include "jexlink/core/JexException.h"
#include "jexlink/core/JexTrace.h"
#include "jexlink/messages/JexCommonRoutines.h"

int JexGetMsg(const char* mnemonic, char* buffer, size_t size) {
    JexTrace trace("JexCommonRoutines", "JexGetMsg()", __LINE__);
    if (!buffer || size == 0) return 1;
    buffer[0] = '\0';
    const JexString text = git_nm(mnemonic, JexExcArgs());
    std::strncpy(buffer, text.Text(), size);
    buffer[size - 1] = '\0';
    return 1;
}
