// JexModemLineDb: the virtual line database, the shared file of the modem lines that daemons offer.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <span>
#include <string>

#include "jexlink/core/JexAttribute.h"
#include "jexlink/core/JexException.h"
#include "jexlink/core/JexFieldedString.h"
#include "jexlink/core/JexString.h"

#define JEXMODEMLINEDB_TEXTS(JEX_TEXT)                                                             \
    JEX_TEXT(0, OK, "Operation successful")                                                        \
    JEX_TEXT(1, ATTRNOTINT, "Attribute is not an integer type")                                    \
    JEX_TEXT(2, ATTRNOTSTRING, "Attribute is not a string type")                                   \
    JEX_TEXT(3, ATTRREADONLY, "Attribute is read only (for this mode)")                            \
    JEX_TEXT(4, BADATTR, "Bad attribute (enum=%1$d) specified")                                    \
    JEX_TEXT(5, BADATTRVALUE, "Bad attribute value given for %1$s attribute")                      \
    JEX_TEXT(6, DUPLICATEENTRY, "Line is a duplicate")                                             \
    JEX_TEXT(7, ENTRYDELETED, "Operation failed; the entry was deleted")                           \
    JEX_TEXT(8, FORMATERROR, "Error in format of VSDB\n\tfile %1$s\n\tat line %2$d")               \
    JEX_TEXT(9, NOMATCH, "No eligible entry found")                                                \
    JEX_TEXT(10, NOMORE, "No more matching entries found")                                         \
    JEX_TEXT(11, OPENFAIL, "Unable to open line database %1$s")                                    \
    JEX_TEXT(12, READERROR, "Error reading record")                                                \
    JEX_TEXT(13, STRINGTOOLONG, "String length %1$d exceeds maximum size %2$d for attribute %3$s") \
    JEX_TEXT(14, STRINGTOOSHORT,                                                                   \
             "String length %1$d less than minimum size %2$d for attribute %3$s")                  \
    JEX_TEXT(15, WRITEERROR, "Error writing record")                                               \
    JEX_TEXT(16, WRONGMODE, "Operation not permitted for this d/b access mode")

class JexModemDbFile;

// One task's view of the virtual line database: the file of fixed 313-byte
// records, one per modem line, that daemons register, update and remove
// and that an outgoing call picks a line from (Reserve).
//
// An object serves one task (one registered line, one selection or one
// browse); its access mode decides which operations it still allows, and a
// failed file step makes it refuse every further one. Failures are only
// recorded (raising is off): every operation returns its code and leaves
// it, with location and arguments, as the object's current error.
//
// The file's path is taken at construction ("File.Modem.VLDB", else
// "data\jex_modem_lines.dat" under the installation directory). Each file
// operation holds the process-wide privilege lock and an exclusive flock
// on the file from the open to the close, so scans and rewrites of
// processes and threads never interleave; a lock not had within 10 s is
// OPENFAIL at "JexResourceLock()". One object is used by one thread at a
// time.
class JexModemLineDb : public JexException {
public:
    enum : int { JEXMODEMLINEDB_TEXTS(JEX_TEXT_CODE) };
    static const JexTextRow kTextTable[];

    // Attributes of GetAttr and SetAttr.
    enum Attribute : int {
        LINE_NAME = 0,
        LINE_PID,
        STATE,
        ALLOWED_MODE,
        CURRENT_MODE,
        CURRENT_LINK_COUNT,
        MAXIMUM_LINK_COUNT,
        SPEED,
        NODE,
        DEVICE,
        LINE_TYPE,
        COMMBOX,
        LTN,
        RTN,
        DTN,
        DESCRIPTION,
    };

    // Line states and modes as the record holds them.
    static constexpr int kOffline = 0, kIdle = 1, kListening = 2, kDialing = 3, kOnline = 4,
                         kTerm = 5;
    static constexpr int kDisabled = 0, kOriginate = 1, kAnswer = 2, kBoth = 3;

    // Trace flags of JEXMODEMLINEDB_TRACE.
    static constexpr int kTraceGeneral = 1, kTraceReserve = 2, kTraceUpdate = 4, kTraceRemove = 8;

    static constexpr int kRecordSize = 313;
    static constexpr int32_t kMaxSpeed = 99999999;

    JexModemLineDb();
    ~JexModemLineDb() override;

    // Adds the line under `name` (1-16 characters, no white space but
    // trailing) for `pid` (not 0); the object then owns the record.
    int Register(const char* name, int32_t pid);

    int GetAttr(int attribute, int32_t& value);
    int GetAttr(int attribute, JexString& value);
    int SetAttr(int attribute, int32_t value);
    int SetAttr(int attribute, const char* value);
    int SetAttr(int attribute, const JexString& value);

    // Chooses a line for a call to `destination` in three passes (a line
    // already connected there, then an idle originating line, then an idle
    // or listening two-way line), skipping the lines of `skipList`; the
    // file is only read. "Modem.LookupSequence" RANDOM visits the idle
    // lines in random order.
    int Reserve(const char* destination, int32_t speed, const char* lineType, int32_t idleOk,
                JexFieldedString skipList);

    // A non-empty pattern loads the matching records sorted by name and
    // delivers the first; null or empty delivers the next.
    int Find(const char* pattern);
    // Delivers the record at a position of the loaded list; the outcome is
    // the current error, the result always 0.
    int Fetch(uint32_t position);
    // Delivers the line after `name` in name order (the first after the last).
    int Neighbor(const char* name);
    int Dump(const char* pattern, FILE* out);
    // Rewrites the object's own record from its fields.
    int Update();
    // Blanks the object's own record (or, browsing, the record last delivered).
    int Remove();

    static int found_in(const JexString& name, const JexFieldedString& list);
    static JexString state_name(int32_t state);
    static JexString mode_name(int32_t mode);
    // The attribute rows (JexAttribute.h) its GetAttr and SetAttr check against.
    static std::span<const JexAttrRow> AttributeRows();
    static JexString attribute_name(int attribute);

    // Reads JEXMODEMLINEDB_TRACE again (the library reads it once at load).
    static void ReadTraceSwitch();
    // The flags a value of JEXMODEMLINEDB_TRACE gives.
    static int ParseTraceSwitch(const char* value);
    static int TraceFlags();

    // Replaces the generator that orders a random selection; each call gives
    // 16 random bits. Null restores the object's own generator, seeded at
    // every Reserve from the time in seconds.
    void SetRandomSource(std::function<uint16_t()> draw) { randomSource_ = std::move(draw); }

    int AccessMode() const { return accessMode_; }
    const JexString& Path() const { return path_; }

private:
    enum Mode : int { kFresh = 0, kReserving, kRegistered, kBrowsing, kFailed };

    int Fail(int code, const JexExcArgs& args = JexExcArgs(), JexException* cause = nullptr);
    // Opens and locks the file and checks that it holds whole records; 0, or
    // the code of the failure, already set.
    int OpenFile(JexModemDbFile& file, int flags, const char* formatLabel);
    // A scan that ended on a short record (FORMATERROR with the label) or a
    // failed read (READERROR); a write that failed. Both end the object.
    int ReadFailed(JexModemDbFile& file, const char* formatLabel);
    int WriteFailed(JexModemDbFile& file, int error);
    // Delivers the loaded record at the cursor into the fields.
    int Deliver();
    int RewriteOwn(bool remove);
    // The record of the fields, or empty when a value does not fit its column.
    std::string Render() const;
    bool LoadFields(const std::string& text);
    JexString* TextField(int attribute);
    int32_t* IntField(int attribute);
    // 0, or the failure of reading or setting `attribute` as a `kind`.
    int AttrCheck(int attribute, JexAttrKind kind, JexAttrAccess access, const char* label);
    bool Eligible(int pass, int32_t speed, const JexString& lineType, const JexString& destination,
                  const JexFieldedString& skipList);

    JexString lineName_;
    int32_t pid_ = 0;
    int32_t state_ = 0;
    int32_t allowedMode_ = 0;
    int32_t currentMode_ = 0;
    int32_t links_ = 0;
    int32_t maxLinks_ = 0;
    int32_t speed_ = 0;
    JexString node_;
    JexString device_;
    JexString lineType_;
    JexString commbox_;
    JexString ltn_;
    JexString rtn_;
    JexString dtn_;
    JexString description_;
    int32_t accessMode_ = kFresh;
    JexFieldedString results_;
    int32_t cursor_ = 0;

    JexString path_;
    std::function<uint16_t()> randomSource_;
};
