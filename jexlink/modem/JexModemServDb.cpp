// JexModemServDb: the server file's records, attributes, registration, purge, search and rewrites.
#include "jexlink/modem/JexModemServDb.h"

#include <fcntl.h>

#include <cctype>
#include <cstring>
#include <utility>
#include <vector>

#include "jexlink/core/JexAttribute.h"
#include "jexlink/core/JexDataFilePath.h"
#include "jexlink/core/JexResourceLock.h"
#include "jexlink/core/JexTrace.h"
#include "jexlink/core/JexUtilities.h"
#include "jexlink/core/JexWildcardMatch.h"
#include "jexlink/modem/JexModemDbFile.h"

#define JEX_TEXT_CLASS JexModemServDb
const JexTextRow JexModemServDb::kTextTable[] = JEX_TEXT_TABLE(JEXMODEMSERVDB_TEXTS);
#undef JEX_TEXT_CLASS

namespace {

constexpr const char* kModule = "JexModemServDb";
constexpr const char* kResource = "jex_vsdb";
constexpr size_t kRecordText = JexModemServDb::kRecordSize - 1;
constexpr int32_t kMaxRef = 0xffff;

// One server record as the file holds it.
struct ServerRecord {
    std::string name, commbox;
    int32_t state = 0, serverPid = 0, daemonPid = 0, srcRef = 0, dstRef = 0;
};

// All seven fields within their columns, or false.
bool ParseServer(const std::string& text, ServerRecord& out) {
    JexModemRecordScanner scan(text.data(), text.size());
    ServerRecord r;
    if (!scan.Word(16, r.name) || !scan.Word(8, r.commbox) || !scan.Decimal(1, r.state) ||
        !scan.Hex(8, r.serverPid) || !scan.Hex(8, r.daemonPid) || !scan.Hex(4, r.srcRef) ||
        !scan.Hex(4, r.dstRef))
        return false;
    out = std::move(r);
    return true;
}

// The record's 56 bytes, or empty when a value does not fit its column.
std::string RenderServer(const ServerRecord& r) {
    char buffer[2 * JexModemServDb::kRecordSize];
    const int n =
        std::snprintf(buffer, sizeof buffer, "%-16s %-8s %1d %8.8x %8.8x %4.4x %4.4x\n",
                      r.name.c_str(), r.commbox.c_str(), r.state,
                      static_cast<unsigned>(r.serverPid), static_cast<unsigned>(r.daemonPid),
                      static_cast<unsigned>(r.srcRef), static_cast<unsigned>(r.dstRef));
    return n == JexModemServDb::kRecordSize ? std::string(buffer, static_cast<size_t>(n))
                                            : std::string();
}

// Names and commboxes are single words of printable characters.
bool IsWord(const char* text) { return !JexModemHasSpace(text) && !JexModemHasControl(text); }

}  // namespace

JexModemServDb::JexModemServDb()
    : JexException(kTextTable, "JexModemServDb"),
      matches_('\n'),
      path_(JexDataFilePath("File.Modem.VSDB", "data\\jex_modem_servers.dat")) {
    JexTrace trace(kModule, "JexModemServDb()", __LINE__);
    SetSuppress(1);
}

JexModemServDb::~JexModemServDb() {
    JexTrace trace(kModule, "~JexModemServDb()", __LINE__);
    if (accessMode_ == kServer) Remove();
}

int JexModemServDb::Fail(int code, const JexExcArgs& args, JexException* cause) {
    ExcSet(code, args, cause);
    Raise();
    return code;
}

int JexModemServDb::OpenFile(JexModemDbFile& file, int flags, bool keepMode) {
    switch (file.Open(path_.Text(), flags)) {
        case JexModemDbFile::Opened::kOk: break;
        case JexModemDbFile::Opened::kOpenFailed: {
            if (!keepMode) accessMode_ = kFinished;
            JexErrno cause(file.Error(), "open");
            return Fail(OPENFAIL, JexExcArgs("vsdb_open()", path_), &cause);
        }
        case JexModemDbFile::Opened::kStreamFailed: {
            if (!keepMode) accessMode_ = kFinished;
            JexErrno cause(file.Error(), "fdopen");
            return Fail(OPENFAIL, JexExcArgs("fdopen()", path_), &cause);
        }
        case JexModemDbFile::Opened::kLockFailed: {
            if (!keepMode) accessMode_ = kFinished;
            JexResourceLock& lock = file.ResourceLock();
            lock.ExcSet(JexResourceLock::LOCKFAIL, JexExcArgs("flock", kResource));
            return Fail(OPENFAIL, JexExcArgs("JexResourceLock()", path_), &lock);
        }
    }
    if (const int32_t number = file.ShortRecordNumber()) {
        accessMode_ = kFinished;
        return Fail(FORMATERROR, JexExcArgs("Register() read()", path_, number));
    }
    return OK;
}

int JexModemServDb::ReadFailed(JexModemDbFile& file) {
    accessMode_ = kFinished;
    if (file.LastRead() == JexModemDbFile::Read::kShort)
        return Fail(FORMATERROR, JexExcArgs("Register() read()", path_, file.RecordNumber()));
    // The read itself failed: the file cannot be trusted for this operation.
    JexErrno cause(file.Error(), "read");
    return Fail(READERROR, JexExcArgs("read()", path_), &cause);
}

int JexModemServDb::WriteFailed(JexModemDbFile& file, int error) {
    file.Close();
    accessMode_ = kFinished;
    JexErrno cause(error, "write");
    return Fail(WRITEERROR, JexExcArgs("write()"), &cause);
}

std::string JexModemServDb::Render(int32_t daemonPid) const {
    ServerRecord r;
    r.name = server_name_.Text();
    r.commbox = commbox_.Text();
    r.state = state_;
    r.serverPid = serverPid_;
    r.daemonPid = daemonPid;
    r.srcRef = src_ref_;
    r.dstRef = dst_ref_;
    return RenderServer(r);
}

JexString JexModemServDb::state_name(int state) {
    static constexpr const char* kNames[] = {"Offline", "Ready", "Reserved", "Online"};
    return JexString(state >= kOffline && state <= kOnline ? kNames[state] : "Unknown", 1);
}

JexString JexModemServDb::mode_name(int mode) {
    static constexpr const char* kNames[] = {"Unestablished", "Server", "Daemon", "Utility",
                                             "Finished"};
    return JexString(mode >= kUnestablished && mode <= kFinished ? kNames[mode] : "Unknown", 1);
}

namespace {

using K = JexAttrKind;
constexpr JexAttrRow kAttributes[] = {
    {JexModemServDb::SERVER_NAME, "Server's Name", K::kText, true},
    {JexModemServDb::SERVER_PID, "Server's PID", K::kInt, true},
    {JexModemServDb::DAEMON_PID, "Daemon's PID", K::kInt, true},
    {JexModemServDb::SRC_REF_ID, "Src Ref Id", K::kInt, false},
    {JexModemServDb::DST_REF_ID, "Dst Ref Id", K::kInt, false},
    {JexModemServDb::STATE, "State", K::kInt, false},
    {JexModemServDb::COMMBOX, "Commbox", K::kText, false},
};

}  // namespace

std::span<const JexAttrRow> JexModemServDb::AttributeRows() { return kAttributes; }

JexString JexModemServDb::attribute_name(int attribute) {
    return JexString(JexAttrName(kAttributes, attribute, "Unknown"), 1);
}

int JexModemServDb::AttrCheck(int attribute, JexAttrKind kind, JexAttrAccess access,
                              const char* label) {
    return JexModemDbAttrCheck(*this, kAttributes, attribute, kind, access, label);
}

int JexModemServDb::GetAttr(int attribute, int32_t& value) {
    JexTrace trace(kModule, "GetAttr(i)", __LINE__);
    if (const int rc = AttrCheck(attribute, JexAttrKind::kInt, JexAttrAccess::kGet, "GetAttr(i)"))
        return rc;
    switch (attribute) {
        case SERVER_PID: value = serverPid_; break;
        case DAEMON_PID: value = daemonPid_; break;
        case SRC_REF_ID: value = src_ref_; break;
        case DST_REF_ID: value = dst_ref_; break;
        default: value = state_; break;  // STATE
    }
    return OK;
}

int JexModemServDb::GetAttr(int attribute, JexString& value) {
    JexTrace trace(kModule, "GetAttr(s)", __LINE__);
    if (const int rc = AttrCheck(attribute, JexAttrKind::kText, JexAttrAccess::kGet, "GetAttr(s)"))
        return rc;
    const JexString* field = attribute == SERVER_NAME ? &server_name_ : &commbox_;
    if (&value != field) {
        value = *field;
        value.SetCaseSensitive(field->CaseSensitive());
    }
    return OK;
}

int JexModemServDb::SetAttr(int attribute, int32_t value) {
    JexTrace trace(kModule, "SetAttr(i)", __LINE__);
    if (const int rc =
            AttrCheck(attribute, JexAttrKind::kInt, JexAttrAccess::kSetReadOnlyFirst, "SetAttr(i)"))
        return rc;
    if (attribute == STATE) {
        if (accessMode_ != kServer) return Fail(WRONGMODE);
        if (value < kOffline || value > kOnline)
            return Fail(BADATTRVALUE, JexExcArgs("SetAttr(i)", "State"));
        state_ = value;
        return OK;
    }
    // A reference is a 16-bit value: wider ones do not fit the record.
    if (value < 0 || value > kMaxRef)
        return Fail(BADATTRVALUE, JexExcArgs("SetAttr(i)", attribute == SRC_REF_ID ? "Src Ref Id"
                                                                                   : "Dst Ref Id"));
    (attribute == SRC_REF_ID ? src_ref_ : dst_ref_) = value;
    return OK;
}

int JexModemServDb::SetAttr(int attribute, const char* value) {
    JexTrace trace(kModule, "SetAttr(s)", __LINE__);
    if (const int rc = AttrCheck(attribute, JexAttrKind::kText, JexAttrAccess::kSetReadOnlyFirst,
                                 "SetAttr(s)"))
        return rc;
    const int n = value ? static_cast<int>(std::strlen(value)) : 0;
    if (n > 8) return Fail(STRINGTOOLONG, JexExcArgs("SetAttr(s)", n, 8, "Commbox"));
    // An empty commbox or one with blanks would shift the record's columns.
    if (n < 1) return Fail(STRINGTOOSHORT, JexExcArgs("SetAttr(s)", n, 1, "Commbox"));
    if (!IsWord(value)) return Fail(BADATTRVALUE, JexExcArgs("SetAttr(s)", "Commbox"));
    commbox_ = value;
    return OK;
}

int JexModemServDb::Register(const char* name, const char* commbox, int32_t pid) {
    JexTrace trace(kModule, "Register()", __LINE__);
    if (accessMode_ != kUnestablished) return Fail(WRONGMODE, JexExcArgs("Register()"));
    const int n = name ? static_cast<int>(std::strlen(name)) : 0;
    if (n > 16) return Fail(STRINGTOOLONG, JexExcArgs("Register()", n, 16, "Server Name"));
    if (n < 1) return Fail(STRINGTOOSHORT, JexExcArgs("Register()", n, 1, "Server Name"));
    const int c = commbox ? static_cast<int>(std::strlen(commbox)) : 0;
    if (c > 8) return Fail(STRINGTOOLONG, JexExcArgs("Register()", c, 8, "Commbox Name"));
    if (c < 1) return Fail(STRINGTOOSHORT, JexExcArgs("Register()", c, 1, "Commbox Name"));
    if (pid == 0) return Fail(BADATTRVALUE, JexExcArgs("Register()", "Server PID"));
    // A record that begins with a blank reads as free and would be
    // overwritten; blanks inside split the fields.
    if (!IsWord(name)) return Fail(BADATTRVALUE, JexExcArgs("Register()", "Server Name"));
    if (!IsWord(commbox)) return Fail(BADATTRVALUE, JexExcArgs("Register()", "Commbox Name"));

    server_name_ = name;
    server_name_.ToLower();
    serverPid_ = pid;
    commbox_ = commbox;
    state_ = kReady;
    const std::string record = Render(daemonPid_);

    JexModemDbFile file(kResource, kRecordSize);
    if (const int code = OpenFile(file, O_RDWR | O_CREAT, false)) return code;
    std::string bytes;
    bool slot = false;
    for (;;) {
        const JexModemDbFile::Read read = file.Next(bytes);
        if (read == JexModemDbFile::Read::kEnd) break;
        if (read != JexModemDbFile::Read::kRecord) return ReadFailed(file);
        if (bytes[0] == ' ') {
            slot = true;
            break;
        }
    }
    if (!(slot ? file.RewriteLast(record.data()) : file.Append(record.data())))
        return WriteFailed(file, file.Error());
    file.Close();
    accessMode_ = kServer;
    return OK;
}

int JexModemServDb::Purge() {
    JexTrace trace(kModule, "Purge()", __LINE__);
    if (accessMode_ != kUnestablished && accessMode_ != kUtility)
        return Fail(WRONGMODE, JexExcArgs("Purge()"));
    accessMode_ = kUtility;
    const std::string blank = std::string(kRecordText, ' ') + '\n';
    JexModemDbFile file(kResource, kRecordSize);
    if (const int code = OpenFile(file, O_RDWR, false)) return code;
    bool written = true;
    const auto read = file.ScanLive(kRecordText, [&](const std::string& text) {
        ServerRecord r;
        // A record that does not read whole is not the purge's to judge.
        if (!ParseServer(text, r) || JexProcessExists(r.serverPid)) return false;
        written = file.RewriteLast(blank.data());
        return !written;
    });
    if (!written) return WriteFailed(file, file.Error());
    if (read != JexModemDbFile::Read::kEnd) return ReadFailed(file);
    file.Close();
    return ExcSet(OK);
}

int JexModemServDb::Find(const char* pattern) {
    JexTrace trace(kModule, "Find()", __LINE__);
    if (accessMode_ != kUnestablished && accessMode_ != kUtility)
        return Fail(WRONGMODE, JexExcArgs("Find()"));
    accessMode_ = kUtility;
    if (!pattern || !*pattern) return Deliver();

    matches_.Clear();
    cursor_ = 0;
    const std::string lowered = JexModemLower(pattern);
    std::vector<JexModemMatch> found;
    {
        JexModemDbFile file(kResource, kRecordSize);
        if (const int code = OpenFile(file, O_RDONLY, false)) return code;
        const auto read = file.ScanLive(kRecordText, [&](const std::string& text) {
            ServerRecord r;
            if (ParseServer(text, r) &&
                JexWildcardMatch(lowered.c_str(), JexModemLower(r.name).c_str()))
                found.push_back({JexModemLower(text), text});
            return false;
        });
        if (read != JexModemDbFile::Read::kEnd) return ReadFailed(file);
    }
    if (found.empty()) return Fail(NOMATCH, JexExcArgs("Find()"));
    JexModemSortInto(found, matches_);
    cursor_ = 0;
    return Deliver();
}

int JexModemServDb::Deliver() {
    if (cursor_ < 0 || cursor_ >= matches_.Count()) {
        cursor_ = 0;
        return Fail(NOMORE, JexExcArgs("Find()"));
    }
    ServerRecord r;
    ParseServer(matches_[cursor_++].Text(), r);
    server_name_ = r.name.c_str();
    commbox_ = r.commbox.c_str();
    state_ = r.state;
    serverPid_ = r.serverPid;
    daemonPid_ = r.daemonPid;
    src_ref_ = r.srcRef;
    dst_ref_ = r.dstRef;
    return ExcSet(OK);
}

int JexModemServDb::Dump(const char* pattern, FILE* out) {
    JexTrace trace(kModule, "Dump()", __LINE__);
    if (accessMode_ != kUnestablished && accessMode_ != kUtility)
        return Fail(WRONGMODE, JexExcArgs("Dump()"));
    accessMode_ = kUtility;
    Find(pattern && *pattern ? pattern : "*");
    if (Code() != OK) {
        if (out) std::fprintf(out, "\n  -- No matching entries found --\n");
        return Code();
    }
    while (Code() == OK) {
        if (out)
            std::fprintf(out,
                         "Server:  %s\n  State:   %8.8s  Commbox:  %8.8s  Link: (%d,%d)\n"
                         "    PID: %10d  Daemon: %10d\n\n",
                         server_name_.Text(), state_name(state_).Text(), commbox_.Text(), src_ref_,
                         dst_ref_, serverPid_, daemonPid_);
        Find(nullptr);
    }
    return ExcSet(OK);
}

int JexModemServDb::Reserve(const char* name, int32_t daemonPid) {
    JexTrace trace(kModule, "Reserve()", __LINE__);
    if (accessMode_ != kUnestablished) return Fail(WRONGMODE, JexExcArgs("Reserve()"));
    accessMode_ = kDaemon;
    return Rewrite(Scan::kReserve, daemonPid, JexModemLower(name ? name : ""));
}

int JexModemServDb::Unreserve() {
    JexTrace trace(kModule, "Unreserve()", __LINE__);
    if (accessMode_ != kDaemon) return Fail(WRONGMODE, JexExcArgs("Unreserve()"));
    accessMode_ = kFinished;
    return Rewrite(Scan::kUnreserve, 0, JexModemLower(server_name_.Text()));
}

int JexModemServDb::Update() {
    JexTrace trace(kModule, "Update()", __LINE__);
    if (accessMode_ != kServer) return Fail(WRONGMODE, JexExcArgs("Update()"));
    return Rewrite(Scan::kUpdate, 0, JexModemLower(server_name_.Text()));
}

int JexModemServDb::Remove() {
    JexTrace trace(kModule, "Remove()", __LINE__);
    if (accessMode_ != kServer && accessMode_ != kDaemon && accessMode_ != kUtility)
        return Fail(WRONGMODE, JexExcArgs("Remove()"));
    return Rewrite(Scan::kRemove, 0, JexModemLower(server_name_.Text()));
}

// The record scan the four rewrites share: the first record that is not
// free, reads whole and meets the operation's rule is rewritten in place.
int JexModemServDb::Rewrite(Scan kind, int32_t daemonPid, const std::string& wanted) {
    const bool daemonSide = kind == Scan::kReserve || kind == Scan::kUnreserve;
    JexModemDbFile file(kResource, kRecordSize);
    if (const int code = OpenFile(file, O_RDWR, daemonSide)) {
        // A reservation that found no file found no server either.
        return kind == Scan::kReserve && code == OPENFAIL ? NOMATCH : code;
    }
    ServerRecord r;
    const auto read = file.ScanLive(kRecordText, [&](const std::string& text) {
        // The name first: most records are passed over without a full parse.
        if (JexModemLower(JexModemFirstWord(text)) != wanted || !ParseServer(text, r)) return false;
        if (kind == Scan::kReserve) return r.state == kReady;
        return r.serverPid == serverPid_ && (kind != Scan::kUnreserve || r.state == kReserved);
    });
    if (read == JexModemDbFile::Read::kEnd) {
        file.Close();
        switch (kind) {
            case Scan::kReserve: return Fail(NOMATCH, JexExcArgs("reserve()"));
            case Scan::kUnreserve: return Fail(NOMATCH, JexExcArgs("unreserve()"));
            case Scan::kUpdate: return Fail(ENTRYDELETED, JexExcArgs("Update()"));
            case Scan::kRemove: return Fail(ENTRYDELETED, JexExcArgs("Remove()"));
        }
    }
    if (read != JexModemDbFile::Read::kRecord) return ReadFailed(file);

    std::string record;
    switch (kind) {
        case Scan::kReserve: {
            ServerRecord reserved = r;
            reserved.state = kReserved;
            reserved.daemonPid = daemonPid;
            record = RenderServer(reserved);
            break;
        }
        case Scan::kUnreserve: {
            ServerRecord released = r;
            released.state = kReady;
            released.daemonPid = 0;
            record = RenderServer(released);
            break;
        }
        case Scan::kUpdate: record = Render(r.daemonPid); break;
        case Scan::kRemove: record = std::string(kRecordText, ' ') + '\n'; break;
    }
    if (record.empty()) return WriteFailed(file, EOVERFLOW);
    if (!file.RewriteLast(record.data())) return WriteFailed(file, file.Error());
    file.Close();
    switch (kind) {
        case Scan::kReserve:
            server_name_ = r.name.c_str();
            commbox_ = r.commbox.c_str();
            state_ = kReserved;
            serverPid_ = r.serverPid;
            daemonPid_ = daemonPid;
            src_ref_ = r.srcRef;
            dst_ref_ = r.dstRef;
            return OK;
        case Scan::kUnreserve: return OK;
        case Scan::kUpdate: daemonPid_ = r.daemonPid; return OK;
        case Scan::kRemove: return ExcSet(OK);
    }
    return OK;
}
