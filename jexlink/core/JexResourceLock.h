// Named resource locks: the name of a shared resource a caller works on.
#pragma once

#include "jexlink/core/JexException.h"
#include "jexlink/core/JexString.h"

#define JEXRESOURCELOCK_TEXTS(JEX_TEXT)                              \
    JEX_TEXT(0, OK, "Success")                                       \
    JEX_TEXT(1, BADRESNAM, "Bad resource name \"%1$s\"")             \
    JEX_TEXT(2, LOCKFAIL, "Failed to acquire lock on resource %1$s") \
    JEX_TEXT(3, UNLOCKFAIL, "Failed to release lock on resource %1$s")

// Names the resource being worked on ("jex_logger", "jex_vldb", ...). On
// this platform it checks the name and takes no lock of its own: callers
// hold a JexPrivLock beside it for the exclusion. Its errors are only
// recorded (the suppress flag is set).
class JexResourceLock : public JexException {
public:
    enum : int { JEXRESOURCELOCK_TEXTS(JEX_TEXT_CODE) };
    static const JexTextRow kTextTable[];
    static constexpr int kMaxName = 31;

    explicit JexResourceLock(const char* name);
    explicit JexResourceLock(const JexString& name);
    ~JexResourceLock() override;

    // The name when it was valid, else empty.
    const JexString& Name() const { return name_; }

private:
    void Check(const char* name);

    JexString name_;
};
