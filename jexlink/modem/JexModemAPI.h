// JexModemAPI: one transport connection over a modem line, through the local modem daemon.
#pragma once

#include <atomic>
#include <deque>
#include <memory>
#include <span>

#include "jexlink/core/JexAttribute.h"
#include "jexlink/core/JexBuffer.h"
#include "jexlink/core/JexNetMsg.h"
#include "jexlink/core/JexString.h"
#include "jexlink/core/JexThread.h"
#include "jexlink/modem/JexIpc.h"
#include "jexlink/modem/JexModem.h"
#include "jexlink/modem/JexModemLineDb.h"
#include "jexlink/modem/JexModemServDb.h"
#include "jexlink/modem/JexSemaphore.h"
#include "jexlink/modem/JexTp2Frame.h"
#include "jexlink/transport/JexNetAddr.h"

// The application's end of a modem connection. It never touches a modem:
// it exchanges transport-class-2 frames with the modem daemon through two
// commboxes, its own listen box (api_combox) and the daemon's box
// (daemon_combox), as jexlink/modem/README.md describes. Connect originates
// a call on a line of the line database; Listen answers one as a server
// announced in the server database; then GetMsg, PutMsg and Disconnect
// move data and end the connection; the destructor stops the threads and
// frees everything.
//
// Errors: every failure is recorded (ExcSet, argument 0 the location label)
// and its code returned; the suppress flag is set, so nothing is raised. A
// call that succeeds leaves the code at 0.
//
// Threads: the application thread owns the object and makes every call;
// behind a connection run a receiver (both ends), the only reader of
// api_combox after Connect or Listen, and on the answering end a heartbeat
// writer. They report through atomic flags and two semaphores; the receive
// queue is guarded by queue_lock. The object owns both threads and joins
// them in its destructor, which returns within one poll period (3 s) of the
// receiver after the disconnect.
//
// Waits: Connect waits at most Modem.CRResponseWait seconds per line,
// Disconnect Modem.DRResponseWait seconds per frame-less wait, GetMsg as
// its caller says; Listen and an untimed GetMsg wait without limit (the
// receiver ends an untimed GetMsg after three heartbeat intervals of
// silence).
class JexModemAPI : public JexModem {
public:
    // Attributes.
    static constexpr int kGender = 8;
    static constexpr int kCna = 9;
    static constexpr int kDna = 11;
    static constexpr int kSna = 13;
    static constexpr int kPriority = 18;

    // Bits of JEXMODEMAPI_TRACE and JEXMODEMAPI_TEST.
    static constexpr int kTraceHeartbeat = 1;    // H
    static constexpr int kTraceReceived = 2;     // R
    static constexpr int kTraceSent = 4;         // S
    static constexpr int kTraceText = 8;         // T
    static constexpr int kTestNoGeneration = 1;  // G
    static constexpr int kTestNoEcho = 2;        // E

    // The receiver's poll period, in seconds.
    static constexpr int kPollSeconds = 3;

    // The receiver's poll period in milliseconds (kPollSeconds unless a
    // test set a shorter one, so that a destructor need not wait 3 s);
    // SetPollMs returns the period it replaced.
    static int PollMs();
    static int SetPollMs(int ms);
    // The clock of Connect's response wait, in whole seconds (the monotonic
    // clock unless a test put a clock of its own in place, so as to reach a
    // stage with no time left without waiting it out); null puts the
    // monotonic clock back. Returns the clock it replaced.
    using SecondsClock = long long (*)();
    static SecondsClock SetClock(SecondsClock clock);
    // A heartbeat interval in milliseconds for the connections made after
    // it, in place of Modem.HeartbeatInterval (0, the default: the
    // setting), so that tests of the heartbeats need not wait seconds for
    // them; returns the value it replaced.
    static int SetHeartbeatMs(int ms);
    static long long Now();

    JexModemAPI();
    ~JexModemAPI() override;

    int GetMsg(JexBuffer& out, int flags, int seconds) override;
    int PutMsg(JexBuffer& message, int flags) override;
    // The attribute rows (JexAttribute.h) its GetAttr and SetAttr check against.
    static std::span<const JexAttrRow> AttributeRows();
    int GetAttr(int attribute, JexString& out) override;
    int GetAttr(int attribute, int& out) override;
    int SetAttr(int attribute, const char* value) override;
    int SetAttr(int attribute, int value) override;
    int SetAttr(int attribute, const JexString& value);
    int Connect(const char* address, int speed) override;
    int Listen(const char* name) override;
    int Disconnect() override;

    // Maps the reason pair of a disconnect request to a code; records it.
    int check_reason(int reason, int extReason);
    // Why the link broke (0: it did not); records it.
    int check_failure();

    // The switches, as JEXMODEMAPI_TRACE and JEXMODEMAPI_TEST give them
    // ("+"/"-" set the sense for the letters that follow, "*" all).
    static int ParseTraceSwitch(const char* value);
    static int ParseTestSwitch(const char* value);
    // Reads both variables again (the library reads them once at load).
    static void ReadSwitches();
    static int TraceFlags();
    static int TestFlags();

    // A new connection as the modem endpoint's client: the factory the
    // library's set-up installs (JexSeams::SetModemClient).
    static std::unique_ptr<JexModemClient> NewClient();

    // The process-wide numbers of the next echoed heartbeat (101 to 200)
    // and of the next heartbeat sent (1 to 100); tests start them near
    // their ends to see them wrap.
    static void SetHeartbeatNumbers(int echo, int beat);

    // What tests and the benchmark look at.
    int Gender() const { return gender.load(); }
    int SrcRef() const { return src_ref.load(); }
    int DstRef() const { return dst_ref.load(); }
    int HeartbeatCount() const { return heartbeat_count.load(); }
    int BadFrameCount() const { return bad_frame_count.load(); }
    int CrResponseWait() const { return cr_response_wait; }
    int DrResponseWait() const { return dr_response_wait; }
    int ReceiverYield() const { return receiver_yield; }
    int HeartbeatInterval() const { return heartbeat_interval; }
    JexIpc* ApiCombox() const { return api_combox.get(); }
    const JexString& Application() const { return application; }

private:
    enum class Take { kNone, kBad, kFrame };

    static int commbox_listener_task_jacket(JexThread* thread, void* self);
    static int heartbeat_writer_task_jacket(JexThread* thread, void* self);
    int commbox_listener_task();
    int heartbeat_writer_task();

    // Connect's steps.
    enum class Stage { kSkipLine, kFailed, kDone };
    Stage AttemptLine(const JexString& destination, const JexString& lineType,
                      JexFieldedString& skipList, JexTp2Frame& frame, int& remaining);
    // The steps of AttemptLine: the CR frame for the line's daemon (into a
    // fresh frame); the
    // second confirmation (the remote daemon's, kDone when it came within
    // `remaining`, which it reduces); the third (the server's).
    void ConnectionRequest(JexTp2Frame& request);
    Stage AwaitRemoteDaemon(JexBuffer& wire, JexTp2Frame& frame, int& remaining);
    Stage AwaitServer(JexBuffer& wire, JexTp2Frame& frame, int remaining);
    int ReadConfirmation(JexBuffer& wire, int remaining);
    void Complete(JexTp2Frame& cc);

    // Listen's check of one request: false when it was skipped or refused.
    bool AnswerRequest(const JexBuffer& wire, int& result);

    // Starts the receiver (and the heartbeat writer) under queue_lock.
    void StartThreads(bool withHeartbeat);
    // Wakes a waiter in GetMsg and the heartbeat writer.
    void WakeBoth();
    // Ends the receiver on a failure flag.
    void BreakLink(std::atomic<int>& cause);
    // Under queue_lock: whether a frame is queued; takes and decodes it.
    Take TakeFrame(JexTp2Frame& frame);
    bool QueueEmpty();
    // Waits on read_semaphore (queue_lock held on entry, released); 1 on
    // time-out.
    int WaitForQueue(bool timed, int seconds);
    // Queues a received frame's bytes: false when there is no memory for it.
    bool AppendFrame(std::unique_ptr<JexBuffer> wire);
    // Records a code with its location label (and cause).
    int Fail(int code, const char* label, JexException* cause = nullptr);
    // 0, or the failure of reading or setting `attribute` as a `kind`.
    int AttrCheck(int attribute, JexAttrKind kind, JexAttrAccess access, const char* label);
    // A call that succeeded: the code goes back to 0.
    int Succeed();
    bool SendFrame(JexTp2Frame& frame);

    std::atomic<int> gender{0};
    JexNetAddr dna{'/'};
    JexNetAddr cna{'/'};
    JexNetAddr sna{'/'};
    JexString application;
    std::unique_ptr<JexIpc> daemon_combox;
    std::unique_ptr<JexIpc> api_combox;
    std::unique_ptr<JexThread> listener_thread;
    JexSemaphore read_semaphore{0};
    JexMutex queue_lock;
    // The received frames' bytes, oldest first.
    std::deque<std::unique_ptr<JexBuffer>> receive_queue;
    std::atomic<int> bad_frame_count{0};
    std::atomic<int> heartbeat_count{0};
    std::atomic<int> frame_count{0};
    std::atomic<int> src_ref{0};
    std::atomic<int> dst_ref{0};
    int tp_class = 2;
    int tp_options = 1;
    int tp_priority = 128;
    int tp_version = 20;
    int tp_add_option = 0;
    int tp_tpdu_size = 13;
    int next_tpdu_nr = 1;
    std::atomic<int> dr_reason{0};
    std::atomic<int> dr_ext_reason{0};
    std::atomic<int> dr_received{0};
    std::atomic<int> disconnecting{0};
    std::atomic<int> stop_threads{0};
    std::unique_ptr<JexModemLineDb> line_db;
    int requested_speed = 0;
    int cr_response_wait = 90;
    int dr_response_wait = 30;
    int receiver_yield = 3;
    int heartbeat_interval = 60;
    int heartbeatMs = 60000;  // the interval the threads keep
    std::unique_ptr<JexModemServDb> server_db;
    std::unique_ptr<JexThread> heartbeat_thread;
    std::atomic<int> heartbeatEnded{0};
    JexSemaphore beat_semaphore{0};
    std::atomic<int> link_broken{0};
    std::atomic<int> heartbeat_stopped{0};
    std::atomic<int> ipc_read_error{0};
    std::atomic<int> ipc_write_error{0};
    std::atomic<int> memory_error{0};
};
