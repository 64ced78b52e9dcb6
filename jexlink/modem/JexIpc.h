// JexIpc: the commbox, a named message box between the modem connection and the modem daemon.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

#include "jexlink/core/JexBuffer.h"
#include "jexlink/core/JexException.h"
#include "jexlink/core/JexString.h"
#include "jexlink/core/JexThread.h"

#define JEXIPC_TEXTS(JEX_TEXT)                                   \
    JEX_TEXT(0, OK, "Operation successful")                      \
    JEX_TEXT(1, FULL, "Channel bank full")                       \
    JEX_TEXT(2, NOSUCHBOX, "Commbox %1$s does not exist")        \
    JEX_TEXT(3, SHUT, "Remote listener has shut the connection") \
    JEX_TEXT(4, SYSERR, "Operating system error")                \
    JEX_TEXT(5, TIMEOUT, "Operation timed out")                  \
    JEX_TEXT(6, WRONGMODE, "Channel in wrong mode for this direction I/O")

// A commbox: a named box that carries whole messages between processes of
// one user. A process receives on its own listen box, whose name it
// publishes (Name), and sends through write boxes opened by the name of
// another's listen box. A box is an AF_UNIX datagram socket in "commbox/"
// under the private platform state directory (sockets 0600), so one PutMsg
// gives one GetMsg, byte for byte, in the order each writer sent.
//
// Limits: a message is at most kMaxMessage bytes (a larger one that reaches
// a listen box is dropped and read as an empty message, so that the reader
// skips it as undecodable and the box stays usable); a send waits at most
// SendWaitMs() for room in the receiver's queue, then gives FULL; a
// receive waits as long as its caller says (without limit for flags 0).
// A listen box is named by 8 characters of [a-z0-9]; a name given to the
// write form must be 1 to 8 letters, digits, '_' or '-', or the box is
// NOSUCHBOX before any file is touched.
//
// Errors are recorded and returned (the suppress flag is set): a box that
// could not be made keeps its failure as its status, and every operation on
// it returns that failure. Name, PutMsg and GetMsg first record OK
// ("reset to OK status"), so a usable box's status tells the last of them.
// Threading: receives on one box are serialised by its read lock, sends by
// its write lock; a receive and a send do not exclude each other.
class JexIpc : public JexException {
public:
    enum : int { JEXIPC_TEXTS(JEX_TEXT_CODE) };
    static const JexTextRow kTextTable[];

    static constexpr int kMaxMessage = 64 * 1024;
    static constexpr int kMaxName = 8;
    static constexpr int kSendWaitSeconds = 10;

    // The bound on a send's wait for room (kSendWaitSeconds unless a test
    // set a shorter one); SetSendWaitMs returns the bound it replaced.
    static int SendWaitMs();
    static int SetSendWaitMs(int ms);

    // The listen form: this process's new receiving box.
    JexIpc();
    // The write form: a sending box to the listen box of that name.
    explicit JexIpc(const char* name);
    // A listen box removes its socket file.
    ~JexIpc() override;

    // The box's name, for others to open a write box to it.
    JexString Name();
    // Delivers the message whole (write boxes only); flags are unused.
    int PutMsg(const JexBufferBase& message, int flags);
    // Takes the next message whole (listen boxes only). With flags bit 0 it
    // waits at most `seconds` and then gives TIMEOUT; with flags 0 it waits
    // without limit.
    int GetMsg(JexBuffer& out, int flags, int seconds);
    // GetMsg with flags bit 0 and a wait in milliseconds.
    int GetMsgWithin(JexBuffer& out, int milliseconds);
    // One read that does not wait: TIMEOUT when no message is there.
    int One_Pass_Read(JexBuffer& out);

    // Whether a name taken from outside may name a box.
    static bool ValidName(const char* name);

private:
    enum class Mode { kBroken, kListen, kWrite };
    // Bind's result for a name that another box holds.
    static constexpr int kNameTaken = -1;

    // The socket path of a box name; empty (status set) when it cannot be.
    std::string BoxPath(const char* label, const std::string& name);
    int Bind(const std::string& name, const std::string& path);
    // One read that does not wait: OK with the message, TIMEOUT when none
    // is there, or the failure recorded.
    int ReadOne(JexBuffer& out, const char* label);
    // GetMsg's wait: up to `wait` when timed, else without limit.
    int Receive(JexBuffer& out, bool timed, std::chrono::milliseconds wait);
    int SystemError(const char* label, const char* what, int error);
    // The status of a box that could not be made.
    int BrokenCode() const;

    JexMutex readLock_;
    JexMutex writeLock_;
    JexString name_;
    Mode mode_ = Mode::kBroken;
    int fd_ = -1;
    std::string path_;  // a listen box's socket file
    ino_t inode_ = 0;   // ... and its inode, so that only that file is removed
    pid_t owner_ = 0;   // the process that made the listen box
};
