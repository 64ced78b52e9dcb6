// The exception base: error state with codes, arguments, causes and handlers, and text tables.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "jexlink/core/JexBuffer.h"
#include "jexlink/core/JexString.h"
#include "jexlink/core/JexThread.h"

// One row of a class's text table.
struct JexTextRow {
    int code;
    const char* name;  // "Class::NAME"
    const char* text;  // message template; null in the terminator row
};

// Text tables are written once per class as an X-macro list of rows
// JEX_TEXT(code, NAME, "message"), from which the class's codes and its
// table are generated:
//
//   #define JEXRESOURCELOCK_TEXTS(JEX_TEXT)  (one row a line, each ending in "\")
//       JEX_TEXT(0, OK, "Success")
//       JEX_TEXT(1, BADRESNAM, "Bad resource name \"%1$s\"")
//
//   class JexResourceLock : public JexException {
//   public:
//       enum : int { JEXRESOURCELOCK_TEXTS(JEX_TEXT_CODE) };
//       static const JexTextRow kTextTable[];
//
// and in the class's source file:
//
//   #define JEX_TEXT_CLASS JexResourceLock
//   const JexTextRow JexResourceLock::kTextTable[] = JEX_TEXT_TABLE(JEXRESOURCELOCK_TEXTS);
//   #undef JEX_TEXT_CLASS
//
// Every table begins with the reserved rows -1 and -3 and ends with -2.
#define JEX_TEXT_CODE(code, name, text) name = (code),
#define JEX_TEXT_STRINGIZE_(x) #x
#define JEX_TEXT_STRINGIZE(x) JEX_TEXT_STRINGIZE_(x)
#define JEX_TEXT_ROW(code, name, text) \
    {(code), JEX_TEXT_STRINGIZE(JEX_TEXT_CLASS) "::" #name, text},
#define JEX_TEXT_TABLE(LIST)                                                             \
    {                                                                                    \
        {-1, "JexException::EXC_EXTERNAL_MESSAGE", "Your message here"},                 \
            {-3, "JexException::EXC_INFINITE_LOOP", "Infinite exception loop detected"}, \
            LIST(JEX_TEXT_ROW){-2, "JexException::EXC_END_OF_TEXT_TABLE", nullptr},      \
    }

// An error argument: a text, a buffer, a string or a 32-bit integer (four
// bytes, least significant first). Null gives an empty argument.
class JexExcArg : public JexBuffer {
public:
    JexExcArg() = default;
    JexExcArg(std::nullptr_t) {}
    JexExcArg(const char* text) : JexBuffer(text) {}
    JexExcArg(int value) { SetLong(value); }
    JexExcArg(const JexBufferBase& buffer) : JexBuffer(buffer) {}
    JexExcArg(const JexBuffer& buffer) : JexBuffer(buffer) {}
    JexExcArg(const JexString& text) : JexBuffer(text) {}
    JexExcArg(const JexBufferBase* buffer) {
        if (buffer) JexBuffer::operator=(*buffer);
    }
    JexExcArg(const JexBuffer* buffer) : JexExcArg(static_cast<const JexBufferBase*>(buffer)) {}
    JexExcArg(const JexString* text) {
        if (text) JexBuffer::operator=(JexBuffer(*text));
    }
};

// The ten arguments of an error: 0 the location (an operation name such as
// "JexSession::Connect"), 1 to 9 what the message template shows.
class JexExcArgs {
public:
    static constexpr int kCount = 10;

    JexExcArgs() = default;
    // The location alone: a call that gives no argument makes and destroys
    // none of the nine.
    explicit JexExcArgs(const char* location);
    explicit JexExcArgs(const char* location, JexExcArg a1, JexExcArg a2 = {}, JexExcArg a3 = {},
                        JexExcArg a4 = {}, JexExcArg a5 = {}, JexExcArg a6 = {}, JexExcArg a7 = {},
                        JexExcArg a8 = {}, JexExcArg a9 = {});
    JexExcArgs(const JexExcArgs& other) = default;
    JexExcArgs& operator=(const JexExcArgs& other);
    // Out of line: the ten buffers are freed in one place instead of at
    // every call that makes a set of arguments.
    ~JexExcArgs();

    JexBuffer& operator[](int i) { return args_[Index(i)]; }
    const JexBuffer& operator[](int i) const { return args_[Index(i)]; }
    // All ten, as JexVBPrintF takes them.
    const JexBuffer* Buffers() const { return args_; }
    void Clear();
    // Exchanges the storage of every argument with the other's.
    void Swap(JexExcArgs& other) noexcept {
        for (int i = 0; i < kCount; ++i) args_[i].Swap(other.args_[i]);
    }

private:
    static int Index(int i) { return i >= 0 && i < kCount ? i : 0; }

    JexBuffer args_[kCount];
};

class JexException;

// A handler takes the raised object and the context given at registration;
// 0 takes the error, anything else passes it on.
using JexExcHandler = int (*)(JexException* raised, void* context);

// A registration of a handler; it lives on the stack of the code that
// registers it, for the time of one scope.
struct JexExcHandlerRecord {
    JexExcHandlerRecord* next = nullptr;
    JexExcHandler handler = nullptr;
    int savedSuppress = 0;
    void* context = nullptr;
    JexException* object = nullptr;
};

// Error state of a library object: the last error's code (from the class's
// text table), ten argument texts and a chain of causes, offered to the
// handlers registered on the object, newest first. An error that no handler
// takes is printed in full on standard error and ends the process with
// status 1, unless the object's suppress flag is set, in which case it is
// only recorded. Every operation but the handler push and pop runs under
// the object's own recursive mutex.
//
// Codes: -1 the error text is the external message ("Class::NAME, text"),
// -3 the loop guard's error, -4 a failed name lookup, 0 success, 4096 an
// error re-raised from another object (its first cause), 4097 and up
// events.
class JexException {
public:
    static constexpr int kExternalMessage = -1;
    static constexpr int kEndOfTable = -2;
    static constexpr int kInfiniteLoop = -3;
    static constexpr int kNoSuchName = -4;
    static constexpr int kReraised = 4096;
    static constexpr int kFirstEvent = 4097;

    JexException(const JexTextRow* table, const char* className);
    virtual ~JexException();
    JexException(const JexException&) = delete;
    JexException& operator=(const JexException&) = delete;

    // The raised object's Describe text with names, then exit status 1.
    virtual int DefaultHandler(JexException* raised, void* context);
    // A new error object of this class without an error.
    virtual JexException* Clone();
    // The template of a code; for an object whose code is -1, the text of
    // the external message.
    virtual JexString Text(int code);
    // The name of a code ("Class::NAME").
    virtual JexString CodeName(int code);

    // The same for the object's current code; they return out.
    JexString& Text(JexString& out);
    JexString& CodeName(JexString& out);

    static void PushHandler(JexExcHandlerRecord& record, JexException* object,
                            JexExcHandler handler, void* context);
    static void PopHandler(JexExcHandlerRecord& record);

    // Records an error; the cause (which may be this object) is copied with
    // its chain first. Returns the code. Does not raise.
    int ExcSet(int code, const JexExcArgs& args = JexExcArgs(), JexException* cause = nullptr);
    int ExcRaise(int code, const JexExcArgs& args = JexExcArgs(), JexException* cause = nullptr);
    // The same for arguments made for the call: their storage moves in.
    int ExcSet(int code, JexExcArgs&& args, JexException* cause = nullptr);
    int ExcRaise(int code, JexExcArgs&& args, JexException* cause = nullptr);
    int Raise();
    // Records the error on a clone of this object and appends that at the
    // end of this object's cause chain; this object's error stays.
    void ExcSetViaClone(int code, const JexExcArgs& args = JexExcArgs(),
                        JexException* cause = nullptr);
    // ExcSetViaClone with code -1 and the text as the clone's external message.
    void ExcSetText(const char* text, const JexExcArgs& args = JexExcArgs(),
                    JexException* cause = nullptr);
    // Takes the other's error; this object's previous error becomes the last
    // cause of the new chain.
    void ExcSetFrom(JexException& other);
    // Appends a copy of the other's error (with its chain) to the cause chain.
    void AppendCause(JexException& other);
    // A copy of this error with its whole chain; the caller deletes it.
    JexException* CopyChain();
    void DeleteCause();

    int CodeFromName(const char* name);
    JexString FormatCode(int code, const JexExcArgs& args, int withName);
    JexString FormattedText(int withName);
    JexString Describe(int withName);
    JexString& Describe(JexString& out, int withName);
    JexException* FirstRealError();
    JexString DescribeFirstRealError(int withName);

    // Standard handlers; the context is the owner object.
    static int ReraiseHandler(JexException* raised, void* context);
    static int EventHandler(JexException* raised, void* context);

    int Code() const { return code_; }
    const JexExcArgs& Args() const { return args_; }
    JexException* Cause() const { return cause_; }
    const JexString& ClassName() const { return className_; }
    const JexTextRow* TextTable() const { return table_; }
    const JexString& ExternalMessage() const { return externalMessage_; }
    void SetExternalMessage(const JexString& message);

    int Suppress() const { return suppress_; }
    void SetSuppress(int flag) { suppress_ = flag; }

protected:
    // The object's mutex, for subclasses that keep more state under it.
    JexMutex& Mutex() { return mutex_; }
    // Sets the cause pointer as it stands (no copy); for the loop guard's tests.
    void LinkCauseForTest(JexException* cause) { cause_ = cause; }
    // ExcSet with a cause that is already a copy made for this object (of
    // CopyChain): the object takes the chain instead of copying it again.
    int ExcSetTaking(int code, JexExcArgs&& args, std::unique_ptr<JexException> chain);

private:
    const JexTextRow* Row(int code) const;
    // ExcSet's parts around taking the arguments: the copy of the cause's
    // chain (after the loop guard's check), then the code and that chain.
    JexException* CopyOfCause(JexException* cause);
    int Record(int code, JexException* copy);
    // Deletes a chain that no other object or thread can reach any more.
    static void DeleteChain(JexException* link);

    int suppress_ = 0;
    JexString externalMessage_;
    JexExcArgs args_;
    JexException* cause_ = nullptr;
    int code_ = 0;
    const JexTextRow* table_;
    JexExcHandlerRecord* handlerHead_ = nullptr;
    JexString className_;
    JexMutex mutex_;
};

// Registers a handler on an object for one scope.
class JexHandlerScope {
public:
    JexHandlerScope(JexException* object, JexExcHandler handler, void* context) {
        JexException::PushHandler(record_, object, handler, context);
    }
    ~JexHandlerScope() { JexException::PopHandler(record_); }
    JexHandlerScope(const JexHandlerScope&) = delete;
    JexHandlerScope& operator=(const JexHandlerScope&) = delete;

private:
    JexExcHandlerRecord record_;
};

// A C library error number. Its code is the errno value.
class JexErrno : public JexException {
public:
    explicit JexErrno(int value = errno, const char* location = nullptr);
    using JexException::CodeName;
    using JexException::Text;
    JexException* Clone() override;
    JexString Text(int code) override;
    JexString CodeName(int code) override;
    int Value() const { return value_; }

private:
    int value_;
};

// A condition value of the Qvos platform. Its code is the value.
class JexQvosError : public JexException {
public:
    explicit JexQvosError(int value, const char* location = nullptr);
    using JexException::CodeName;
    using JexException::Text;
    JexException* Clone() override;
    JexString Text(int code) override;
    JexString CodeName(int code) override;
    int Value() const { return value_; }

private:
    int value_ = 0;
};

// A Windows Sockets error. Its code is the error.
class JexWsaError : public JexException {
public:
    explicit JexWsaError(int value, const char* location = nullptr);
    using JexException::CodeName;
    using JexException::Text;
    JexException* Clone() override;
    JexString Text(int code) override;
    int Value() const { return value_; }

private:
    int value_ = 0;
};
