// The protocol base: error state that travels inside net messages, with its whole cause chain.
#include "jexlink/transport/JexProtocol.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#define JEX_TEXT_CLASS JexProtocol
const JexTextRow JexProtocol::kTextTable[] = JEX_TEXT_TABLE(JEXPROTOCOL_TEXTS);
#undef JEX_TEXT_CLASS

namespace {

bool Present(const JexBuffer& item) { return item.Data() != nullptr; }
bool HoldsData(const JexBuffer& item) { return item.Data() && item.Length() > 0; }

void SetItem(JexBuffer& item, const JexString& text) { item = JexBuffer(text.Text()); }

// The error items of one object, without its cause.
void LoadOne(JexException& error, JexNetMsg& msg) {
    JexString name;
    SetItem(msg[JexProtocol::kItemCodeName], error.CodeName(name));
    SetItem(msg[JexProtocol::kItemText], error.FormattedText(0));
    const JexExcArgs args = error.Args();
    const JexBuffer9 nine(args);
    for (int i = 1; i <= 9; ++i) {
        const JexBuffer* arg = nine[i];
        if (arg && HoldsData(*arg)) msg[JexProtocol::kItemFirstArg + i - 1] = *arg;
    }
}

// A received text stands as it is: it was formatted by its sender, so a "%"
// in it must not be taken for a conversion when it is shown again.
JexString Literal(const JexString& text) {
    std::string out;
    for (const char* c = text.Text(); *c; ++c) {
        out += *c;
        if (*c == '%') out += '%';
    }
    return JexString(out.c_str());
}

// The error items of one level of a cause chain, as views into the bytes
// that carry them: a level is read where it lies, never copied out whole.
struct ItemView {
    const char* data = nullptr;  // null: the item is absent
    int length = 0;
};

struct ErrorLevel {
    ItemView name;
    ItemView text;
    ItemView args[9];
    ItemView cause;
};

ItemView ViewOf(const JexBuffer& item) { return {item.Data(), item.Data() ? item.Length() : 0}; }

ErrorLevel LevelOf(const JexNetMsg& msg) {
    ErrorLevel level;
    level.name = ViewOf(msg[JexProtocol::kItemCodeName]);
    level.text = ViewOf(msg[JexProtocol::kItemText]);
    for (int i = 0; i < 9; ++i) level.args[i] = ViewOf(msg[JexProtocol::kItemFirstArg + i]);
    level.cause = ViewOf(msg[JexProtocol::kItemCause]);
    return level;
}

// The error items of the message encoded in `bytes`, read as JexNetMsg
// decodes (a later item of the same slot wins; a truncated tail is
// ignored; the raw form carries no error).
ErrorLevel LevelOf(const char* bytes, int n) {
    ErrorLevel level;
    const auto* b = reinterpret_cast<const unsigned char*>(bytes);
    if (!b || n <= 0 || b[0] == JexNetMsg::kRawMark) return level;
    for (int pos = 1; n - pos >= 4;) {
        const int slot = b[pos];
        const int length = b[pos + 1] | (b[pos + 2] << 8) | (b[pos + 3] << 16);
        if (length > n - pos - 4) break;
        const ItemView item{bytes + pos + 4, length};
        if (slot == JexProtocol::kItemCodeName) level.name = item;
        if (slot == JexProtocol::kItemText) level.text = item;
        if (slot >= JexProtocol::kItemFirstArg && slot < JexProtocol::kItemFirstArg + 9)
            level.args[slot - JexProtocol::kItemFirstArg] = item;
        if (slot == JexProtocol::kItemCause) level.cause = item;
        pos += 4 + length;
    }
    return level;
}

// A peer's text as kept: at most `limit` bytes of it.
JexString KeptText(const ItemView& item, int limit) {
    if (!item.data || item.length <= 0) return JexString("");
    return JexString::FromBytes(item.data, std::min(item.length, limit));
}

// Sets one object's error from the items of one level, with the cause
// already rebuilt (or none).
int UnloadOne(JexException& target, const ErrorLevel& level, const char* label,
              JexException* cause) {
    JexExcArgs args(label);
    for (int i = 1; i <= 9; ++i) {
        const ItemView& arg = level.args[i - 1];
        if (arg.data)
            args[i] = JexBufferBase(arg.data, std::min(arg.length, JexProtocol::kMaxArgument));
    }
    const JexString name = KeptText(level.name, JexProtocol::kMaxCodeName);
    int code = name.Text()[0] ? target.CodeFromName(name.Text()) : JexException::kNoSuchName;
    // A row for the external message would leave the object without its text.
    if (code == JexException::kExternalMessage) code = JexException::kNoSuchName;
    if (code != JexException::kNoSuchName) return target.ExcSet(code, args, cause);

    JexString message(name.Text()[0] ? name.Text() : "******");
    if (level.text.data && level.text.length > 0) {
        message += ", ";
        message += Literal(KeptText(level.text, JexProtocol::kMaxArgument));
    }
    target.SetExternalMessage(message);
    return target.ExcSet(JexException::kExternalMessage, args, cause);
}

}  // namespace

const JexBuffer* JexBuffer9::operator[](int index) const {
    if (index >= 1 && index <= 9) return &args_[index];
    std::fprintf(stderr, "JexBuffer9 index error: offending index=%d\n", index);
    return nullptr;
}

JexProtocol::JexProtocol() : JexException(kTextTable, "JexProtocol") {}

JexProtocol::JexProtocol(const JexTextRow* table, const char* className)
    : JexException(table, className) {}

JexProtocol::~JexProtocol() = default;

void JexProtocol::LoadException(JexNetMsg& msg) {
    JexMutexLock hold(Mutex());
    // Innermost first: each cause's message is encoded into the item ':'
    // of the message one level up.
    std::vector<JexException*> chain;
    for (JexException* link = Cause(); link; link = link->Cause()) chain.push_back(link);
    JexBuffer below;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        auto level = std::make_unique<JexNetMsg>(kCauseType);
        LoadOne(**it, *level);
        if (Present(below)) (*level)[kItemCause] = below;
        // A level that cannot be framed leaves below without storage: the chain ends there.
        if (level->Encode(below) != JexNetMsg::kEncoded) below.Free();
    }
    LoadOne(*this, msg);
    if (Present(below)) msg[kItemCause] = below;
}

int JexProtocol::UnloadException(const JexNetMsg& msg, const char* label) {
    // Find the levels of the chain first, no deeper than the limit. Each is
    // read inside the bytes of the one above it, so the whole chain costs
    // what the message already holds, whatever its depth.
    const ErrorLevel top = LevelOf(msg);
    std::vector<ErrorLevel> levels;
    ItemView next = top.cause;
    bool cut = false;
    while (next.data) {
        if (static_cast<int>(levels.size()) == kMaxCauseDepth) {
            cut = true;
            break;
        }
        levels.push_back(LevelOf(next.data, next.length));
        next = levels.back().cause;
    }

    // Then rebuild the causes from the innermost up; each level's cause is
    // copied into it, so one object of the level below is enough.
    std::unique_ptr<JexProtocol> cause;
    if (cut) {
        cause = std::make_unique<JexProtocol>();
        char text[160];
        std::snprintf(text, sizeof text,
                      "JexProtocol::CAUSEDEPTH, Error chain longer than %d causes: the rest "
                      "was not read",
                      kMaxCauseDepth);
        cause->SetExternalMessage(JexString(text));
        cause->ExcSet(kExternalMessage, JexExcArgs(label));
    }
    for (auto it = levels.rbegin(); it != levels.rend(); ++it) {
        auto level = std::make_unique<JexProtocol>();
        UnloadOne(*level, *it, label, cause.get());
        cause = std::move(level);
    }
    return UnloadOne(*this, top, label, cause.get());
}

JexString& JexProtocol::DescribeMsg(JexString& out, const JexNetMsg& msg) {
    JexProtocol carrier;
    carrier.UnloadException(msg, nullptr);
    return carrier.Describe(out, 1);
}
