// The protocol base: error state that travels inside net messages, with its whole cause chain.
#pragma once

#include "jexlink/core/JexBuffer.h"
#include "jexlink/core/JexException.h"
#include "jexlink/core/JexNetMsg.h"
#include "jexlink/core/JexString.h"
#include "jexlink/transport/JexCodeTable.h"

// Arguments 1 to 9 of an error, over the ten slots of a JexExcArgs. Slot 0
// (the operation label) is not one of them: any index outside 1 to 9 is
// reported on standard error and yields no buffer.
class JexBuffer9 {
public:
    explicit JexBuffer9(const JexExcArgs& args) : args_(args) {}
    const JexBuffer* operator[](int index) const;

private:
    const JexExcArgs& args_;
};

#define JEXPROTOCOL_TEXTS(JEX_TEXT)

// The base of every object that speaks a protocol over the network (the
// gateway, the session, the K2 client). Besides its error state it can put
// its error into a net message and rebuild an error from one:
//
//   item '/'  the code name ("JexGateway::NOPATH")
//   item '0'  the message text with its arguments filled in
//   item '1' .. '9'  the arguments that are not empty
//   item ':'  the cause, as the encoding of a net message of type ':' that
//             carries the same items (so the whole chain travels)
//
// A receiver whose table has the code name keeps the code; any other error
// arrives as an external message ("name, text") of code -1.
class JexProtocol : public JexException {
public:
    static const JexTextRow kTextTable[];

    static constexpr int kItemCodeName = '/';
    static constexpr int kItemText = '0';
    static constexpr int kItemFirstArg = '1';
    static constexpr int kItemCause = ':';
    static constexpr int kCauseType = ':';
    // The longest cause chain read from a message; deeper causes are cut
    // and replaced by one error that says so.
    static constexpr int kMaxCauseDepth = 64;
    // What an error read from a message keeps of the peer's texts: each
    // argument and the text of an unknown error at most kMaxArgument bytes,
    // the code name at most kMaxCodeName.
    static constexpr int kMaxArgument = 64 * 1024;
    static constexpr int kMaxCodeName = 1024;

    // A bare protocol object: class name "JexProtocol", reserved rows only.
    JexProtocol();
    JexProtocol(const JexTextRow* table, const char* className);
    ~JexProtocol() override;

    // Writes this object's error, its arguments and its cause chain into msg.
    void LoadException(JexNetMsg& msg);
    // Sets this object's error from the items of msg, with the label as
    // argument 0 (null leaves it empty); returns the code set. The cause
    // chain is read in place inside msg: its memory is about that of the
    // texts kept, never a copy of the message per level.
    int UnloadException(const JexNetMsg& msg, const char* label);
    // The description, causes included, of the error that msg carries.
    static JexString& DescribeMsg(JexString& out, const JexNetMsg& msg);
};
