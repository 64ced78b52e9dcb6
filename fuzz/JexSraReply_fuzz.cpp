// Fuzz target: a "Jex_Sra" server's accept data and reply, as the create client and the director's
// entry read them.
//
// Reaches: a server's accept data and reply of any bytes up to 1 MiB: the size limit, the reply
// kinds, the director's error text.
// Cannot reach: the create client's session and the director's process.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "jexlink/core/JexNetMsg.h"
#include "jexlink/sra/JexCreateSrq.h"
#include "jexlink/sra/JexSraProtocol.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 20) return 0;
    JexNetMsg reply;
    reply.Decode(data, static_cast<int>(size));

    // As accept data: the limit is read from whatever is there.
    const uint32_t limit = JexSraSizeLimit(reply);
    Check(!JexSraOverLimit(0, limit));

    const JexSraReply kind = JexSraClassifyReply(reply);
    Check(kind != JexSraReply::kUndecodable || reply.Corrupt());
    if (kind == JexSraReply::kSuccess) (void)JexSraText(reply[kSraItemLine]);

    // The error text the director would be shown.
    const JexString text = JexFormatErrorMsg(reply);
    Check(std::strncmp(text.Text(), "--- ", 4) == 0);
    return 0;
}
