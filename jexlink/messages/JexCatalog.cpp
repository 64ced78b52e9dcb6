// JexCatalog: message texts by mnemonic from per-language catalog files, and errors as text.
#include "jexlink/messages/JexCatalog.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "jexlink/core/JexConfig.h"
#include "jexlink/core/JexDataFile.h"
#include "jexlink/core/JexThread.h"
#include "jexlink/core/JexTrace.h"
#include "jexlink/core/JexVBPrintF.h"

namespace {

constexpr const char* kSource = "JexCatalog";

// JEXCATALOG_TRACE, read once when the library loads: "f" file checks and
// unreadable files, "l" located and not located, "*" both.
constexpr int kTraceFiles = 1;
constexpr int kTraceLocate = 2;

int ReadTraceSwitch() {
    int flags = 0;
    const char* value = std::getenv("JEXCATALOG_TRACE");
    for (const char* c = value ? value : ""; *c; ++c) {
        if (*c == 'f' || *c == 'F') flags |= kTraceFiles;
        if (*c == 'l' || *c == 'L') flags |= kTraceLocate;
        if (*c == '*') flags |= kTraceFiles | kTraceLocate;
    }
    return flags;
}

const int trace_flags = ReadTraceSwitch();

// A facility names a catalog file: it must not lead out of its directory.
bool SafeFacility(const std::string& facility) {
    if (facility.find("..") != std::string::npos) return false;
    for (const char c : facility) {
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        const bool digit = c >= '0' && c <= '9';
        if (!letter && !digit && c != '_' && c != '$' && c != '.' && c != '-') return false;
    }
    return true;
}

// The catalog file that `path` names, its last component matched whatever
// its case (a peer's code name arrives in upper case): `path` itself when it
// exists, else the first such name of its directory in byte order; empty
// when there is none.
std::string CatalogFile(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) return path;
    const size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty()) return {};
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(directory.c_str()), ::closedir);
    if (!dir) return {};
    std::string best;
    while (const dirent* entry = ::readdir(dir.get())) {
        if (::strcasecmp(entry->d_name, name.c_str()) != 0) continue;
        if (best.empty() || std::strcmp(entry->d_name, best.c_str()) < 0) best = entry->d_name;
    }
    if (best.empty()) return {};
    return slash == std::string::npos ? best : directory + best;
}

JexString FromBuffer(const JexBuffer& buffer) {
    if (!buffer.Data()) return JexString("");
    return JexString::FromBytes(buffer.Data(), buffer.Length());
}

}  // namespace

JexCatalog::JexCatalog() { JexTrace trace(kSource, "JexCatalog()", __LINE__); }

JexCatalog::~JexCatalog() = default;

int JexCatalog::Lookup(const char* mnemonic) {
    JexTrace trace(kSource, "Lookup()", __LINE__);
    const char* given = mnemonic ? mnemonic : "";
    if (std::strcmp(given, mnemonic_.Text()) == 0) return found_;

    mnemonic_ = given;
    mnemonic_.ToUpper();
    found_ = 0;
    text_ = "";

    const char* colons = std::strstr(given, "::");
    const std::string facility = colons ? std::string(given, colons) : std::string();
    if (!SafeFacility(facility)) {
        if (trace_flags & kTraceLocate)
            std::fprintf(stderr, "<l> JexCatalog unable to locate mnemonic %s\n", given);
        return 0;
    }

    JexConfig config;
    JexFieldedString templates = config.Path("MSGPATH");
    if (templates.Count() == 0) templates[0] = kDefaultTemplate;
    const JexString language = std::getenv("LANG") ? std::getenv("LANG") : "";

    // Each template is substituted on its own, so that a comma in the
    // language cannot split one path into two.
    for (int i = 0; i < templates.Count(); ++i) {
        const JexString path = substitute(templates[i].Text(), facility.c_str(), language.Text());
        if (trace_flags & kTraceFiles)
            std::fprintf(stderr, "<f> JexCatalog checking for mnemonic %s\n\tin file %s\n", given,
                         path.Text());
        const std::string found = CatalogFile(path.Text());
        auto file = std::make_unique<JexDataFile>(found.empty() ? path.Text() : found.c_str(), 0);
        if (file->Code() != JexDataFile::OK) {
            if (trace_flags & kTraceFiles) {
                const JexString reason = file->Describe(1);
                std::fprintf(stderr, "      ...file not accessable, reason follows:\n%s\n",
                             reason.Text());
            }
            continue;
        }
        file->Rewind();
        for (;;) {
            JexFieldedString& fields = file->NextLine();
            if (file->Code() != JexDataFile::OK || fields.Count() == 0) break;
            JexString name = fields[0];
            name.ToUpper();
            if (std::strcmp(name.Text(), mnemonic_.Text()) != 0) continue;

            if (trace_flags & kTraceLocate)
                std::fprintf(stderr, "<l> JexCatalog located mnemonic %s\n\tin the file %s\n",
                             given, path.Text());
            found_ = 1;
            char work[kMaxText + 1];
            std::snprintf(work, sizeof work, "%s", fields.Field(1).Text());
            ExpandEscapes(work);
            text_ = work;
            return 1;
        }
    }
    if (trace_flags & kTraceLocate)
        std::fprintf(stderr, "<l> JexCatalog unable to locate mnemonic %s\n", given);
    found_ = 0;
    return 0;
}

JexString JexCatalog::Mnemonic() {
    JexTrace trace(kSource, "Mnemonic()", __LINE__);
    return mnemonic_;
}

JexString JexCatalog::Text() {
    JexTrace trace(kSource, "Text()", __LINE__);
    return found_ ? text_ : JexString("");
}

JexString JexCatalog::Formatted(const JexBuffer9& args) {
    JexTrace trace(kSource, "Formatted(b9)", __LINE__);
    if (!found_) return JexString("");
    JexBuffer buffers[kJexVBPrintFArgs];
    for (int i = 1; i < kJexVBPrintFArgs; ++i)
        if (const JexBuffer* arg = args[i]) buffers[i] = *arg;
    JexBuffer out;
    JexString formatted;
    if (JexVBPrintF(out, text_.Text(), buffers) < 0)
        formatted = kUnformattable;
    else
        formatted = FromBuffer(out);

    JexString result;
    if (showCode_) {
        result = mnemonic_;
        result += ", ";
    }
    result += formatted;
    if (!result.Data()) result = "";
    if (wrapColumn_ != 0) return wordwrap(result.Text(), wrapColumn_);
    return result;
}

JexString JexCatalog::Formatted(JexException* error) {
    JexTrace trace(kSource, "Formatted(exc)", __LINE__);
    JexString result("");
    int position = 1;
    for (JexException* link = error; link; link = link->Cause(), ++position) {
        JexString name;
        link->CodeName(name);
        JexString line;
        if (Lookup(name.Text())) {
            line = Formatted(JexBuffer9(link->Args()));
        } else {
            line = link->FormattedText(1);
            if (!showCode_) {
                const int comma = line.FindChar(',');
                const int length = static_cast<int>(std::strlen(line.Text()));
                if (comma >= 0 && comma + 2 < length) line = JexString(line.Text() + comma + 2);
            }
        }
        if (showCode_) result += position == 1 ? "--- " : "  - ";
        result += line;
        result += "\n";
    }
    return result;
}

void JexCatalog::ShowCode(int flag) {
    JexTrace trace(kSource, "ShowCode()", __LINE__);
    showCode_ = flag;
}

void JexCatalog::WrapAt(int column) {
    JexTrace trace(kSource, "WrapAt()", __LINE__);
    wrapColumn_ = column;
}

int JexCatalog::Found() {
    JexTrace trace(kSource, "Found()", __LINE__);
    return found_;
}

JexString JexCatalog::substitute(const char* templ, const char* facility, const char* language) {
    JexTrace trace(kSource, "substitute()", __LINE__);
    std::string out;
    bool percent = false;
    for (const char* c = templ ? templ : ""; *c; ++c) {
        if (percent) {
            if (*c == 'C')
                out += facility ? facility : "";
            else if (*c == 'L')
                out += language ? language : "";
            else {
                out += '%';
                out += *c;
            }
            percent = false;
            continue;
        }
        if (*c == '%' && c[1] != '\0') {
            percent = true;
            continue;
        }
        out += *c;
    }
    return JexString(out.c_str());
}

JexString JexCatalog::wordwrap(const char* text, int column) {
    JexTrace trace(kSource, "wordwrap()", __LINE__);
    const std::string in(text ? text : "");
    const long width = column < 4 ? 4 : column;
    long reach = static_cast<long>(column) * 75 / 100;
    if (reach < 3) reach = 3;
    const long n = static_cast<long>(in.size());
    std::string out;
    long s = 0;
    const auto emit = [&](long from, long to) {  // characters from..to-1
        if (to > from) out.append(in, static_cast<size_t>(from), static_cast<size_t>(to - from));
    };
    for (long i = 0; i < n; ++i) {
        if (in[static_cast<size_t>(i)] == '\n') {
            emit(s, i + 1);
            s = i + 1;
        }
        if (i - s <= width) continue;
        long j = i;
        while (j > s + reach && in[static_cast<size_t>(j)] != ' ') --j;
        if (j > s + reach) {
            emit(s, j);
            out += '\n';
            s = j + 1;
        } else {
            emit(s, i + 1);
            out += '\n';
            s = i + 1;
        }
    }
    emit(s, n);
    return JexString(out.c_str());
}

void JexCatalog::ExpandEscapes(char* text) {
    if (!text) return;
    char* to = text;
    for (const char* from = text; *from; ++from) {
        if (*from != '\\') {
            *to++ = *from;
            continue;
        }
        ++from;
        switch (*from) {
            case '\0': *to = '\0'; return;  // a backslash at the very end goes
            case 'a': *to++ = '\a'; break;
            case 'b': *to++ = '\b'; break;
            case 'f': *to++ = '\f'; break;
            case 'n': *to++ = '\n'; break;
            case 'r': *to++ = '\r'; break;
            case 't': *to++ = '\t'; break;
            case 'v': *to++ = '\v'; break;
            default: *to++ = *from; break;  // quotes, "?", "\" and the rest stand for themselves
        }
    }
    *to = '\0';
}
