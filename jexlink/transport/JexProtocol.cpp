// The protocol base: error state that travels inside net messages, with its whole cause chain.
#include "jexlink/transport/JexProtocol.h"

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

JexString TextOf(const JexBuffer& item) {
    return HoldsData(item) ? JexString::FromBytes(item.Data(), item.Length()) : JexString("");
}

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

// Sets one object's error from the items of one message, with the cause
// already rebuilt (or none).
int UnloadOne(JexException& target, const JexNetMsg& msg, const char* label, JexException* cause) {
    JexExcArgs args(label);
    for (int i = 1; i <= 9; ++i) args[i] = msg[JexProtocol::kItemFirstArg + i - 1];
    const JexString name = TextOf(msg[JexProtocol::kItemCodeName]);
    int code = name.Text()[0] ? target.CodeFromName(name.Text()) : JexException::kNoSuchName;
    // A row for the external message would leave the object without its text.
    if (code == JexException::kExternalMessage) code = JexException::kNoSuchName;
    if (code != JexException::kNoSuchName) return target.ExcSet(code, args, cause);

    JexString message(name.Text()[0] ? name.Text() : "******");
    if (HoldsData(msg[JexProtocol::kItemText])) {
        message += ", ";
        message += Literal(TextOf(msg[JexProtocol::kItemText]));
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

JexProtocol::JexProtocol(const JexTextRow* table, const char* class_name)
    : JexException(table, class_name) {}

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
    // Decode the chain of nested messages first, no deeper than the limit.
    std::vector<std::unique_ptr<JexNetMsg>> levels;
    const JexNetMsg* at = &msg;
    bool cut = false;
    while (Present((*at)[kItemCause])) {
        if (static_cast<int>(levels.size()) == kMaxCauseDepth) {
            cut = true;
            break;
        }
        auto next = std::make_unique<JexNetMsg>();
        next->Decode((*at)[kItemCause]);
        at = next.get();
        levels.push_back(std::move(next));
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
        UnloadOne(*level, **it, label, cause.get());
        cause = std::move(level);
    }
    return UnloadOne(*this, msg, label, cause.get());
}

JexString& JexProtocol::DescribeMsg(JexString& out, const JexNetMsg& msg) {
    JexProtocol carrier;
    carrier.UnloadException(msg, nullptr);
    return carrier.Describe(out, 1);
}
