// The exception base: error state with codes, arguments, causes and handlers, and text tables.
#include "jexlink/core/JexException.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>

#include "jexlink/core/JexVBPrintF.h"
#include "platform/winbase.h"

namespace {

// JEXEXCEPTION_TRACE, read at the first construction: "a" traces every
// ExcSet, "d" puts the location in front of every formatted message.
bool traceSets = false;
bool traceLocations = false;

void ReadTraceSwitch() {
    static std::once_flag once;
    std::call_once(once, [] {
        const char* value = std::getenv("JEXEXCEPTION_TRACE");
        for (const char* c = value ? value : ""; *c; ++c) {
            if (*c == 'a' || *c == 'A') traceSets = true;
            if (*c == 'd' || *c == 'D') traceLocations = true;
        }
    });
}

JexString Printf(const char* format, const char* text, long long value) {
    char out[128];
    std::snprintf(out, sizeof out, format, text, value);
    return JexString(out);
}

constexpr JexTextRow kReservedOnly[] = {
    {-1, "JexException::EXC_EXTERNAL_MESSAGE", "Your message here"},
    {-3, "JexException::EXC_INFINITE_LOOP", "Infinite exception loop detected"},
    {-2, "JexException::EXC_END_OF_TEXT_TABLE", nullptr},
};

}  // namespace

// --- JexExcArgs -------------------------------------------------------------

JexExcArgs::JexExcArgs(const char* location) {
    if (location) {
        JexBuffer text(location);
        args_[0].Swap(text);
    }
}

// The arguments are taken by value, so that each one made from a text or a
// number on the call is made once and its storage moves in.
JexExcArgs::JexExcArgs(const char* location, JexExcArg a1, JexExcArg a2, JexExcArg a3, JexExcArg a4,
                       JexExcArg a5, JexExcArg a6, JexExcArg a7, JexExcArg a8, JexExcArg a9) {
    if (location) {
        JexBuffer text(location);
        args_[0].Swap(text);
    }
    JexExcArg* given[] = {&a1, &a2, &a3, &a4, &a5, &a6, &a7, &a8, &a9};
    for (int i = 0; i < 9; ++i)
        if (given[i]->Data()) args_[i + 1].Swap(*given[i]);
}

JexExcArgs& JexExcArgs::operator=(const JexExcArgs& other) {
    for (int i = 0; i < kCount; ++i) args_[i] = other.args_[i];
    return *this;
}

JexExcArgs::~JexExcArgs() = default;

void JexExcArgs::Clear() {
    for (JexBuffer& arg : args_) arg.Free();
}

// --- JexException -----------------------------------------------------------

JexException::JexException(const JexTextRow* table, const char* className)
    : table_(table ? table : kReservedOnly), className_(className) {
    ReadTraceSwitch();
}

JexException::~JexException() {
    if (handlerHead_) {
        std::fprintf(stderr,
                     "\n\n*******\nDANGER!  JexException object is being destroyed with an\n"
                     "         outstanding handler:\n"
                     "             Object address = %p\n"
                     "             Handler        = %p\n"
                     "             Class name     = %s\n\n*******\n",
                     static_cast<void*>(this), reinterpret_cast<void*>(handlerHead_->handler),
                     className_.Text());
        std::fprintf(stderr, "Assertion failed: handler_head == NULL\n");
        std::fflush(stderr);
        std::abort();
    }
    // No other thread may use an object that is being destroyed: its chain
    // goes without taking its lock.
    DeleteChain(cause_);
}

const JexTextRow* JexException::Row(int code) const {
    for (const JexTextRow* row = table_;; ++row) {
        if (row->code == code) return row->code == kEndOfTable ? nullptr : row;
        if (row->code == kEndOfTable) return nullptr;
    }
}

void JexException::PushHandler(JexExcHandlerRecord& record, JexException* object,
                               JexExcHandler handler, void* context) {
    record.next = object->handlerHead_;
    record.handler = handler;
    record.savedSuppress = object->suppress_;
    record.context = context;
    record.object = object;
    object->suppress_ = 0;
    object->handlerHead_ = &record;
}

void JexException::PopHandler(JexExcHandlerRecord& record) {
    JexException* object = record.object;
    if (!object) return;
    object->suppress_ = record.savedSuppress;
    object->handlerHead_ = record.next;
    record.object = nullptr;
}

JexException* JexException::CopyOfCause(JexException* cause) {
    for (JexException* link = cause ? cause->cause_ : nullptr; link; link = link->cause_) {
        if (link != this) continue;
        ExcSet(kInfiniteLoop, JexExcArgs("JexException::ExcSet ()"));
        Raise();
        std::abort();
    }
    return cause ? cause->CopyChain() : nullptr;
}

int JexException::Record(int code, JexException* copy) {
    code_ = code;
    JexException* old = cause_;
    cause_ = nullptr;
    DeleteChain(old);  // under the lock ExcSet holds
    cause_ = copy;
    if (traceSets) {
        const JexString described = Describe(1);
        std::fprintf(stderr,
                     "\n---- JexException Trace (%s) -----------------\n%s\n"
                     "----------------------- (%s) -----------------\n\n",
                     className_.Text(), described.Text(), className_.Text());
    }
    return code;
}

int JexException::ExcSet(int code, const JexExcArgs& args, JexException* cause) {
    JexMutexLock hold(mutex_);
    JexException* copy = CopyOfCause(cause);
    // args may be this object's own (each buffer's assignment to itself
    // keeps it) or those of an object of the chain: copied before the old
    // chain goes.
    args_ = args;
    return Record(code, copy);
}

int JexException::ExcSet(int code, JexExcArgs&& args, JexException* cause) {
    JexMutexLock hold(mutex_);
    JexException* copy = CopyOfCause(cause);
    args_.Swap(args);
    return Record(code, copy);
}

int JexException::ExcSetTaking(int code, JexExcArgs&& args, std::unique_ptr<JexException> chain) {
    JexMutexLock hold(mutex_);
    args_.Swap(args);
    return Record(code, chain.release());
}

int JexException::ExcRaise(int code, const JexExcArgs& args, JexException* cause) {
    JexMutexLock hold(mutex_);
    ExcSet(code, args, cause);
    return Raise();
}

int JexException::ExcRaise(int code, JexExcArgs&& args, JexException* cause) {
    JexMutexLock hold(mutex_);
    ExcSet(code, std::move(args), cause);
    return Raise();
}

int JexException::Raise() {
    JexMutexLock hold(mutex_);
    if (suppress_) return 0;
    for (JexExcHandlerRecord* record = handlerHead_; record; record = record->next)
        if (record->handler(this, record->context) == 0) return 0;
    return DefaultHandler(this, nullptr);
}

void JexException::ExcSetViaClone(int code, const JexExcArgs& args, JexException* cause) {
    JexMutexLock hold(mutex_);
    JexException* clone = Clone();
    clone->ExcSet(code, args, cause);
    AppendCause(*clone);
    delete clone;
}

void JexException::ExcSetText(const char* text, const JexExcArgs& args, JexException* cause) {
    JexMutexLock hold(mutex_);
    JexException* clone = Clone();
    clone->ExcSet(kExternalMessage, args, cause);
    clone->externalMessage_ = text;
    AppendCause(*clone);
    delete clone;
}

void JexException::ExcSetFrom(JexException& other) {
    JexMutexLock hold(mutex_);
    JexException* previous = code_ != 0 ? CopyChain() : nullptr;
    JexException* chain = nullptr;
    int code;
    JexExcArgs args;
    JexString message;
    {
        JexMutexLock holdOther(other.mutex_);
        chain = other.cause_ ? other.cause_->CopyChain() : nullptr;
        code = other.code_;
        args = other.args_;
        message = other.externalMessage_;
        message.SetCaseSensitive(other.externalMessage_.CaseSensitive());
    }
    code_ = code;
    args_ = args;
    if (code == kExternalMessage) {
        externalMessage_ = message;
        externalMessage_.SetCaseSensitive(message.CaseSensitive());
    }
    DeleteCause();
    cause_ = chain;
    if (!previous) return;
    JexException** end = &cause_;
    while (*end) end = &(*end)->cause_;
    *end = previous;
}

void JexException::AppendCause(JexException& other) {
    JexMutexLock hold(mutex_);
    JexException* copy = other.CopyChain();
    JexException** end = &cause_;
    while (*end) end = &(*end)->cause_;
    *end = copy;
}

JexException* JexException::CopyChain() {
    JexMutexLock hold(mutex_);
    // Iterative, so that a long chain does not use deep recursion.
    JexException* head = nullptr;
    JexException** tail = &head;
    for (JexException* from = this; from; from = from->cause_) {
        JexMutexLock holdFrom(from->mutex_);
        JexException* copy = from->Clone();
        copy->code_ = from->code_;
        copy->args_ = from->args_;
        copy->externalMessage_ = from->externalMessage_;
        copy->externalMessage_.SetCaseSensitive(from->externalMessage_.CaseSensitive());
        // The copy is this thread's alone until it is returned.
        DeleteChain(copy->cause_);
        copy->cause_ = nullptr;
        *tail = copy;
        tail = &copy->cause_;
    }
    return head;
}

void JexException::DeleteCause() {
    JexMutexLock hold(mutex_);
    JexException* link = cause_;
    cause_ = nullptr;
    DeleteChain(link);
}

void JexException::DeleteChain(JexException* link) {
    // Each link is cut off before it goes, so that its destructor has no
    // chain of its own to delete.
    while (link) {
        JexException* next = link->cause_;
        link->cause_ = nullptr;
        delete link;
        link = next;
    }
}

void JexException::SetExternalMessage(const JexString& message) {
    JexMutexLock hold(mutex_);
    externalMessage_ = message;
    externalMessage_.SetCaseSensitive(message.CaseSensitive());
}

JexException* JexException::Clone() { return new JexException(table_, className_.Text()); }

JexString JexException::Text(int code) {
    JexMutexLock hold(mutex_);
    if (code_ == kExternalMessage) {
        const char* message = externalMessage_.Text();
        const char* comma = std::strchr(message, ',');
        if (!comma) return JexString("");
        ++comma;
        while (*comma == ' ' || *comma == '\t' || *comma == '\n' || *comma == '\r') ++comma;
        return JexString(comma);
    }
    if (const JexTextRow* row = Row(code)) return JexString(row->text);
    return Printf("Unknown %1.64s exception value: %lld", className_.Text(), code);
}

JexString JexException::CodeName(int code) {
    JexMutexLock hold(mutex_);
    if (code_ == kExternalMessage) {
        const char* message = externalMessage_.Text();
        const char* comma = std::strchr(message, ',');
        if (!comma) return JexString(message);
        return JexString::FromBytes(message, static_cast<int>(comma - message));
    }
    if (const JexTextRow* row = Row(code)) return JexString(row->name);
    return Printf("%1.64s::%lld", className_.Text(), code);
}

JexString& JexException::Text(JexString& out) {
    JexMutexLock hold(mutex_);
    out = Text(code_);
    return out;
}

JexString& JexException::CodeName(JexString& out) {
    JexMutexLock hold(mutex_);
    out = CodeName(code_);
    return out;
}

int JexException::CodeFromName(const char* name) {
    JexMutexLock hold(mutex_);
    if (!name) return kNoSuchName;
    for (const JexTextRow* row = table_; row->code != kEndOfTable; ++row)
        if (JexStrCaseCmp(row->name, name) == 0) return row->code;
    return kNoSuchName;
}

JexString JexException::FormatCode(int code, const JexExcArgs& args, int withName) {
    JexMutexLock hold(mutex_);
    const JexString templ = Text(code);
    JexBuffer formatted;
    JexVBPrintF(formatted, templ.Text(), args.Buffers());
    JexString result;
    if (traceLocations && args[0].Length() > 0) {
        result += JexString::FromBytes(args[0].Data(), args[0].Length());
        result += ": ";
    }
    if (withName) {
        result += CodeName(code);
        result += ", ";
    }
    result += JexString::FromBytes(formatted.Data(), formatted.Length());
    if (!result.Data()) result = "";
    return result;
}

JexString JexException::FormattedText(int withName) {
    JexMutexLock hold(mutex_);
    return FormatCode(code_, args_, withName);
}

JexString JexException::Describe(int withName) {
    JexString out;
    return Describe(out, withName);
}

JexString& JexException::Describe(JexString& out, int withName) {
    JexMutexLock hold(mutex_);
    JexString text("--- ");
    text += FormattedText(withName);
    for (JexException* link = cause_; link; link = link->cause_) {
        text += "\n  - ";
        text += link->FormattedText(withName);
    }
    out = text;
    return out;
}

JexException* JexException::FirstRealError() {
    JexMutexLock hold(mutex_);
    for (JexException* link = this; link; link = link->cause_)
        if (link->code_ != kReraised) return link;
    return nullptr;
}

JexString JexException::DescribeFirstRealError(int withName) {
    JexMutexLock hold(mutex_);
    JexException* real = FirstRealError();
    return real ? real->Describe(withName) : JexString("");
}

int JexException::DefaultHandler(JexException* raised, void* /*context*/) {
    const JexString text = raised->Describe(1);
    std::fprintf(stderr, "%s\n", text.Text());
    std::fflush(nullptr);
    _exit(1);
}

int JexException::ReraiseHandler(JexException* raised, void* context) {
    auto* owner = static_cast<JexException*>(context);
    owner->ExcSet(kReraised, JexExcArgs("JexException::ReraiseHandler"), raised);
    owner->Raise();
    return 0;
}

int JexException::EventHandler(JexException* raised, void* context) {
    if (raised->Code() < kReraised) return 1;
    auto* owner = static_cast<JexException*>(context);
    owner->ExcSet(kReraised, JexExcArgs("event raised"), raised);
    owner->Raise();
    return 0;
}

// --- JexErrno ---------------------------------------------------------------

namespace {

struct ErrnoName {
    int value;
    const char* name;
};

// Searched in this order; the first match wins.
constexpr ErrnoName kErrnoNames[] = {
    {E2BIG, "E2BIG"},     {EACCES, "EACCES"},
    {EAGAIN, "EAGAIN"},   {EBADF, "EBADF"},
    {EBUSY, "EBUSY"},     {ECHILD, "ECHILD"},
    {EDEADLK, "EDEADLK"}, {EDEADLOCK, "EDEADLOCK"},
    {EDOM, "EDOM"},       {EEXIST, "EEXIST"},
    {EFAULT, "EFAULT"},   {EFBIG, "EFBIG"},
    {EILSEQ, "EILSEQ"},   {EINTR, "EINTR"},
    {EINVAL, "EINVAL"},   {EIO, "EIO"},
    {EISDIR, "EISDIR"},   {EMFILE, "EMFILE"},
    {EMLINK, "EMLINK"},   {ENAMETOOLONG, "ENAMETOOLONG"},
    {ENFILE, "ENFILE"},   {ENODEV, "ENODEV"},
    {ENOENT, "ENOENT"},   {ENOEXEC, "ENOEXEC"},
    {ENOLCK, "ENOLCK"},   {ENOMEM, "ENOMEM"},
    {ENOSPC, "ENOSPC"},   {ENOSYS, "ENOSYS"},
    {ENOTDIR, "ENOTDIR"}, {ENOTEMPTY, "ENOTEMPTY"},
    {ENOTTY, "ENOTTY"},   {ENXIO, "ENXIO"},
    {EPERM, "EPERM"},     {EPIPE, "EPIPE"},
    {ERANGE, "ERANGE"},   {EROFS, "EROFS"},
    {ESPIPE, "ESPIPE"},   {ESRCH, "ESRCH"},
    {EXDEV, "EXDEV"},
};

}  // namespace

JexErrno::JexErrno(int value, const char* location)
    : JexException(nullptr, "JexErrno"), value_(value) {
    ExcSet(value, JexExcArgs(location, value));
}

JexException* JexErrno::Clone() {
    const JexBuffer& location = Args()[0];
    return new JexErrno(Code(), location.Data() ? location.Data() : nullptr);
}

JexString JexErrno::Text(int code) {
    if (Code() == kExternalMessage) return JexException::Text(code);
    if (const char* text = strerrordesc_np(code)) return JexString(text);
    char out[48];
    std::snprintf(out, sizeof out, "Error %d occurred.", code);
    return JexString(out);
}

JexString JexErrno::CodeName(int code) {
    if (Code() == kExternalMessage) return JexException::CodeName(code);
    for (const ErrnoName& entry : kErrnoNames)
        if (entry.value == code) return JexString(entry.name);
    char out[32];
    std::snprintf(out, sizeof out, "errno %d", code);
    return JexString(out);
}

// --- JexQvosError -----------------------------------------------------------

JexQvosError::JexQvosError(int value, const char* location)
    : JexException(nullptr, "JexQvosError") {
    ExcSet(value, JexExcArgs(location, value));
    value_ = value;
}

JexException* JexQvosError::Clone() {
    const JexBuffer& location = Args()[0];
    return new JexQvosError(Code(), location.Data() ? location.Data() : nullptr);
}

JexString JexQvosError::Text(int code) {
    if (Code() == kExternalMessage) return JexException::Text(code);
    char out[40];
    std::snprintf(out, sizeof out, "Qvos error 0x%08lx",
                  static_cast<unsigned long>(static_cast<uint32_t>(code)));
    return JexString(out);
}

JexString JexQvosError::CodeName(int code) {
    if (Code() == kExternalMessage) return JexException::CodeName(code);
    char out[40];
    std::snprintf(out, sizeof out, "Qvos%08lx",
                  static_cast<unsigned long>(static_cast<uint32_t>(code)));
    return JexString(out);
}

// --- JexWsaError ------------------------------------------------------------

JexWsaError::JexWsaError(int value, const char* location) : JexException(nullptr, "JexWsaError") {
    ExcSet(value, JexExcArgs(location));
    value_ = value;
}

JexException* JexWsaError::Clone() { return new JexWsaError(Code()); }

JexString JexWsaError::Text(int code) {
    if (Code() == kExternalMessage) return JexException::Text(code);
    char* systemText = nullptr;
    const DWORD n = FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<LPSTR>(&systemText), 0, nullptr);
    if (n > 0 && systemText) {
        std::string text(systemText, n);
        LocalFree(systemText);
        // The system text ends its line; the message is one line of a description.
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        return JexString(text.c_str());
    }
    char out[32];
    std::snprintf(out, sizeof out, "WSA error %d", code);
    return JexString(out);
}
