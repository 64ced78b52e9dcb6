// printf-style formatting whose arguments are byte buffers.
#include "jexlink/core/JexVBPrintF.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

namespace {

constexpr int kCap = 1024;
constexpr int kMaxConversions = 9;

enum class Mode { Unset, Sequential, Positional };

// Reads one template; Run gives false for a malformed one.
class Formatter {
public:
    Formatter(const char* format, const JexBuffer* arguments) : p(format), args(arguments) {}

    bool Run() {
        while (*p && !malformed) {
            if (*p != '%') {
                out += *p++;
                continue;
            }
            if (p[1] == '%' && conversions < kMaxConversions) {
                out += '%';
                p += 2;
                continue;
            }
            if (conversions < kMaxConversions) {
                Conversion();
                continue;
            }
            // Past the ninth conversion the first "%" drops itself and keeps
            // the character behind it; later ones are copied unchanged.
            ++p;
            if (!pastLimit && *p) {
                out += *p++;
            } else if (pastLimit) {
                out += '%';
            }
            pastLimit = true;
        }
        return !malformed;
    }

    const std::string& Output() const { return out; }

private:
    static bool IsDigit(char c) { return c >= '0' && c <= '9'; }

    // Records a malformed template; every caller then stops reading it.
    void Malformed() { malformed = true; }

    void SetMode(Mode m) {
        if (mode == Mode::Unset) mode = m;
        if (mode != m) Malformed();
    }

    const JexBuffer* Arg(int n) const {
        static const JexBuffer kEmpty;
        if (n < 1 || n > 9) {
            std::fprintf(stderr, "JexBuffer9 index error: offending index=%d\n", n);
            return &kEmpty;
        }
        return args ? &args[n] : &kEmpty;
    }

    // "N$" after a "*" in positional mode, or the next argument otherwise.
    int StarArgument() {
        if (IsDigit(p[0]) && p[1] == '$') {
            if (mode != Mode::Positional) Malformed();
            const int n = p[0] - '0';
            p += 2;
            return n;
        }
        if (mode != Mode::Sequential) Malformed();
        return ++sequence;
    }

    // A width or precision: digits (saturating) or "*"; -1 when absent.
    int Number(bool* fromStar) {
        *fromStar = false;
        if (*p == '*') {
            ++p;
            *fromStar = true;
            return Arg(StarArgument())->GetLong();
        }
        if (!IsDigit(*p)) return -1;
        int v = 0;
        while (IsDigit(*p)) {
            if (v <= kCap) v = v * 10 + (*p - '0');
            ++p;
        }
        return v;
    }

    void Conversion() {
        const char* start = p++;
        ++conversions;
        int argument;
        if (IsDigit(p[0]) && p[1] == '$') {
            SetMode(Mode::Positional);
            argument = p[0] - '0';
            if (argument == 0) Malformed();
            p += 2;
        } else {
            SetMode(Mode::Sequential);
            argument = 0;  // taken after any "*" width or precision
        }

        std::string flags;
        while (*p && std::strchr(" -+#0", *p)) flags += *p++;

        bool star;
        int width = Number(&star);
        if (width < 0 && star) {  // a negative "*" width means left-justify
            flags += '-';
            width = width == INT32_MIN ? kCap : -width;
        }
        int precision = -1;
        if (*p == '.') {
            ++p;
            precision = Number(&star);
            if (precision < 0 && !star) precision = 0;
        }
        if (width > kCap) width = kCap;
        if (precision > kCap) precision = kCap;

        bool shortValue = false;
        if (*p == 'h' || *p == 'l' || *p == 'L') shortValue = *p++ == 'h';

        if (!*p) Malformed();
        if (malformed) return;
        char letter = *p++;
        if (mode == Mode::Sequential) argument = ++sequence;
        const JexBuffer* arg = Arg(argument);

        switch (letter) {
            case 'D':
            case 'I':
            case 'O':
            case 'U':
                letter = static_cast<char>(std::tolower(static_cast<unsigned char>(letter)));
                [[fallthrough]];
            case 'd':
            case 'i':
            case 'o':
            case 'u':
            case 'x':
            case 'X': {
                const int v = shortValue ? arg->GetShort() : arg->GetLong();
                const char* allowed =
                    (letter == 'd' || letter == 'i') ? " -+0" : (letter == 'u' ? "-0" : "-#0");
                Emit(Spec(flags, allowed, width, precision, shortValue ? "h" : "", letter), v);
                return;
            }
            case 'c': {
                const int v = shortValue ? arg->GetShort() : arg->GetLong();
                // A NUL would end the text for every reader: it writes nothing.
                if (static_cast<unsigned char>(v) == 0) return;
                Emit(Spec(flags, "-", width, -1, "", 'c'), v);
                return;
            }
            case 'p': {
                const auto v = static_cast<uint32_t>(shortValue ? arg->GetShort() : arg->GetLong());
                Emit(Spec(flags, "-", width, -1, "", 'p'),
                     reinterpret_cast<void*>(static_cast<uintptr_t>(v)));
                return;
            }
            case 'e':
            case 'E':
            case 'f':
            case 'g':
            case 'G':
                Emit(Spec(flags, " -+#0", width, precision, "", letter),
                     static_cast<double>(arg->GetLong()));
                return;
            case 's': {
                const char* text = arg->Data() ? arg->Data() : "<Null>";
                if (width < 0 && precision < 0 && arg->Data()) {
                    out += text;
                    return;
                }
                Emit(Spec(flags, "-", width, precision, "", 's'), text);
                return;
            }
            default:
                // Not a conversion this formatter knows: the letter is used
                // up and the conversion's text is kept as it stood.
                out.append(start, static_cast<size_t>(p - start));
                return;
        }
    }

    // The conversion as the C library will see it: only the flags allowed
    // for the letter, numbers already capped, and no "*".
    static std::string Spec(const std::string& flags, const char* allowed, int width, int precision,
                            const char* modifier, char letter) {
        std::string spec = "%";
        for (char f : flags)
            if (std::strchr(allowed, f) && spec.find(f) == std::string::npos) spec += f;
        if (width >= 0) spec += std::to_string(width);
        if (precision >= 0) spec += "." + std::to_string(precision);
        spec += modifier;
        spec += letter;
        return spec;
    }

    template <typename T>
    void Emit(const std::string& spec, T value) {
        // The conversion is built from checked parts by Spec above.
        const int n = std::snprintf(nullptr, 0, spec.c_str(), value);
        if (n <= 0) return;
        const size_t at = out.size();
        out.resize(at + static_cast<size_t>(n) + 1);
        std::snprintf(out.data() + at, static_cast<size_t>(n) + 1, spec.c_str(), value);
        out.resize(at + static_cast<size_t>(n));
    }

    const char* p;
    const JexBuffer* args;
    std::string out;
    Mode mode = Mode::Unset;
    int conversions = 0;
    int sequence = 0;
    bool pastLimit = false;
    bool malformed = false;
};

}  // namespace

namespace {

void Put(JexBuffer& out, const std::string& text) {
    out.SetLength(static_cast<int>(text.size()));
    if (out.Data()) std::memcpy(out.Data(), text.data(), text.size());
}

}  // namespace

int JexVBPrintF(JexBuffer& out, const char* format, const JexBuffer* args) {
    if (!format) format = "";
    // The template and the arguments may lie in out: everything is read
    // before out is written.
    try {
        Formatter formatter(format, args);
        if (!formatter.Run()) {
            Put(out, std::string("Botched JexVBPrintF format: ") + format);
            return -1;
        }
        Put(out, formatter.Output());
        return out.Length();
    } catch (const std::bad_alloc&) {  // no exception leaves the library
        out.Free();
        return -1;
    }
}
