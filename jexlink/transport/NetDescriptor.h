// One socket descriptor of a byte-stream endpoint, closable from another thread.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <atomic>
#include <mutex>

namespace jexnet {

// Result of a blocking step beyond a byte count.
inline constexpr long kIoFailed = -1;  // the call failed; the error is in errno
inline constexpr long kIoClosed = -2;  // Close ran (here or on another thread)

// The descriptor of one endpoint. Every blocking step waits with poll() on
// the descriptor and on a wake-up event, so Close() from any thread ends a
// waiting accept, connect, read or write at once. The descriptor itself is
// closed only when no step is using it any more, so its number is never
// reused under a thread that still reads or writes it.
class NetDescriptor {
public:
    NetDescriptor();
    NetDescriptor(const NetDescriptor&) = delete;
    NetDescriptor& operator=(const NetDescriptor&) = delete;
    ~NetDescriptor();

    // The descriptor, or -1 when there is none.
    int Fd() const;
    // Takes ownership of fd (closing any descriptor held before). Returns
    // false, closing fd, when Close already ran.
    bool Adopt(int fd);
    // Ends every waiting step and closes the descriptor (once unused).
    // Any number of calls; later steps report kIoClosed.
    void Close();
    bool Closing() const;

    // Waits for one connection and returns its descriptor (close-on-exec),
    // with the peer's address when `address` is not null. Out of
    // descriptors or memory (EMFILE, ENFILE, ENOMEM, ENOBUFS) it keeps
    // waiting, trying again every kShortageRetryMs, and says so on standard
    // error once per shortage (and once when accepting works again).
    static constexpr int kShortageRetryMs = 100;
    long Accept(sockaddr* address, socklen_t* length);
    // Connects the held descriptor; a connection in progress is waited for,
    // at most `timeoutMs` when it is not negative (then kIoFailed with
    // ETIMEDOUT).
    long Connect(const sockaddr* address, socklen_t length, int timeoutMs = -1);
    // One read of at most n bytes: the count, 0 at the end of data. With
    // waitFirst the read waits for the descriptor to become readable before
    // it tries: no call is spent on finding that nothing is there yet.
    long Read(char* p, size_t n, bool waitFirst = false);
    // One write of at most n bytes: the count written (at least 1). With
    // `more`, the bytes may wait for the next write to go out with it (the
    // pieces of one message leave as few segments, not one each).
    long Write(const char* p, size_t n, bool more = false);
    // One gathering write of the `count` pieces (at most IOV_MAX): the count
    // of bytes written (at least 1), or kIoFailed / kIoClosed. `more` as for
    // Write.
    long WriteVector(const iovec* pieces, int count, bool more = false);

    // How a Splice ended: the bytes taken from this descriptor and given to
    // the other, and what stopped it early (err holds the errno of a failed
    // call; kIoClosed when Close ran on that side).
    struct SpliceResult {
        enum class Stop { kDone, kUnsupported, kReadEnd, kReadFailed, kWriteFailed };
        Stop stop = Stop::kDone;
        size_t taken = 0;
        size_t given = 0;
        int err = 0;
    };
    // Moves the next n bytes read from this descriptor to `to` through a
    // pipe of the kernel (splice), so that they never pass through user
    // space. Reading and writing overlap: what has arrived goes on while
    // the rest comes in. Each wait is the one of Read or Write on its own
    // side (its Close ends it), so a stalled peer holds it no longer than
    // those. kUnsupported, with nothing taken, when no pipe can be had or
    // the descriptors cannot splice; the bytes taken and not given after a
    // failed write are dropped. Both descriptors are non-blocking while a
    // splice runs on them (every step here waits with poll); a descriptor
    // that was blocking blocks again when the last splice on it ends.
    //
    // With `ready`, a hold made for this descriptor and `to`, the bytes pass
    // through the pipe the hold keeps from one splice to the next, instead
    // of one made and closed for this splice alone.
    class SpliceReady;
    SpliceResult SpliceTo(NetDescriptor& to, size_t n, SpliceReady* ready = nullptr);

    // Keeps two descriptors set up for splices between them while it lives,
    // so that each SpliceTo in between spends no calls on the set-up and on
    // giving it back: both are non-blocking (each gets its blocking mode
    // back when the last splice or hold on it ends, if it is still open) and
    // SIGPIPE is held back on the thread that made it, which must also be
    // the one that ends it. Every other step waits with poll whatever the
    // mode, so nothing else changes meanwhile.
    //
    // A SpliceTo given the hold keeps its pipe for the next one: records that
    // follow each other spend no calls on making, sizing and closing one. An
    // empty pipe holds no pages, but its size counts against the user's pipe
    // limit while it is open, so it is kept only while splices keep coming
    // (see ReleasePipeWhenIdle) and is closed after any splice that did not
    // end cleanly, so that no stray bytes stay in it.
    class SpliceReady {
    public:
        SpliceReady(NetDescriptor& from, NetDescriptor& to);
        ~SpliceReady();
        SpliceReady(const SpliceReady&) = delete;
        SpliceReady& operator=(const SpliceReady&) = delete;

        // Whether the hold keeps a pipe now.
        bool HoldsPipe() const { return pipe_[0] >= 0; }
        // Waits at most idleMs for bytes to read from `from` (Close of it
        // ends the wait at once); when none come, closes the kept pipe, so
        // that an idle pair holds none. Nothing is read.
        void ReleasePipeWhenIdle(int idleMs);

    private:
        friend class NetDescriptor;
        // The kept pipe, made (and sized) when there is none; false when no
        // pipe can be had.
        bool OpenPipe();
        void ClosePipe();

        NetDescriptor& from_;
        NetDescriptor& to_;
        bool fromHeld_ = false;
        bool toHeld_ = false;
        int pipe_[2] = {-1, -1};
    };

private:
    // Holds the descriptor open for one step; fd is -1 when it is closed.
    class Use {
    public:
        explicit Use(NetDescriptor& d);
        ~Use();
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;
        int fd;

    private:
        NetDescriptor& owner_;
    };
    // Waits until fd is ready for `events`, at most `timeoutMs` when it is
    // not negative: 0, kIoClosed, or kIoFailed (ETIMEDOUT past the time).
    long Wait(int fd, short events, int timeoutMs = -1);
    // Sleeps ms milliseconds unless Close runs: 0, or kIoClosed.
    long Pause(int ms);
    // Counts a splice running on fd, the held descriptor (both relay
    // directions may splice on one socket at once, and a SpliceReady holds
    // it between splices): the first makes it non-blocking, the last gives
    // back the blocking mode it took away. The Locked forms run under mutex_.
    void SpliceBegin(int fd);
    void SpliceEnd();
    void SpliceBeginLocked(int fd);
    void SpliceEndLocked();
    // SpliceTo's bytes through the hold's pipe, or one of its own.
    SpliceResult SpliceThrough(NetDescriptor& to, size_t n, SpliceReady* ready);
    // SpliceBegin on the held descriptor; false when there is none.
    bool HoldSpliceMode();
    class Splicing {
    public:
        Splicing(NetDescriptor& d, int fd);
        ~Splicing();
        Splicing(const Splicing&) = delete;
        Splicing& operator=(const Splicing&) = delete;

    private:
        NetDescriptor& owner_;
    };
    static bool OutOfResources(int err);

    mutable std::mutex mutex_;
    int fd_ = -1;
    int deferredFd_ = -1;  // closed by the last step still using it
    int users_ = 0;
    bool closing_ = false;
    int wakeFd_ = -1;                    // eventfd, readable once Close ran
    int splices_ = 0;                    // SpliceTo calls using the descriptor
    int nonBlockingFd_ = -1;             // the descriptor the first made non-blocking
    std::atomic<bool> shortage_{false};  // Accept is waiting out a shortage
};

}  // namespace jexnet
