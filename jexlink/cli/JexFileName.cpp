// The file-name model: Qvos, Unix and Windows file specifications, inheritance and renderings.
#include "jexlink/cli/JexFileName.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#define JEX_TEXT_CLASS JexFileName
const JexTextRow JexFileName::kTextTable[] = JEX_TEXT_TABLE(JEXFILENAME_TEXTS);
#undef JEX_TEXT_CLASS

namespace {

constexpr const char* kNodeChars = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
constexpr const char* kNameChars = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_$";
constexpr char kJoiner = '\4';

bool InSet(char c, const char* set) {
    const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const char* p = set; *p; ++p)
        if (*p == upper) return true;
    return false;
}

bool AllInSet(const std::string& text, const char* set) {
    for (char c : text)
        if (!InSet(c, set)) return false;
    return true;
}

bool AllDigits(const std::string& text) {
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

// Decimal digits to a value, held within the 32-bit range.
int32_t DigitsValue(const std::string& digits) {
    long long value = 0;
    for (char c : digits) {
        value = value * 10 + (c - '0');
        if (value > INT32_MAX) return INT32_MAX;
    }
    return static_cast<int32_t>(value);
}

// Splits a version text into sign and digits; true when only digits follow
// the optional leading '-' (an empty text counts).
bool VersionValue(std::string text, int32_t& out) {
    int sign = 1;
    if (!text.empty() && text[0] == '-') {
        sign = -1;
        text.erase(0, 1);
    }
    if (!AllDigits(text)) return false;
    out = sign * DigitsValue(text);
    return true;
}

std::string Field(JexFieldedString& list, int i) { return list[i].Text(); }

std::string Join(JexFieldedString& list, char separator) {
    std::string out;
    for (int i = 0; i < list.Count(); ++i) {
        if (i) out += separator;
        out += list[i].Text();
    }
    return out;
}

std::string DecimalText(int32_t n) { return std::to_string(n); }

}  // namespace

JexFileName::JexFileName(const char* text)
    : JexException(kTextTable, "JexFileName"),
      spec_text("", 1),
      directories(','),
      merged_directories(':') {
    Parse(text);
}

JexFileName::JexFileName(const JexString& text) : JexFileName(text.Text()) {}

JexFileName::~JexFileName() = default;

JexFileName& JexFileName::operator=(const char* text) {
    Parse(text);
    return *this;
}

JexFileName& JexFileName::operator=(const JexString& text) {
    const std::string copy = text.Text();  // the text may be one of ours
    ExcSet(OK, JexExcArgs());
    Parse(copy.c_str());
    return *this;
}

bool JexFileName::Fail(int code, const char* tag, const char* given, const char* reason) {
    if (code == BADNAME)
        ExcSet(code, JexExcArgs(tag, given, reason));
    else
        ExcSet(code, JexExcArgs(tag));
    Raise();
    return false;
}

void JexFileName::Parse(const char* source) {
    // Work on a copy: the text may be one of this object's renderings.
    const std::string given = source ? source : "";
    Reset(given);
    const std::string file = TakeLocator(given);
    kind = KindOf(file);
    if (kind == Undetermined) relative = 1;

    std::string work = file;  // name_type while taking the text apart
    if (kind == Unix) TakeUnixPath(file, work);
    if (kind == Qvos && !TakeQvosPath(given, work)) return;
    if (kind == Windows && !TakeWindowsPath(file, work)) return;
    Normalise(directories);

    if (!TakeNameTypeVersion(given, work)) return;
    name_type = work.c_str();
    if (kind == Qvos && !CheckQvosComponents(given)) return;
    Render();
}

void JexFileName::Reset(const std::string& given) {
    spec_text = given.c_str();
    node = "";
    device = "";
    name = "";
    type = "";
    locator = "";
    directories.Clear();
    version = 1;
    relative = 0;
    hasNode = hasDevice = hasDirectory = hasName = hasType = hasVersion = hasLocator = false;
}

std::string JexFileName::TakeLocator(const std::string& given) {
    const size_t at = given.rfind('@');
    if (at == std::string::npos) return given;
    hasLocator = true;
    locator = given.substr(at + 1).c_str();
    return given.substr(0, at);
}

int32_t JexFileName::KindOf(const std::string& file) {
    const size_t colon = file.find(':');
    if (file.find('/') != std::string::npos) return Unix;
    if (file.find('\\') != std::string::npos) return Windows;
    if (file.find_first_of("[]<>;") != std::string::npos) return Qvos;
    if (colon != std::string::npos && colon >= 2) return Qvos;
    if (colon == 1) return Windows;
    return Undetermined;
}

void JexFileName::TakeUnixPath(const std::string& file, std::string& work) {
    directories.SetSeparator('/');
    directories.Parse(file.c_str());
    hasDirectory = directories.Count() > 1;
    work = directories.Remove(directories.Count() - 1).Text();
    if (directories.Count() > 0 && !Field(directories, 0).empty()) {
        relative = 1;
        return;
    }
    relative = 0;
    directories.Remove(0);
}

bool JexFileName::TakeQvosPath(const std::string& given, std::string& work) {
    const size_t pair = work.find("::");
    if (pair != std::string::npos) {
        const std::string n = work.substr(0, pair);
        node = n.c_str();
        work = work.substr(pair + 2);
        hasNode = true;
        if (n.empty()) return Fail(TOOSHORT, "Qvos node");
        if (n.size() > kMaxQvosNode) return Fail(TOOLONG, "Qvos node");
        if (!AllInSet(n, kNodeChars))
            return Fail(BADNAME, "Qvos node chars", given.c_str(),
                        " (Qvos node name characters invalid)");
    }
    const size_t one = work.find(':');
    if (one != std::string::npos) {
        const std::string d = work.substr(0, one);
        device = d.c_str();
        work = work.substr(one + 1);
        hasDevice = true;
        if (d.empty()) return Fail(TOOSHORT, "Qvos dev");
        if (d.size() > kMaxQvosDevice) return Fail(TOOLONG, "Qvos dev");
        if (d[0] == '-' || !AllInSet(d, kNameChars))
            return Fail(BADNAME, "Qvos dev chars", given.c_str(), " (Qvos device name characters)");
    }
    JoinQvosDirectories(work);
    TakeQvosDirectory(work);
    return true;
}

void JexFileName::JoinQvosDirectories(std::string& work) {
    for (;;) {
        size_t join = std::string::npos;
        for (const char* mark : {"][", "><", "]<", ">["}) {
            join = work.find(mark);
            if (join != std::string::npos) break;
        }
        if (join == std::string::npos) return;
        work.erase(join, 2);
    }
}

void JexFileName::TakeQvosDirectory(std::string& work) {
    for (const char* brackets : {"[]", "<>"}) {
        if (work.empty() || work[0] != brackets[0]) continue;
        const size_t close = work.find(brackets[1]);
        if (close == std::string::npos) continue;
        const std::string dir = work.substr(1, close - 1);
        work = work.substr(close + 1);
        hasDirectory = true;
        directories.SetSeparator('.');
        directories.Parse(dir.c_str());
        if (directories.Count() == 0) {
            relative = 1;
        } else if (Field(directories, 0).empty()) {
            relative = 1;
            directories.Remove(0);
        } else {
            relative = 0;
        }
        return;
    }
}

bool JexFileName::TakeWindowsPath(const std::string& file, std::string& work) {
    directories.SetSeparator('\\');
    directories.Parse(file.c_str());
    relative = directories.Count() > 0 && !Field(directories, 0).empty();
    if (directories.Count() > 2 && Field(directories, 0).empty() && Field(directories, 1).empty()) {
        hasNode = true;
        node = directories[2];
        directories.Remove(2);
        directories.Remove(1);
        directories.Remove(0);
        relative = 0;
        if (node.Text()[0] == 0) return Fail(TOOSHORT, "WIN node");
    }
    if (directories.Count() > 0) {
        const std::string first = Field(directories, 0);
        if (first.size() >= 2 && (first[1] == ':' || (first.size() == 2 && first[1] == '$'))) {
            hasDevice = true;
            device = first.substr(0, 1).c_str();
            if (first.size() == 2)
                directories.Remove(0);
            else
                directories[0] = first.substr(2).c_str();
            relative = 0;
        }
    }
    if (directories.Count() > 0) {
        hasDirectory = true;
        if (Field(directories, 0).empty()) directories.Remove(0);
    }
    work = directories.Count() > 0 ? directories.Remove(directories.Count() - 1).Text() : "";
    return true;
}

bool JexFileName::TakeNameTypeVersion(const std::string& given, const std::string& work) {
    const size_t dot = work.rfind('.');
    if (dot == std::string::npos) {
        const size_t semi = work.rfind(';');
        if (kind != Qvos || semi == std::string::npos) {
            name = work.c_str();
            hasName = !work.empty();
            return true;
        }
        name = work.substr(0, semi).c_str();
        hasName = semi > 0;
        hasVersion = true;
        int32_t value = 0;
        if (!VersionValue(work.substr(semi + 1), value))
            return Fail(BADNAME, "Qvos version mixed digits", given.c_str(),
                        " (Qvos version has mixed digits)");
        version = value;
        return true;
    }
    std::string n = work.substr(0, dot);
    std::string t = work.substr(dot + 1);
    hasName = !n.empty();
    hasType = true;
    const size_t semi = t.find(';');
    int32_t value = 0;
    if (semi != std::string::npos) {
        version = 0;
        hasVersion = true;
        if (VersionValue(t.substr(semi + 1), value)) {
            version = value;
            t = t.substr(0, semi);
        } else if (kind == Qvos) {
            name = n.c_str();
            type = t.c_str();
            return Fail(BADNAME, "Qvos version not numeric", given.c_str(),
                        " (Qvos version is not numeric)");
        }
    } else if (n.find('.') != std::string::npos && VersionValue(t, value)) {
        // The old dotted version form: name.type.version.
        version = value;
        hasVersion = value != 0;
        const size_t inner = n.rfind('.');
        t = n.substr(inner + 1);
        n = n.substr(0, inner);
        hasName = !n.empty();
    }
    name = n.c_str();
    type = t.c_str();
    return true;
}

bool JexFileName::CheckQvosComponents(const std::string& given) {
    const std::string n = name.Text();
    const std::string t = type.Text();
    if (n.size() > kMaxQvosComponent) return Fail(TOOLONG, "Qvos filename");
    if ((!n.empty() && n[0] == '-') || !AllInSet(n, kNameChars))
        return Fail(BADNAME, "Qvos filename characters", given.c_str(),
                    " (Qvos firstpart filename characters not valid)");
    if (t.size() > kMaxQvosComponent) return Fail(TOOLONG, "Qvos typpname");
    if ((!t.empty() && t[0] == '-') || !AllInSet(t, kNameChars))
        return Fail(BADNAME, "Qvos typename chars", given.c_str(),
                    " (Qvos typename characters not valid)");
    for (int i = 0; i < directories.Count(); ++i) {
        const std::string d = Field(directories, i);
        if (d.size() > kMaxQvosComponent) return Fail(TOOLONG, "Qvos dir");
        if ((!d.empty() && d[0] == '-') || !AllInSet(d, kNameChars))
            return Fail(BADNAME, "Qvos dir", given.c_str(),
                        " (Qvos directory length or characters)");
    }
    return true;
}

// Works as one pass that keeps a stack of the components kept so far, so a
// long list costs linear time. A component that becomes the first one again
// after removals is kept without being examined, as the first one always is.
void JexFileName::Normalise(JexFieldedString& list) const {
    const int count = list.Count();
    if (count < 2 && kind != Qvos) return;
    std::vector<std::string> out;
    out.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        std::string c = list[i].Text();
        if (out.empty()) {
            out.push_back(std::move(c));
            continue;
        }
        if (kind == Qvos) {
            const size_t dashes = c.find_first_not_of('-');
            if (!c.empty() && dashes == std::string::npos) {
                // Each dash climbs one level: drop it and the components
                // before it, never an empty first one (the root).
                size_t keep = out.front().empty() ? 1 : 0;
                for (size_t k = 0; k < c.size() && out.size() > keep; ++k) out.pop_back();
                continue;
            }
            if (!c.empty()) out.push_back(std::move(c));
            continue;
        }
        if (c.empty() || c == ".") continue;
        if (c == "..") {
            if (out.size() == 1 && out.front().empty()) continue;  // above the root
            // A ".." after "." or ".." has nothing to climb over: it stays.
            if (out.back() == "." || out.back() == "..") {
                out.push_back(std::move(c));
                continue;
            }
            out.pop_back();
            continue;
        }
        out.push_back(std::move(c));
    }
    if (kind == Qvos) {
        size_t skip = 0;
        while (out.size() - skip > 1 && out[skip] == "000000") ++skip;
        out.erase(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(skip));
        if (out.size() == 1 && out[0] == "000000") out[0].clear();
    }
    list.Clear();
    list.Grow(static_cast<int>(out.size()));
    for (size_t i = 0; i < out.size(); ++i) list[static_cast<int>(i)] = out[i].c_str();
}

// --- Inheritance ------------------------------------------------------------

JexString JexFileName::Node(const char* text) {
    if (text) {
        node = text;
        hasNode = text[0] != 0;
        stale = true;
    }
    if (hasNode) return node;
    if (related_name) {
        JexString n = related_name->Node();
        if (n.Text()[0]) return n;
    }
    if (default_name) {
        JexString n = default_name->Node();
        if (n.Text()[0]) return n;
    }
    return node;
}

JexString JexFileName::Device(const char* text) {
    if (text) {
        device = text;
        hasDevice = text[0] != 0;
        stale = true;
    }
    if (hasDevice) return device;
    if (related_name) {
        JexString d = related_name->Device();
        if (d.Text()[0]) return d;
    }
    if (default_name) {
        JexString d = default_name->Device();
        if (d.Text()[0]) return d;
    }
    return device;
}

#define JEXFILENAME_TEXT_COMPONENT(Getter, field, flag) \
    JexString JexFileName::Getter(const char* text) {   \
        if (text) {                                     \
            field = text;                               \
            flag = true;                                \
            stale = true;                               \
        }                                               \
        if (flag) return field;                         \
        if (related_name) {                             \
            JexString value = related_name->Getter();   \
            if (value.Text()[0]) return value;          \
        }                                               \
        if (default_name) {                             \
            JexString value = default_name->Getter();   \
            if (value.Text()[0]) return value;          \
        }                                               \
        return field;                                   \
    }

JEXFILENAME_TEXT_COMPONENT(Name, name, hasName)
JEXFILENAME_TEXT_COMPONENT(Type, type, hasType)
JEXFILENAME_TEXT_COMPONENT(Locator, locator, hasLocator)
#undef JEXFILENAME_TEXT_COMPONENT

int32_t JexFileName::Version() {
    if (hasVersion) return version;
    if (related_name && related_name->HasVersion()) return related_name->Version();
    if (default_name && default_name->HasVersion()) return default_name->Version();
    return version;
}

int32_t JexFileName::SetVersion(int32_t n) {
    version = n;
    stale = true;
    return n;
}

bool JexFileName::MarkVersion(bool flag) {
    const bool before = hasVersion;
    hasVersion = flag;
    return before;
}

#define JEXFILENAME_HAS(Has, flag)                              \
    bool JexFileName::Has() const {                             \
        return flag || (related_name && related_name->Has()) || \
               (default_name && default_name->Has());           \
    }

JEXFILENAME_HAS(HasNode, hasNode)
JEXFILENAME_HAS(HasDevice, hasDevice)
JEXFILENAME_HAS(HasDirectory, hasDirectory)
JEXFILENAME_HAS(HasName, hasName)
JEXFILENAME_HAS(HasType, hasType)
JEXFILENAME_HAS(HasVersion, hasVersion)
JEXFILENAME_HAS(HasLocator, hasLocator)
#undef JEXFILENAME_HAS

bool JexFileName::IsRelative() const {
    if (hasDirectory && !relative) return false;
    if (related_name && related_name->HasDirectory() && !related_name->IsRelative()) return false;
    if (default_name && default_name->HasDirectory() && !default_name->IsRelative()) return false;
    return true;
}

JexFieldedString JexFileName::Directory() {
    directories.SetSeparator(kJoiner);
    if (!hasDirectory) {
        if (related_name) {
            JexFieldedString list = related_name->Directory();
            if (list.Count() > 0) return list;
        }
        if (default_name) {
            JexFieldedString list = default_name->Directory();
            if (list.Count() > 0) return list;
        }
        return directories;
    }
    if (!relative) return directories;
    JexFileName* base = nullptr;
    if (related_name && !related_name->IsRelative())
        base = related_name.get();
    else if (default_name && !default_name->IsRelative())
        base = default_name.get();
    if (!base) return directories;
    JexFieldedString outer = base->Directory();
    const std::string joined = Join(outer, kJoiner) + kJoiner + Join(directories, kJoiner);
    merged_directories.SetSeparator(kJoiner);
    merged_directories.Parse(joined.c_str());
    Normalise(merged_directories);
    return merged_directories;
}

JexFieldedString JexFileName::SetDirectory(const JexFieldedString& list) {
    if (&list != &directories) directories = list;
    hasDirectory = list.Count() > 0;
    relative = 0;
    stale = true;
    return Directory();
}

void JexFileName::ComposeNameType() {
    std::string text = Name().Text();
    if (HasType()) {
        text += '.';
        text += Type().Text();
    }
    name_type = text.c_str();
}

JexString JexFileName::NameType() {
    if (stale) ComposeNameType();
    return name_type;
}

const char* JexFileName::Sub(std::unique_ptr<JexFileName>& slot, const char* text) {
    if (text) {
        if (!slot) slot.reset(new JexFileName());
        *slot = text;
        stale = true;
    }
    if (stale) Render();
    return slot ? slot->spec_text.Text() : nullptr;
}

const char* JexFileName::Related(const char* text) { return Sub(related_name, text); }
const char* JexFileName::Default(const char* text) { return Sub(default_name, text); }

// --- Renderings -------------------------------------------------------------

JexString JexFileName::qvos_node_text(const char* text) {
    std::string out = text ? text : "";
    for (char& c : out) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (!InSet(c, kNodeChars)) c = '_';
    }
    return JexString(out.c_str());
}

JexString JexFileName::qvos_name_text(const char* text, int limit) {
    std::string out = text ? text : "";
    for (char& c : out) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (!InSet(c, kNameChars)) c = '_';
    }
    if (!out.empty() && out[0] == '-') out[0] = '_';
    const size_t max = limit > 0 ? static_cast<size_t>(limit) : 0;
    for (size_t pair; out.size() >= max && (pair = out.rfind("__")) != std::string::npos;)
        out.erase(pair, 2);
    if (out.size() > max) out.resize(max);
    return JexString(out.c_str());
}

void JexFileName::Render() {
    ComposeNameType();
    JexFieldedString d = Directory();
    const int count = d.Count();
    const bool rel = IsRelative();
    const bool lastFilled = count > 0 && !Field(d, count - 1).empty();
    const std::string nameType = name_type.Text();
    const bool withVersion = HasVersion();
    const std::string versionText = withVersion ? DecimalText(Version()) : "";
    const bool withLocator = HasLocator();
    const std::string locatorText = withLocator ? Locator().Text() : "";

    std::string u;
    if (!rel || count > 0) {
        if (!rel) u = "/";
        u += Join(d, '/');
        if (lastFilled) u += '/';
    }
    u += nameType;
    if (withVersion) u += "." + versionText;
    if (withLocator) u += "@" + locatorText;

    std::string q;
    if (HasNode()) q += qvos_node_text(Node().Left(kMaxQvosNode).Text()).Text() + std::string("::");
    if (HasDevice()) q += qvos_name_text(Device().Text(), kMaxQvosDevice).Text() + std::string(":");
    if (HasDirectory()) {
        q += '[';
        if (rel && count > 0) q += '.';
        bool first = true;
        for (int i = 0; i < count; ++i) {
            if (i == 0 && !rel && Field(d, 0).empty()) {
                if (count == 1) q += "000000";
                continue;
            }
            if (!first) q += '.';
            first = false;
            q += qvos_name_text(d[i].Text(), kMaxQvosComponent).Text();
        }
        q += ']';
    }
    if (HasName()) q += qvos_name_text(Name().Text(), kMaxQvosComponent).Text();
    if (HasType()) q += "." + std::string(qvos_name_text(Type().Text(), kMaxQvosComponent).Text());
    if (withVersion) q += ";" + versionText;
    if (withLocator) q += "@" + locatorText;
    for (char& c : q) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

    std::string w;
    const bool withNode = HasNode();
    if (withNode) w += "\\\\" + std::string(Node().Text()) + "\\";
    if (HasDevice()) {
        const JexString dev = Device();
        if (dev.Text()[0]) w += dev.Text()[0];
        w += ':';
    }
    if (!rel || count > 0) {
        if (!rel && !withNode) w += '\\';
        w += Join(d, '\\');
        if (lastFilled) w += '\\';
    }
    w += nameType;
    if (withVersion) w += "." + versionText;
    if (withLocator) w += "@" + locatorText;

    unix_text = u.c_str();
    qvos_text = q.c_str();
    windows_text = w.c_str();
    stale = false;
}

JexString JexFileName::UnixText(int) {
    if (stale) Render();
    return unix_text;
}

JexString JexFileName::QvosText(int) {
    if (stale) Render();
    return qvos_text;
}

JexString JexFileName::WindowsText(int) {
    if (stale) Render();
    return windows_text;
}

JexString JexFileName::NativeText(int unused) { return UnixText(unused); }
