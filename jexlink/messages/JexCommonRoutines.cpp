// The user-message routines: message texts by mnemonic or from an error, printed or fatal.
#include "jexlink/messages/JexCommonRoutines.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "jexlink/core/JexPrivLock.h"
#include "jexlink/core/JexThread.h"
#include "jexlink/core/JexTrace.h"
#include "jexlink/messages/JexCatalog.h"
#include "jexlink/messages/JexMsg.h"
#include "jexlink/transport/JexProtocol.h"

namespace {

constexpr const char* kSource = "JexCommonRoutines";

// The process-wide catalog and its lock live until the process ends, so
// that a thread still printing while the process exits finds them.
JexMutex& MessageLock() {
    static JexMutex* lock = new JexMutex();
    return *lock;
}

JexCatalog& Catalog() {
    static JexCatalog* catalog = new JexCatalog();
    return *catalog;
}

// The shared result buffer of the fixed-parameter routines. Blocks that
// git_C_init replaces are kept, so that a text handed out earlier stays
// readable.
struct ResultBuffer {
    char initial[kGitBufferDefaultSize] = {};
    char* data = initial;
    int size = kGitBufferDefaultSize;
    std::vector<char*> blocks;
};

ResultBuffer& Result() {
    static ResultBuffer* result = new ResultBuffer();
    return *result;
}

JexString MnemonicText(const char* mnemonic, const JexExcArgs& args, int showCode) {
    JexMutexLock hold(MessageLock());
    JexCatalog& catalog = Catalog();
    catalog.ShowCode(showCode);
    if (catalog.Lookup(mnemonic)) return catalog.Formatted(JexBuffer9(args));
    JexString text("Message not found: ");
    text += mnemonic ? mnemonic : "";
    return text;
}

// Removes one trailing line feed.
void DropNewline(JexString& text) {
    const int length = static_cast<int>(std::strlen(text.Text()));
    if (length == 0 || text.Text()[length - 1] != '\n') return;
    text = JexString::FromBytes(text.Text(), length - 1);
}

void Print(FILE* out, const char* format, const JexString& text) {
    std::fprintf(out, format, text.Text());
    std::fflush(out);
}

void PrintError(FILE* out, const char* format, JexString text, int newlines) {
    for (int i = 0; i < newlines; ++i) DropNewline(text);
    Print(out, format, text);
}

[[noreturn]] void End() {
    std::fflush(nullptr);
    _exit(1);
}

char* ToResult(const JexString& text) {
    JexMutexLock hold(MessageLock());
    ResultBuffer& result = Result();
    std::snprintf(result.data, static_cast<size_t>(result.size), "%s", text.Text());
    return result.data;
}

}  // namespace

JexString git(const char* mnemonic, const JexExcArgs& args) {
    JexTrace trace(kSource, "git", __LINE__);
    return MnemonicText(mnemonic, args, 1);
}

JexString git_nm(const char* mnemonic, const JexExcArgs& args) {
    JexTrace trace(kSource, "git_nm", __LINE__);
    return MnemonicText(mnemonic, args, 0);
}

JexString git(JexException& error) {
    JexTrace trace(kSource, "git", __LINE__);
    JexMutexLock hold(MessageLock());
    Catalog().ShowCode(1);
    return Catalog().Formatted(&error);
}

JexString git_nm(JexException& error) {
    JexTrace trace(kSource, "git_nm", __LINE__);
    JexMutexLock hold(MessageLock());
    Catalog().ShowCode(0);
    JexString text = Catalog().Formatted(&error);
    DropNewline(text);
    Catalog().ShowCode(1);
    return text;
}

void say(const char* mnemonic, const JexExcArgs& args) {
    JexTrace trace(kSource, "say", __LINE__);
    Print(stdout, "%s\n", git(mnemonic, args));
}

void say_nm(const char* mnemonic, const JexExcArgs& args) {
    JexTrace trace(kSource, "say_nm", __LINE__);
    Print(stdout, "%s\n", git_nm(mnemonic, args));
}

void say(JexException& error) {
    JexTrace trace(kSource, "say", __LINE__);
    PrintError(stderr, "%s\n", git(error), 1);
}

void say_nm(JexException& error) {
    JexTrace trace(kSource, "say_nm", __LINE__);
    PrintError(stderr, "%s\n", git_nm(error), 1);
}

void say_online(const char* mnemonic, const JexExcArgs& args) {
    JexTrace trace(kSource, "say_online", __LINE__);
    Print(stdout, "%s\r", git(mnemonic, args));
}

void say_online_nm(const char* mnemonic, const JexExcArgs& args) {
    JexTrace trace(kSource, "say_online_nm", __LINE__);
    Print(stdout, "%s\r", git_nm(mnemonic, args));
}

void say_online(JexException& error) {
    JexTrace trace(kSource, "say_online", __LINE__);
    PrintError(stderr, "%s\r", git(error), 1);
}

void say_online_nm(JexException& error) {
    JexTrace trace(kSource, "say_online_nm", __LINE__);
    PrintError(stdout, "%s\r", git_nm(error), 1);
}

void die(const char* mnemonic, const JexExcArgs& args) {
    JexTrace trace(kSource, "die", __LINE__);
    say(mnemonic, args);
    End();
}

void die_nm(const char* mnemonic, const JexExcArgs& args) {
    JexTrace trace(kSource, "die_nm", __LINE__);
    say_nm(mnemonic, args);
    End();
}

void die(JexException& error) {
    JexTrace trace(kSource, "die", __LINE__);
    say(error);
    End();
}

void die_nm(JexException& error) {
    JexTrace trace(kSource, "die_nm", __LINE__);
    say_nm(error);
    End();
}

char* git_0_C_no_param(const char* mnemonic) {
    JexTrace trace(kSource, "git_0_C_no_param", __LINE__);
    return ToResult(git_nm(mnemonic, JexExcArgs("git_0_C_no_param")));
}

char* git_1_C_numeric_param(const char* mnemonic, int32_t value) {
    JexTrace trace(kSource, "git_1_C_numeric_param", __LINE__);
    return ToResult(git_nm(mnemonic, JexExcArgs("git_1_C_numeric_param", value)));
}

char* git_2_C_1_char_param(const char* mnemonic, const char* text) {
    JexTrace trace(kSource, "git_2_C_1_char_param", __LINE__);
    return ToResult(git_nm(mnemonic, JexExcArgs("git_2_C_1_char_param", text)));
}

char* git_2_C_2_char_param(const char* mnemonic, const char* text1, const char* text2) {
    JexTrace trace(kSource, "git_2_C_2_char_param", __LINE__);
    return ToResult(git_nm(mnemonic, JexExcArgs("git_2_C_2_char_param", text1, text2)));
}

char* git_4_C_2_numeric_param(const char* mnemonic, int32_t value1, int32_t value2) {
    JexTrace trace(kSource, "git_4_C_2_numeric_param", __LINE__);
    return ToResult(git_nm(mnemonic, JexExcArgs("git_4_C_2_numeric_param", value1, value2)));
}

char* git_5_C_1_char_1_num_param(const char* mnemonic, const char* text, int32_t value) {
    JexTrace trace(kSource, "git_5_C_1_char_1_num_param", __LINE__);
    return ToResult(git_nm(mnemonic, JexExcArgs("git_5_C_1_char_1_num_param", text, value)));
}

char* git_6_C_1_num_1_char_param(const char* mnemonic, int32_t value, const char* text) {
    JexTrace trace(kSource, "git_6_C_1_num_1_char_param", __LINE__);
    return ToResult(git_nm(mnemonic, JexExcArgs("git_6_C_1_num_1_char_param", value, text)));
}

void git_C_init(const char* /*ignored*/, int size) {
    JexTrace trace(kSource, "git_C_init", __LINE__);
    if (size < 1) return;
    char* block = new (std::nothrow) char[static_cast<size_t>(size)];
    if (!block) return;
    block[0] = '\0';
    JexMutexLock hold(MessageLock());
    ResultBuffer& result = Result();
    result.blocks.push_back(block);
    result.data = block;
    result.size = size;
}

JexString ReadFile(const char* path) {
    JexTrace trace(kSource, "ReadFile()", __LINE__);
    FILE* file = JexPrivLock::fopen(path ? path : "", "r");
    int error = errno;
    struct stat status {};
    if (file && fstat(fileno(file), &status) == 0 &&
        (S_ISDIR(status.st_mode) || status.st_size > kReadFileLimit)) {
        error = S_ISDIR(status.st_mode) ? EISDIR : EFBIG;
        JexPrivLock::fclose(file);
        file = nullptr;
    }
    if (!file) {
        JexMsg message(JexMsg::OPENERR, JexExcArgs("ReadFile()", error, path));
        std::fprintf(stderr, "%s\n", git_nm(message).Text());
        End();
    }
    JexString text("");
    int32_t total = 0;
    char piece[256];
    while (std::fgets(piece, sizeof piece, file)) {
        total += static_cast<int32_t>(std::strlen(piece));
        if (total > kReadFileLimit) {  // grew while read
            JexPrivLock::fclose(file);
            JexMsg message(JexMsg::OPENERR, JexExcArgs("ReadFile()", EFBIG, path));
            std::fprintf(stderr, "%s\n", git_nm(message).Text());
            End();
        }
        text += piece;
    }
    JexPrivLock::fclose(file);
    return text;
}
