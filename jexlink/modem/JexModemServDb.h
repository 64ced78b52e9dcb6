// JexModemServDb: the virtual server database, the shared file where modem servers announce
// themselves.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

#include "jexlink/core/JexAttribute.h"
#include "jexlink/core/JexException.h"
#include "jexlink/core/JexFieldedString.h"
#include "jexlink/core/JexString.h"

#define JEXMODEMSERVDB_TEXTS(JEX_TEXT)                                                             \
    JEX_TEXT(0, OK, "Operation successful")                                                        \
    JEX_TEXT(1, ATTRNOTINT, "Attribute is not an integer type")                                    \
    JEX_TEXT(2, ATTRNOTSTRING, "Attribute is not a string type")                                   \
    JEX_TEXT(3, ATTRREADONLY, "Attribute is read only (for this mode)")                            \
    JEX_TEXT(4, BADATTR, "Bad attribute (enum=%1$d) specified")                                    \
    JEX_TEXT(5, BADATTRVALUE, "Bad attribute value given for %1$s attribute")                      \
    JEX_TEXT(6, ENTRYDELETED, "Operation failed; the entry was deleted")                           \
    JEX_TEXT(7, FORMATERROR, "Error in format of VSDB\n\tfile %1$s\n\tat line %2$d")               \
    JEX_TEXT(8, NOMATCH, "No eligible entry found")                                                \
    JEX_TEXT(9, NOMORE, "No more matching entries found")                                          \
    JEX_TEXT(10, OPENFAIL, "Unable to open server database %1$s")                                  \
    JEX_TEXT(11, READERROR, "Error reading record")                                                \
    JEX_TEXT(12, STRINGTOOLONG, "String length %1$d exceeds maximum size %2$d for attribute %3$s") \
    JEX_TEXT(13, STRINGTOOSHORT,                                                                   \
             "String length %1$d less than minimum size %2$d for attribute %3$s")                  \
    JEX_TEXT(14, WRITEERROR, "Error writing record")                                               \
    JEX_TEXT(15, WRONGMODE, "Operation not permitted for this mode")                               \
    JEX_TEXT(16, WRONGSTATE, "Operation not permitted for this state")

class JexModemDbFile;

// One task's view of the virtual server database: the file of fixed 56-byte
// records in which modem servers announce their name, commbox and state,
// and through which a daemon reserves and releases them.
//
// An object serves one role: a server (Register, then SetAttr and Update,
// then Remove or the destructor), a daemon (Reserve, then Unreserve) or a
// utility (Find, Dump, Purge). Its access mode decides which operations it
// still allows; a failed file step ends it. Failures are only recorded
// (raising is off): every operation returns its code and leaves it, with
// location and arguments, as the object's current error.
//
// The path is taken at construction ("File.Modem.VSDB", else
// "data\jex_modem_servers.dat" under the installation directory). Each file
// operation holds the privilege lock and an exclusive flock on the file
// from the open to the close; a lock not had within 10 s is OPENFAIL at
// "JexResourceLock()". One object is used by one thread at a time.
class JexModemServDb : public JexException {
public:
    enum : int { JEXMODEMSERVDB_TEXTS(JEX_TEXT_CODE) };
    static const JexTextRow kTextTable[];

    enum Attribute : int {
        SERVER_NAME = 0,
        SERVER_PID,
        DAEMON_PID,
        SRC_REF_ID,
        DST_REF_ID,
        STATE,
        COMMBOX,
    };

    static constexpr int kOffline = 0, kReady = 1, kReserved = 2, kOnline = 3;
    enum Mode : int { kUnestablished = 0, kServer, kDaemon, kUtility, kFinished };

    static constexpr int kRecordSize = 56;

    JexModemServDb();
    ~JexModemServDb() override;

    // Adds the server's record (state Ready); the object then owns it.
    int Register(const char* name, const char* commbox, int32_t pid);
    // Frees every record whose server process no longer exists.
    int Purge();

    // A non-empty pattern loads the matching records sorted and delivers the
    // first; null or empty delivers the next.
    int Find(const char* pattern);
    int Dump(const char* pattern, FILE* out);

    int GetAttr(int attribute, int32_t& value);
    int GetAttr(int attribute, JexString& value);
    int SetAttr(int attribute, int32_t value);
    int SetAttr(int attribute, const char* value);

    // The daemon claims the first Ready record of `name`.
    int Reserve(const char* name, int32_t daemonPid);
    // The daemon gives the reserved record back (Ready, daemon pid 0).
    int Unreserve();
    // The server rewrites its record; the daemon pid stays as the file has it.
    int Update();
    // Frees the object's record.
    int Remove();

    static JexString state_name(int state);
    static JexString mode_name(int mode);
    // The attribute rows (JexAttribute.h) its GetAttr and SetAttr check against.
    static std::span<const JexAttrRow> AttributeRows();
    static JexString attribute_name(int attribute);

    int AccessMode() const { return accessMode_; }
    const JexString& Path() const { return path_; }

private:
    enum class Scan { kReserve, kUnreserve, kUpdate, kRemove };

    int Fail(int code, const JexExcArgs& args = JexExcArgs(), JexException* cause = nullptr);
    // 0, or the failure of reading or setting `attribute` as a `kind`.
    int AttrCheck(int attribute, JexAttrKind kind, JexAttrAccess access, const char* label);
    // Opens and locks the file and checks that it holds whole records; 0, or
    // the code of the failure, already set. `keepMode`: a failed open leaves
    // the access mode as it is.
    int OpenFile(JexModemDbFile& file, int flags, bool keepMode);
    // A scan that ended on a short record (FORMATERROR) or a failed read
    // (READERROR); a write that failed. Both end the object.
    int ReadFailed(JexModemDbFile& file);
    int WriteFailed(JexModemDbFile& file, int error);
    int Deliver();
    int Rewrite(Scan kind, int32_t daemonPid, const std::string& wanted);
    std::string Render(int32_t daemonPid) const;

    JexString server_name_;
    JexString commbox_;
    int32_t state_ = 0;
    int32_t serverPid_ = 0;
    int32_t daemonPid_ = 0;
    int32_t src_ref_ = 0;
    int32_t dst_ref_ = 0;
    int32_t accessMode_ = kUnestablished;
    JexFieldedString matches_;
    int32_t cursor_ = 0;

    JexString path_;
};
