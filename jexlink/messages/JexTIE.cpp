// JexTIE: transportable images of catalog messages and errors inside net messages.
#include "jexlink/messages/JexTIE.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "jexlink/core/JexThread.h"
#include "jexlink/core/JexTrace.h"
#include "jexlink/core/JexVBPrintF.h"

namespace {

constexpr const char* kSource = "JexTIE";

// JEXTIE_TRACE, read once when the library loads: "l" load lines, "u"
// unload lines, "*" both.
constexpr int kTraceLoad = 1;
constexpr int kTraceUnload = 2;

int ReadTraceSwitch() {
    int flags = 0;
    const char* value = std::getenv("JEXTIE_TRACE");
    for (const char* c = value ? value : ""; *c; ++c) {
        if (*c == 'l' || *c == 'L') flags |= kTraceLoad;
        if (*c == 'u' || *c == 'U') flags |= kTraceUnload;
        if (*c == '*') flags |= kTraceLoad | kTraceUnload;
    }
    return flags;
}

const int trace_flags = ReadTraceSwitch();

bool HoldsData(const JexBuffer& item) { return item.Data() && item.Length() > 0; }

JexString TextOf(const JexBuffer& item) {
    return HoldsData(item) ? JexString::FromBytes(item.Data(), item.Length()) : JexString("");
}

void SetText(JexBuffer& item, const JexString& text) { item = JexBuffer(text.Text()); }

JexExcArgs CarriedArgs(const JexNetMsg& msg, const char* origin) {
    JexExcArgs args(origin);
    for (int i = 1; i <= 9; ++i) args[i] = msg[kTieItemFirstArg + i - 1];
    return args;
}

// The items of one error, its cause left out.
void LoadOne(JexException& error, JexNetMsg& msg) {
    JexString name;
    error.CodeName(name);
    SetText(msg[kTieItemName], name);
    SetText(msg[kTieItemText], error.FormattedText(0));
    const JexExcArgs args = error.Args();
    for (int i = 1; i <= 9; ++i) msg[kTieItemFirstArg + i - 1] = args[i];
    msg[kTieItemCause].Free();
    if (trace_flags & kTraceLoad)
        std::fprintf(stderr, "-l- TIE loaded '%s' exception, value %d\n", name.Text(),
                     error.Code());
}

// A text that arrived formatted is shown as it came: a "%" in it is no
// conversion when the error is formatted again.
JexString Literal(const JexString& text) {
    std::string out;
    for (const char* c = text.Text(); *c; ++c) {
        out += *c;
        if (*c == '%') out += '%';
    }
    return JexString(out.c_str());
}

// The images of a chain, outermost first: the message itself and the
// nested images that decode cleanly, up to kMaxImageDepth of them. An image
// without a code name ends the chain (it is not unloaded).
class ImageChain {
public:
    explicit ImageChain(const JexNetMsg& msg) {
        const JexNetMsg* level = &msg;
        while (HoldsData((*level)[kTieItemName])) {
            levels_.push_back(level);
            const JexBuffer& cause = (*level)[kTieItemCause];
            if (!HoldsData(cause) || static_cast<int>(levels_.size()) >= kMaxImageDepth) break;
            auto nested = std::make_unique<JexNetMsg>();
            nested->Decode(cause);
            if (nested->Corrupt()) break;
            owned_.push_back(std::move(nested));
            level = owned_.back().get();
        }
    }

    int Count() const { return static_cast<int>(levels_.size()); }
    const JexNetMsg& operator[](int i) const { return *levels_[static_cast<size_t>(i)]; }

private:
    std::vector<const JexNetMsg*> levels_;
    std::vector<std::unique_ptr<JexNetMsg>> owned_;
};

void UnloadOne(const JexNetMsg& image, JexException& target, int replace, int mode) {
    const JexString name = TextOf(image[kTieItemName]);
    const JexExcArgs args = CarriedArgs(image, "remote exception");
    int code = target.CodeFromName(name.Text());
    // The external-message row names no message of its own: its text would
    // be lost.
    if (code == JexException::kExternalMessage) code = JexException::kNoSuchName;

    JexString external(name);
    if (HoldsData(image[kTieItemText])) {
        external += ", ";
        external += Literal(TextOf(image[kTieItemText]));
    }
    // A target without an error (code 0) has nothing to keep beneath.
    JexException* cause = replace || target.Code() == 0 ? nullptr : &target;
    if (mode == 0 && code != JexException::kNoSuchName) {
        target.ExcSet(code, args, cause);
    } else if (mode == 0) {
        // The earlier error is copied as the cause before the new text is
        // set, so that it keeps its own text.
        target.ExcSet(JexException::kExternalMessage, args, cause);
        target.SetExternalMessage(external);
    } else if (code != JexException::kNoSuchName) {
        target.ExcSetViaClone(code, args, nullptr);
    } else {
        target.ExcSetText(external.Text(), args, nullptr);
    }
    if (trace_flags & kTraceUnload)
        std::fprintf(stderr, "-u- TIE unloaded '%s' exception\n", name.Text());
}

}  // namespace

int JexTIELoadMessage(JexCatalog& catalog, const char* mnemonic, const JexBuffer9& args,
                      JexNetMsg& msg) {
    JexTrace trace(kSource, "JexTIELoadMessage", __LINE__);
    if (!catalog.Lookup(mnemonic)) return 0;
    msg[kTieItemName] = JexBuffer(mnemonic ? mnemonic : "");
    SetText(msg[kTieItemText], catalog.Text());
    for (int i = 1; i <= 9; ++i) {
        const JexBuffer* arg = args[i];
        if (arg)
            msg[kTieItemFirstArg + i - 1] = *arg;
        else
            msg[kTieItemFirstArg + i - 1].Free();
    }
    if (trace_flags & kTraceLoad)
        std::fprintf(stderr, "-l- TIE loaded '%s' message\n", mnemonic ? mnemonic : "");
    return 1;
}

int JexTIELoadException(JexException& error, JexNetMsg& msg) {
    JexTrace trace(kSource, "JexTIELoadException", __LINE__);
    std::vector<JexException*> chain;
    for (JexException* link = &error; link; link = link->Cause()) chain.push_back(link);
    // Innermost first: each cause's encoding goes into item 58 of the image
    // one level up.
    JexBuffer below;
    for (size_t i = chain.size() - 1; i >= 1; --i) {
        auto level = std::make_unique<JexNetMsg>(msg.Type());
        LoadOne(*chain[i], *level);
        if (below.Data()) (*level)[kTieItemCause] = below;
        // A level that cannot be framed ends the carried chain there.
        if (level->Encode(below) != JexNetMsg::kEncoded) below.Free();
    }
    LoadOne(error, msg);
    if (below.Data()) msg[kTieItemCause] = below;
    return 1;
}

int JexTIEUnloadMessage(JexCatalog& catalog, const JexNetMsg& msg, JexString& mnemonic,
                        JexString& text) {
    JexTrace trace(kSource, "JexTIEUnloadMessage", __LINE__);
    mnemonic = TextOf(msg[kTieItemName]);
    const JexExcArgs args = CarriedArgs(msg, "");
    if (trace_flags & kTraceUnload)
        std::fprintf(stderr, "-u- TIE unloaded '%s' message\n", mnemonic.Text());
    if (catalog.Lookup(mnemonic.Text())) {
        text = catalog.Formatted(JexBuffer9(args));
        return 1;
    }
    const JexString carried = TextOf(msg[kTieItemText]);
    JexBuffer out;
    if (JexVBPrintF(out, carried.Text(), args.Buffers()) != 0) {
        text = out.Data() ? JexString::FromBytes(out.Data(), out.Length()) : JexString("");
        return 1;
    }
    text = carried;
    return 0;
}

int JexTIEUnloadException(const JexNetMsg& msg, JexException& target, int replace, int mode) {
    JexTrace trace(kSource, "JexTIEUnloadException", __LINE__);
    const ImageChain chain(msg);
    if (chain.Count() == 0) return 1;
    if (mode == 0) {
        // Innermost first; only the innermost may replace the earlier error,
        // every outer one takes the error set before it as its cause.
        for (int i = chain.Count() - 1; i >= 0; --i) {
            const bool hasCause = HoldsData(chain[i][kTieItemCause]);
            UnloadOne(chain[i], target, hasCause ? 0 : replace, 0);
        }
        return 1;
    }
    for (int i = 0; i < chain.Count(); ++i) UnloadOne(chain[i], target, 0, 1);
    return 1;
}
