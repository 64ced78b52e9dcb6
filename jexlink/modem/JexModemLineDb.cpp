// JexModemLineDb: the line file's records, attributes, registration, lookup and maintenance.
#include "jexlink/modem/JexModemLineDb.h"

#include <fcntl.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "jexlink/core/JexAttribute.h"
#include "jexlink/core/JexDataFilePath.h"
#include "jexlink/core/JexResourceLock.h"
#include "jexlink/core/JexTrace.h"
#include "jexlink/core/JexWildcardMatch.h"
#include "jexlink/modem/JexModemDbFile.h"

#define JEX_TEXT_CLASS JexModemLineDb
const JexTextRow JexModemLineDb::kTextTable[] = JEX_TEXT_TABLE(JEXMODEMLINEDB_TEXTS);
#undef JEX_TEXT_CLASS

namespace {

constexpr const char* kModule = "JexModemLineDb";
constexpr const char* kResource = "jex_vldb";
// Bytes of a record before its line feed.
constexpr size_t kRecordText = JexModemLineDb::kRecordSize - 1;

std::atomic<int> trace_flags{0};
// The switch is read once when the library is loaded.
const bool traceSwitchRead = (JexModemLineDb::ReadTraceSwitch(), true);

bool Tracing(int flag) { return (trace_flags.load(std::memory_order_relaxed) & flag) != 0; }

// One line record as the file holds it.
struct LineRecord {
    std::string name;
    int32_t pid = 0, state = 0, allowedMode = 0, currentMode = 0, links = 0, maxLinks = 0,
            speed = 0;
    std::string texts[8];  // node, device, line type, commbox, LTN, RTN, DTN, description
};

// Column widths of the eight texts from node to description.
constexpr size_t kTextWidth[8] = {32, 16, 16, 8, 40, 40, 40, 64};

// Reads all sixteen fields; false when the text does not hold them all
// within their columns. A text that is "." is empty; the description loses
// its trailing white space first.
bool ParseLine(const std::string& text, LineRecord& out) {
    JexModemRecordScanner scan(text.data(), text.size());
    LineRecord r;
    if (!scan.Word(16, r.name) || !scan.Hex(8, r.pid) || !scan.Decimal(1, r.state) ||
        !scan.Decimal(1, r.allowedMode) || !scan.Decimal(1, r.currentMode) ||
        !scan.Decimal(3, r.links) || !scan.Decimal(3, r.maxLinks) || !scan.Decimal(8, r.speed))
        return false;
    for (int i = 0; i < 7; ++i)
        if (!scan.Word(kTextWidth[i], r.texts[i])) return false;
    scan.Rest(kTextWidth[7], r.texts[7]);
    std::string& description = r.texts[7];
    while (!description.empty() && std::isspace(static_cast<unsigned char>(description.back())))
        description.pop_back();
    for (std::string& t : r.texts)
        if (t == ".") t.clear();
    out = std::move(r);
    return true;
}

const char* Dotted(const JexString& text) { return *text.Text() ? text.Text() : "."; }

struct IntAttribute {
    int32_t low, high;
    const char* argName;
};
constexpr IntAttribute kIntAttributes[] = {
    {0, 4, "State"},
    {0, 3, "Allowed_Mode"},
    {0, 2, "Current_Mode"},
    {0, 999, "Current_Link_Count"},
    {0, 999, "Maximum_Link_Count"},
    {0, JexModemLineDb::kMaxSpeed, "Speed"},
};

struct TextAttribute {
    int minimum, maximum;
    bool lowerCase, oneWord;
    const char* argName;
};
constexpr TextAttribute kTextAttributes[] = {
    {1, 32, true, true, "node"},      {0, 16, false, true, "device"},
    {1, 16, true, true, "line_type"}, {1, 8, false, true, "commbox"},
    {0, 40, true, true, "ltn"},       {0, 40, true, true, "rtn"},
    {0, 40, true, true, "dtn"},       {0, 64, false, false, "description"},
};

using K = JexAttrKind;
constexpr JexAttrRow kAttributes[] = {
    {JexModemLineDb::LINE_NAME, "LINE_NAME", K::kText, true},
    {JexModemLineDb::LINE_PID, "LINE_PID", K::kInt, true},
    {JexModemLineDb::STATE, "STATE", K::kInt, false},
    {JexModemLineDb::ALLOWED_MODE, "ALLOWED_MODE", K::kInt, false},
    {JexModemLineDb::CURRENT_MODE, "CURRENT_MODE", K::kInt, false},
    {JexModemLineDb::CURRENT_LINK_COUNT, "CURRENT_LINK_COUNT", K::kInt, false},
    {JexModemLineDb::MAXIMUM_LINK_COUNT, "MAXIMUM_LINK_COUNT", K::kInt, false},
    {JexModemLineDb::SPEED, "SPEED", K::kInt, false},
    {JexModemLineDb::NODE, "NODE", K::kText, false},
    {JexModemLineDb::DEVICE, "DEVICE", K::kText, false},
    {JexModemLineDb::LINE_TYPE, "LINE_TYPE", K::kText, false},
    {JexModemLineDb::COMMBOX, "COMMBOX", K::kText, false},
    {JexModemLineDb::LTN, "LTN", K::kText, false},
    {JexModemLineDb::RTN, "RTN", K::kText, false},
    {JexModemLineDb::DTN, "DTN", K::kText, false},
    {JexModemLineDb::DESCRIPTION, "DESCRIPTION", K::kText, false},
};

}  // namespace

JexModemLineDb::JexModemLineDb()
    : JexException(kTextTable, "JexModemLineDb"),
      results_('\n'),
      path_(JexDataFilePath("File.Modem.VLDB", "data\\jex_modem_lines.dat")) {
    JexTrace trace(kModule, "JexModemLineDb()", __LINE__);
    SetSuppress(1);
}

JexModemLineDb::~JexModemLineDb() {
    JexTrace trace(kModule, "~JexModemLineDb()", __LINE__);
    if (accessMode_ == kRegistered) Remove();
}

void JexModemLineDb::ReadTraceSwitch() {
    trace_flags = ParseTraceSwitch(std::getenv("JEXMODEMLINEDB_TRACE"));
}

int JexModemLineDb::ParseTraceSwitch(const char* value) {
    int flags = 0;
    bool on = true;
    for (const char* p = value; p && *p; ++p) {
        int flag = 0;
        switch (*p) {
            case '+': on = true; continue;
            case '-': on = false; continue;
            case 'G':
            case 'g': flag = kTraceGeneral; break;
            case 'R':
            case 'r': flag = kTraceReserve; break;
            case 'U':
            case 'u': flag = kTraceUpdate; break;
            case 'X':
            case 'x': flag = kTraceRemove; break;
            case '*': flag = kTraceGeneral | kTraceReserve | kTraceUpdate | kTraceRemove; break;
            default: continue;
        }
        flags = on ? flags | flag : flags & ~flag;
    }
    return flags;
}

int JexModemLineDb::TraceFlags() { return trace_flags.load(); }

int JexModemLineDb::Fail(int code, const JexExcArgs& args, JexException* cause) {
    ExcSet(code, args, cause);
    Raise();
    return code;
}

int JexModemLineDb::OpenFile(JexModemDbFile& file, int flags, const char* formatLabel) {
    switch (file.Open(path_.Text(), flags)) {
        case JexModemDbFile::Opened::kOk: break;
        case JexModemDbFile::Opened::kOpenFailed: {
            accessMode_ = kFailed;
            JexErrno cause(file.Error(), "open");
            return Fail(OPENFAIL, JexExcArgs("vldb_open()", path_), &cause);
        }
        case JexModemDbFile::Opened::kStreamFailed: {
            // A registration that found no stream may try again.
            if (accessMode_ != kFresh || !(flags & O_CREAT)) accessMode_ = kFailed;
            JexErrno cause(file.Error(), "fdopen");
            return Fail(OPENFAIL, JexExcArgs("fdopen()", path_), &cause);
        }
        case JexModemDbFile::Opened::kLockFailed: {
            accessMode_ = kFailed;
            JexResourceLock& lock = file.ResourceLock();
            lock.ExcSet(JexResourceLock::LOCKFAIL, JexExcArgs("flock", kResource));
            return Fail(OPENFAIL, JexExcArgs("JexResourceLock()", path_), &lock);
        }
    }
    if (const int32_t number = file.ShortRecordNumber()) {
        accessMode_ = kFailed;
        return Fail(FORMATERROR, JexExcArgs(formatLabel, path_, number));
    }
    return OK;
}

int JexModemLineDb::ReadFailed(JexModemDbFile& file, const char* formatLabel) {
    accessMode_ = kFailed;
    if (file.LastRead() == JexModemDbFile::Read::kShort)
        return Fail(FORMATERROR, JexExcArgs(formatLabel, path_, file.RecordNumber()));
    // The read itself failed: the file cannot be trusted for this operation.
    JexErrno cause(file.Error(), "read");
    return Fail(READERROR, JexExcArgs("read()", path_), &cause);
}

int JexModemLineDb::WriteFailed(JexModemDbFile& file, int error) {
    file.Close();
    accessMode_ = kFailed;
    JexErrno cause(error, "write");
    return Fail(WRITEERROR, JexExcArgs("write()"), &cause);
}

std::string JexModemLineDb::Render() const {
    char buffer[2 * kRecordSize];
    const int n = std::snprintf(
        buffer, sizeof buffer,
        "%-16s %8.8x %1d %1d %1d %3d %3d %8d %-32s %-16s %-16s %-8s %-40s %-40s %-40s %-64s\n",
        lineName_.Text(), static_cast<unsigned>(pid_), state_, allowedMode_, currentMode_, links_,
        maxLinks_, speed_, Dotted(node_), Dotted(device_), Dotted(lineType_), Dotted(commbox_),
        Dotted(ltn_), Dotted(rtn_), Dotted(dtn_), Dotted(description_));
    return n == kRecordSize ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

bool JexModemLineDb::LoadFields(const std::string& text) {
    LineRecord r;
    if (!ParseLine(text, r)) return false;
    lineName_ = r.name.c_str();
    pid_ = r.pid;
    state_ = r.state;
    allowedMode_ = r.allowedMode;
    currentMode_ = r.currentMode;
    links_ = r.links;
    maxLinks_ = r.maxLinks;
    speed_ = r.speed;
    JexString* texts[] = {&node_, &device_, &lineType_, &commbox_,
                          &ltn_,  &rtn_,    &dtn_,      &description_};
    for (int i = 0; i < 8; ++i) *texts[i] = r.texts[i].c_str();
    return true;
}

JexString* JexModemLineDb::TextField(int attribute) {
    JexString* texts[] = {&node_, &device_, &lineType_, &commbox_,
                          &ltn_,  &rtn_,    &dtn_,      &description_};
    if (attribute == LINE_NAME) return &lineName_;
    return attribute >= NODE && attribute <= DESCRIPTION ? texts[attribute - NODE] : nullptr;
}

int32_t* JexModemLineDb::IntField(int attribute) {
    int32_t* numbers[] = {&pid_,   &state_,    &allowedMode_, &currentMode_,
                          &links_, &maxLinks_, &speed_};
    return attribute >= LINE_PID && attribute <= SPEED ? numbers[attribute - LINE_PID] : nullptr;
}

int JexModemLineDb::GetAttr(int attribute, int32_t& value) {
    JexTrace trace(kModule, "GetAttr(i)", __LINE__);
    if (const int rc = AttrCheck(attribute, JexAttrKind::kInt, JexAttrAccess::kGet, "GetAttr(i)"))
        return rc;
    value = *IntField(attribute);
    return OK;
}

int JexModemLineDb::GetAttr(int attribute, JexString& value) {
    JexTrace trace(kModule, "GetAttr(s)", __LINE__);
    if (const int rc = AttrCheck(attribute, JexAttrKind::kText, JexAttrAccess::kGet, "GetAttr(s)"))
        return rc;
    const JexString* field = TextField(attribute);
    if (&value != field) {
        value = *field;
        value.SetCaseSensitive(field->CaseSensitive());
    }
    return OK;
}

int JexModemLineDb::SetAttr(int attribute, int32_t value) {
    JexTrace trace(kModule, "SetAttr(i)", __LINE__);
    if (const int rc =
            AttrCheck(attribute, JexAttrKind::kInt, JexAttrAccess::kSetReadOnlyFirst, "SetAttr(i)"))
        return rc;
    if (accessMode_ != kRegistered) return Fail(WRONGMODE);
    const IntAttribute& rule = kIntAttributes[attribute - STATE];
    if (value < rule.low || value > rule.high)
        return Fail(BADATTRVALUE, JexExcArgs("SetAttr(i)", rule.argName));
    *IntField(attribute) = value;
    return OK;
}

int JexModemLineDb::SetAttr(int attribute, const JexString& value) {
    return SetAttr(attribute, value.Text());
}

int JexModemLineDb::SetAttr(int attribute, const char* value) {
    JexTrace trace(kModule, "SetAttr(s)", __LINE__);
    if (const int rc = AttrCheck(attribute, JexAttrKind::kText, JexAttrAccess::kSetReadOnlyFirst,
                                 "SetAttr(s)"))
        return rc;
    const TextAttribute& rule = kTextAttributes[attribute - NODE];
    const int n = value ? static_cast<int>(std::strlen(value)) : 0;
    if (n < rule.minimum)
        return Fail(STRINGTOOSHORT, JexExcArgs("SetAttr(s)", n, rule.minimum, rule.argName));
    if (n > rule.maximum)
        return Fail(STRINGTOOLONG, JexExcArgs("SetAttr(s)", n, rule.maximum, rule.argName));
    JexString stored(value ? value : "");
    if (rule.lowerCase) stored.ToLower();
    if (*stored.TrimTrailingCopy().Text()) stored.TrimTrailing();
    // A value the record could not read back as it was written is refused:
    // white space inside a one-word field, a control character anywhere.
    if (JexModemHasControl(stored.Text()) || (rule.oneWord && JexModemHasSpace(stored.Text())))
        return Fail(BADATTRVALUE, JexExcArgs("SetAttr(s)", rule.argName));
    *TextField(attribute) = stored;
    return OK;
}

std::span<const JexAttrRow> JexModemLineDb::AttributeRows() { return kAttributes; }

JexString JexModemLineDb::attribute_name(int attribute) {
    return JexString(JexAttrName(kAttributes, attribute, "Unknown"), 1);
}

int JexModemLineDb::AttrCheck(int attribute, JexAttrKind kind, JexAttrAccess access,
                              const char* label) {
    return JexModemDbAttrCheck(*this, kAttributes, attribute, kind, access, label);
}

JexString JexModemLineDb::state_name(int32_t state) {
    static constexpr const char* kNames[] = {"Offline", "Idle",   "Listening",
                                             "Dialing", "Online", "Term"};
    if (state >= 0 && state <= kTerm) return JexString(kNames[state], 1);
    char text[32];
    std::snprintf(text, sizeof text, "-unknown(%d)-", state);
    return JexString(text, 1);
}

JexString JexModemLineDb::mode_name(int32_t mode) {
    static constexpr const char* kNames[] = {"Disabled", "Originate", "Answer", "Both"};
    if (mode >= 0 && mode <= kBoth) return JexString(kNames[mode], 1);
    char text[32];
    std::snprintf(text, sizeof text, "-unknown(%d)-", mode);
    return JexString(text, 1);
}

int JexModemLineDb::Register(const char* name, int32_t pid) {
    JexTrace trace(kModule, "Register()", __LINE__);
    if (accessMode_ != kFresh) return Fail(WRONGMODE, JexExcArgs("Register()"));
    const int n = name ? static_cast<int>(std::strlen(name)) : 0;
    if (n > 16) return Fail(STRINGTOOLONG, JexExcArgs("Register()", n, 16, "Line_Name"));
    if (n < 1) return Fail(STRINGTOOSHORT, JexExcArgs("Register()", n, 1, "Line_Name"));
    if (pid == 0) return Fail(BADATTRVALUE, JexExcArgs("Register()", "PID"));
    // A name that begins with or holds white space would read as a removed
    // record (and be overwritten) or split into two fields.
    JexString given(name);
    given.TrimTrailing();
    if (!*given.Text() || JexModemHasSpace(given.Text()) || JexModemHasControl(given.Text()))
        return Fail(BADATTRVALUE, JexExcArgs("Register()", "Line_Name"));
    given.ToLower();
    lineName_ = given;
    pid_ = pid;
    if (Tracing(kTraceGeneral))
        std::fprintf(stderr, "<vldb:g> Registering line '%s' for PID %d\n", lineName_.Text(), pid);

    const std::string record = Render();
    JexModemDbFile file(kResource, kRecordSize);
    if (record.empty()) return WriteFailed(file, EOVERFLOW);
    if (const int code = OpenFile(file, O_RDWR | O_CREAT, "Register() read()")) return code;

    // Every record's first word, removed records with leading blanks included.
    std::string bytes;
    for (;;) {
        const JexModemDbFile::Read read = file.Next(bytes);
        if (read == JexModemDbFile::Read::kEnd) break;
        if (read != JexModemDbFile::Read::kRecord) return ReadFailed(file, "Register() read()");
        if (JexModemLower(JexModemFirstWord(JexModemRecordText(bytes, kRecordText))) !=
            lineName_.Text())
            continue;
        if (Tracing(kTraceGeneral))
            std::fprintf(stderr, "    <:g> Registration failed, line '%s' already exists\n",
                         lineName_.Text());
        file.Close();
        accessMode_ = kFailed;
        return Fail(DUPLICATEENTRY, JexExcArgs("Register()"));
    }

    file.Rewind();
    bool slot = false;
    for (;;) {
        const JexModemDbFile::Read read = file.Next(bytes);
        if (read == JexModemDbFile::Read::kEnd) break;
        if (read != JexModemDbFile::Read::kRecord) return ReadFailed(file, "Register() read() ii");
        if (bytes[0] == ' ') {
            slot = true;
            break;
        }
    }
    if (!(slot ? file.RewriteLast(record.data()) : file.Append(record.data())))
        return WriteFailed(file, file.Error());
    if (Tracing(kTraceGeneral)) std::fprintf(stderr, "    <:g> Registered OK\n");
    file.Close();
    accessMode_ = kRegistered;
    return OK;
}

int JexModemLineDb::Find(const char* pattern) {
    JexTrace trace(kModule, "Find()", __LINE__);
    if (accessMode_ == kFailed) return Fail(WRONGMODE, JexExcArgs("Find()"));
    if (accessMode_ == kFresh) accessMode_ = kBrowsing;
    if (!pattern || !*pattern) return Deliver();

    results_.Clear();
    cursor_ = 0;
    JexString lowered(pattern);
    lowered.ToLower();
    std::vector<JexModemMatch> found;
    {
        JexModemDbFile file(kResource, kRecordSize);
        if (const int code = OpenFile(file, O_RDONLY, "Find() read()")) return code;
        const auto read = file.ScanLive(kRecordText, [&](const std::string& text) {
            LineRecord parsed;
            if (ParseLine(text, parsed) &&
                JexWildcardMatch(lowered.Text(), JexModemLower(parsed.name).c_str()))
                found.push_back({JexModemLower(text), text});
            return false;
        });
        if (read != JexModemDbFile::Read::kEnd) return ReadFailed(file, "Find() read()");
    }
    if (found.empty()) return Fail(NOMATCH, JexExcArgs("Find()"));
    JexModemSortInto(found, results_);
    cursor_ = 0;
    return Deliver();
}

int JexModemLineDb::Deliver() {
    if (cursor_ < 0 || cursor_ >= results_.Count()) {
        cursor_ = 0;
        return Fail(NOMORE, JexExcArgs("Find()"));
    }
    LoadFields(results_[cursor_++].Text());
    return ExcSet(OK);
}

int JexModemLineDb::Fetch(uint32_t position) {
    JexTrace trace(kModule, "Fetch()", __LINE__);
    if (accessMode_ == kFailed) {
        Fail(WRONGMODE, JexExcArgs("Find()"));
        return 0;
    }
    if (accessMode_ == kFresh) accessMode_ = kBrowsing;
    if (position >= static_cast<uint32_t>(results_.Count())) {
        Fail(NOMATCH);
        return 0;
    }
    cursor_ = static_cast<int32_t>(position);
    Deliver();
    return 0;
}

int JexModemLineDb::Neighbor(const char* name) {
    JexTrace trace(kModule, "Neighbor()", __LINE__);
    if (accessMode_ != kFresh && accessMode_ != kBrowsing)
        return Fail(WRONGMODE, JexExcArgs("Find()"));
    accessMode_ = kBrowsing;
    if (Find("*") != OK) return Code();
    const std::string wanted = JexModemLower(name ? name : "");
    while (Code() == OK) {
        if (JexModemLower(lineName_.Text()) != wanted) {
            Deliver();
            continue;
        }
        if (Deliver() == NOMORE) Deliver();
        if (JexModemLower(lineName_.Text()) == wanted) break;
        return Code();
    }
    return Fail(NOMATCH, JexExcArgs("no matching line for neighbor check"));
}

int JexModemLineDb::Dump(const char* pattern, FILE* out) {
    JexTrace trace(kModule, "Dump()", __LINE__);
    if (accessMode_ != kFresh && accessMode_ != kBrowsing)
        return Fail(WRONGMODE, JexExcArgs("Dump()"));
    accessMode_ = kBrowsing;
    if (Find(pattern && *pattern ? pattern : "*") != OK) {
        if (out) std::fprintf(out, "\n  -- No matching entries found --\n");
        return Code();
    }
    while (Code() == OK) {
        if (out)
            std::fprintf(out,
                         "Line Name:  %s\n    PID: %d\n  State: %s\n  AMode: %s\n  CMode: %s\n"
                         "  CLink: %d\n  MLink: %d\n  Speed: %d\n   Node: %s\n    Dev: %s\n"
                         "  LType: %s\n   Cbox: %s\n    LTN: %s\n    RTN: %s\n    DTN: %s\n"
                         "   Desc: %s\n\n",
                         lineName_.Text(), pid_, state_name(state_).Text(),
                         mode_name(allowedMode_).Text(), mode_name(currentMode_).Text(), links_,
                         maxLinks_, speed_, node_.Text(), device_.Text(), lineType_.Text(),
                         commbox_.Text(), ltn_.Text(), rtn_.Text(), dtn_.Text(),
                         description_.Text());
        Deliver();
    }
    return ExcSet(OK);
}

int JexModemLineDb::Update() {
    JexTrace trace(kModule, "Update()", __LINE__);
    if (accessMode_ != kRegistered) return Fail(WRONGMODE, JexExcArgs("Update()"));
    return RewriteOwn(false);
}

int JexModemLineDb::Remove() {
    JexTrace trace(kModule, "Remove()", __LINE__);
    if (accessMode_ != kRegistered && accessMode_ != kBrowsing)
        return Fail(WRONGMODE, JexExcArgs("Remove()"));
    return RewriteOwn(true);
}

int JexModemLineDb::RewriteOwn(bool remove) {
    const int flag = remove ? kTraceRemove : kTraceUpdate;
    const char* location = remove ? "Remove()" : "Update()";
    if (Tracing(flag))
        std::fprintf(stderr,
                     remove ? "<vldb:x> Removing line '%s'\n" : "<vldb:u> Updating line '%s'\n",
                     lineName_.Text());
    const std::string record = remove ? std::string(kRecordText, ' ') + '\n' : Render();
    JexModemDbFile file(kResource, kRecordSize);
    if (record.empty()) return WriteFailed(file, EOVERFLOW);
    const char* formatLabel = remove ? "Remove() read()" : "Register() read()";
    if (const int code = OpenFile(file, O_RDWR, formatLabel)) return code;
    const std::string wanted = JexModemLower(lineName_.Text());
    const auto read = file.ScanLive(kRecordText, [&](const std::string& text) {
        // The name first: most records are passed over without a full parse.
        if (JexModemLower(JexModemFirstWord(text)) != wanted) return false;
        LineRecord parsed;
        return ParseLine(text, parsed) && parsed.pid == pid_;
    });
    if (read == JexModemDbFile::Read::kEnd) {
        if (remove && Tracing(kTraceRemove))
            std::fprintf(stderr, "    <:x> Line was already removed\n");
        file.Close();
        return Fail(ENTRYDELETED, JexExcArgs(location));
    }
    if (read != JexModemDbFile::Read::kRecord) return ReadFailed(file, formatLabel);
    if (!file.RewriteLast(record.data())) return WriteFailed(file, file.Error());
    if (Tracing(flag))
        std::fprintf(stderr, remove ? "    <:x> Line removed OK\n" : "    <:u> Updated OK\n");
    return OK;
}
