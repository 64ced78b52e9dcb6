// JexModemAPI: the connection object, its switches, reason mapping, data transfer and teardown.
#include "jexlink/modem/JexModemAPI.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "jexlink/core/JexAttribute.h"
#include "jexlink/core/JexConfig.h"
#include "jexlink/core/JexTrace.h"
#include "jexlink/modem/JexModemAPIItems.h"

using jex_modem_api::Field;
using jex_modem_api::kFile;
using jex_modem_api::kText;
using jex_modem_api::Line;

namespace {

std::atomic<int> g_trace_flags{0};
std::atomic<int> g_testFlags{0};

// Both switches are read once when the library is loaded.
[[maybe_unused]] const bool g_switchesRead = [] {
    JexModemAPI::ReadSwitches();
    return true;
}();

int ParseSwitch(const char* value, const char* letters) {
    int flags = 0;
    bool on = true;
    const int all = (1 << static_cast<int>(std::char_traits<char>::length(letters))) - 1;
    for (const char* p = value; p && *p; ++p) {
        int bits = 0;
        if (*p == '+') {
            on = true;
        } else if (*p == '-') {
            on = false;
        } else if (*p == '*') {
            bits = all;
        } else {
            for (int i = 0; letters[i]; ++i)
                if ((*p | 0x20) == letters[i]) bits = 1 << i;
        }
        flags = on ? (flags | bits) : (flags & ~bits);
    }
    return flags;
}

// A Modem.* setting; below 1 counts as 1.
int Setting(JexConfig& config, const char* name, int fallback) {
    const int value = config.Value(name, fallback);
    return value < 1 ? 1 : value;
}

struct ReasonRow {
    int reason;
    int extReason;
    int signExtended;  // the extended reason as a signed byte, or 0
    const char* trace;
    int code;
    const char* argument;
};

constexpr ReasonRow kReasons[] = {
    {1, 2, 0, "Local daemon link full\n", JexModem::DAEMON_LINK_FULL, "Local daemon"},
    {1, 4, 0, "Remote daemon link full\n", JexModem::DAEMON_LINK_FULL, "Remote daemon"},
    {1, 8, 0, "Server link full\n", JexModem::SERVER_LINK_FULL, "Server"},
    {2, 4, 0, "Unable to connect to or run Server\n", JexModem::SERVER_NOT_CONNECTED, ""},
    {3, 2, 0, "Daemon not connected to the desired remote address\n", JexModem::DISCONNECTED,
     "Daemon not connected to remote"},
    {3, 4, 0, "Server is not defined or found\n", JexModem::SERVER_NOT_DEFINED, ""},
    {3, 8, 0, "Invoked server is not the right server program\n", JexModem::SERVER_NOT_RIGHT, ""},
    {128, 1, 0, "Disconnect initiated by the Client\n", JexModem::CLIENT_DISCONNECT, "Client"},
    {128, 2, 0, "Disconnect initiated by client daemon\n", JexModem::DAEMON_DISCONNECT,
     "Client daemon"},
    {128, 4, 0, "Disconnect initiated by server daemon\n", JexModem::DAEMON_DISCONNECT,
     "Server daemon"},
    {128, 8, 0, "Disconnect initiated by the Server\n", JexModem::SERVER_DISCONNECT, "Server"},
    {128, 0x82, 0, "Local daemon forced disconnect\n", JexModem::DAEMON_DISCONNECT,
     "Client daemon"},
    {128, 0x84, 0, "Remote daemon forced disconnect\n", JexModem::DAEMON_DISCONNECT,
     "Server daemon"},
    {128, 0xA2, -94, "Application no longer responding\n", JexModem::APPL_NO_RESPOND,
     "Local Daemon"},
    {128, 0xA4, -92, "Application no longer responding\n", JexModem::APPL_NO_RESPOND,
     "Remote Daemon"},
    {128, 0xC2, -62, "Line error\n", JexModem::LINE_FAILURE, "Daemon"},
    {130, 2, 0, "Option not supported by client daemon\n", JexModem::OPTION_NOT_SUPPORTED,
     "Client daemon"},
    {130, 4, 0, "Option not supported by server daemon\n", JexModem::OPTION_NOT_SUPPORTED,
     "Server daemon"},
    {132, 2, 0, "Reference ID error reported by client daemon\n", JexModem::REFERENCE_ID_ERROR,
     "Client daemon"},
    {132, 4, 0, "Reference ID error reported by server daemon\n", JexModem::REFERENCE_ID_ERROR,
     "Server daemon"},
    {133, 0x12, 0, "Link state error reported by client daemon\n", JexModem::LINK_STATE_ERROR,
     "Client daemon"},
    {133, 0x14, 0, "Link state error reported by server daemon\n", JexModem::LINK_STATE_ERROR,
     "Server daemon"},
    {133, 0x21, 0, "Protocol error reported by the Client\n", JexModem::PROTOCOL_ERROR, "Client"},
    {133, 0x22, 0, "Protocol error reported by client daemon\n", JexModem::PROTOCOL_ERROR,
     "Client daemon"},
    {133, 0x24, 0, "Protocol error reported by server daemon\n", JexModem::PROTOCOL_ERROR,
     "Server daemon"},
    {133, 0x28, 0, "Protocol error reporteded by the Server\n", JexModem::PROTOCOL_ERROR, "Server"},
    {136, 0x12, 0, "Operation not allowed by local daemon\n", JexModem::OPERATION_NOT_ALLOWED,
     "Local daemon"},
    {136, 0x14, 0, "Operation not allowed by remote daemon\n", JexModem::OPERATION_NOT_ALLOWED,
     "Remote daemon"},
    {136, 0xB2, -78, "Bad modem dialer script\n", JexModem::SCRIPT_ERROR, ""},
    {136, 0x32, 0, "Modem is not responding\n", JexModem::DIAL_ERROR, ""},
    {136, 0x42, 0, "Call timeout or failure\n", JexModem::CALL_ERROR, "Call timeout or failure"},
    {136, 0x52, 0, "Remote modem does not answer\n", JexModem::NO_ANSWER, ""},
    {136, 0x62, 0, "Remote modem is busy\n", JexModem::LINE_BUSY, ""},
    {136, 0x72, 0, "Callback is not supported yet\n", JexModem::CALL_BACK_ERROR, ""},
    {138, 2, 0, "Bad frame reported by local daemon\n", JexModem::CORRUPT_DATA_FRAME,
     "Local daemon"},
    {138, 4, 0, "Bad frame reporteded by remote daemon\n", JexModem::CORRUPT_DATA_FRAME,
     "Remote daemon"},
    {138, 8, 0, "Bad frame reported by Server\n", JexModem::CORRUPT_DATA_FRAME, "Server"},
};

std::atomic<int> g_echoNumber{101};
std::atomic<int> g_beatNumber{1};

// Uses the counter's value and steps it, back to `low` past `high`.
int Step(std::atomic<int>& counter, int low, int high) {
    int value = counter.load();
    for (;;) {
        const int next = value >= high || value < low ? low : value + 1;
        const int used = value < low || value > high ? low : value;
        if (counter.compare_exchange_weak(value, next)) return used;
    }
}

}  // namespace

namespace jex_modem_api {
int NextEcho() { return Step(g_echoNumber, 101, 200); }
int NextBeat() { return Step(g_beatNumber, 1, 100); }
}  // namespace jex_modem_api

int JexModemAPI::ParseTraceSwitch(const char* value) { return ParseSwitch(value, "hrst"); }

int JexModemAPI::ParseTestSwitch(const char* value) { return ParseSwitch(value, "ge"); }

void JexModemAPI::ReadSwitches() {
    g_trace_flags = ParseTraceSwitch(std::getenv("JEXMODEMAPI_TRACE"));
    g_testFlags = ParseTestSwitch(std::getenv("JEXMODEMAPI_TEST"));
}

int JexModemAPI::TraceFlags() { return g_trace_flags.load(std::memory_order_relaxed); }

int JexModemAPI::TestFlags() { return g_testFlags.load(std::memory_order_relaxed); }

std::unique_ptr<JexModemClient> JexModemAPI::NewClient() { return std::make_unique<JexModemAPI>(); }

namespace {

std::atomic<int>& PollPeriod() {
    static std::atomic<int> ms{JexModemAPI::kPollSeconds * 1000};
    return ms;
}

long long MonotonicSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::atomic<JexModemAPI::SecondsClock>& ConnectClock() {
    static std::atomic<JexModemAPI::SecondsClock> clock{&MonotonicSeconds};
    return clock;
}

std::atomic<int>& HeartbeatOverride() {
    static std::atomic<int> ms{0};
    return ms;
}

}  // namespace

int JexModemAPI::SetHeartbeatMs(int ms) { return HeartbeatOverride().exchange(ms); }

int JexModemAPI::PollMs() { return PollPeriod().load(); }

int JexModemAPI::SetPollMs(int ms) { return PollPeriod().exchange(std::max(ms, 1)); }

JexModemAPI::SecondsClock JexModemAPI::SetClock(SecondsClock clock) {
    return ConnectClock().exchange(clock ? clock : &MonotonicSeconds);
}

long long JexModemAPI::Now() { return ConnectClock().load()(); }

void JexModemAPI::SetHeartbeatNumbers(int echo, int beat) {
    g_echoNumber = echo;
    g_beatNumber = beat;
}

JexModemAPI::JexModemAPI() : JexModem("JexModemAPI") {
    api_combox = std::make_unique<JexIpc>();
    if (api_combox->Code() != 0) {
        Fail(API_COMMBOX_ERROR, "new JexIpc()", api_combox.get());
        return;
    }
    if (TraceFlags() & kText) Line(kText, "api_combox->Name() = %s\n", api_combox->Name().Text());
    dna.Parse("m/");
    cna.Parse("m/");
    sna.Parse("m/");
    JexConfig config;
    receiver_yield = Setting(config, "Modem.ReceiverYield", 3);
    heartbeat_interval = Setting(config, "Modem.HeartbeatInterval", 60);
    const int overrideMs = HeartbeatOverride().load();
    heartbeatMs = overrideMs > 0
                      ? overrideMs
                      : static_cast<int>(std::min<long long>(1000LL * heartbeat_interval, INT_MAX));
    cr_response_wait = Setting(config, "Modem.CRResponseWait", 90);
    dr_response_wait = Setting(config, "Modem.DRResponseWait", 30);
}

JexModemAPI::~JexModemAPI() {
    Line(kText, "JexModemAPI::destructor()\n");
    if (!disconnecting) Disconnect();
    if (gender == 2 && heartbeat_thread && !heartbeatEnded) {
        Line(kText, "destructor(): signal heartbeat_writer_task to exit\n");
        link_broken = 1;
        beat_semaphore.Post();
        JexSleep();
    }
    stop_threads = 1;
    // Each join waits for the thread to see stop_threads (the receiver
    // within one poll period) or link_broken.
    listener_thread.reset();
    heartbeat_thread.reset();
    if (daemon_combox) {
        Line(kText, "delete daemon_combox\n");
        daemon_combox.reset();
    }
    if (api_combox) {
        Line(kText, "delete api_combox\n");
        api_combox.reset();
    }
    if (line_db) {
        Line(kText, "deleted VLDB\n");
        line_db.reset();
    }
    if (server_db) {
        Line(kText, "deleted VSDB\n");
        server_db.reset();
    }
}

int JexModemAPI::Fail(int code, const char* label, JexException* cause) {
    ExcSet(code, JexExcArgs(label), cause);
    Raise();
    return code;
}

int JexModemAPI::Succeed() {
    if (Code() != OK) ExcSet(OK);
    return OK;
}

bool JexModemAPI::SendFrame(JexTp2Frame& frame) {
    const JexBuffer wire = frame.Encode();
    if (frame.Code() != 0 || !daemon_combox) return false;
    return daemon_combox->PutMsg(wire, 0) == 0;
}

int JexModemAPI::check_reason(int reason, int extReason) {
    for (const ReasonRow& row : kReasons) {
        if (row.reason != reason) continue;
        if (row.extReason != extReason && (row.signExtended == 0 || row.signExtended != extReason))
            continue;
        Line(kText, "%s", row.trace);
        ExcSet(row.code, JexExcArgs(row.argument));
        return row.code;
    }
    std::fprintf(stderr, "Unknown {reason,ext_reason} = {%d,%d}\n", reason, extReason);
    ExcSet(UNKNOWN_REASON, JexExcArgs(""));
    return UNKNOWN_REASON;
}

int JexModemAPI::check_failure() {
    if (dr_received) {
        const int mapped = check_reason(dr_reason, dr_ext_reason);
        const int code =
            mapped == CLIENT_DISCONNECT || mapped == SERVER_DISCONNECT ? TERMINATED : LINK_ABORT;
        return Fail(code, "DR received", this);
    }
    if (heartbeat_stopped) return Fail(LINK_FAILURE, "Heartbeat stopped");
    if (ipc_read_error) return Fail(IPC_READ_ERROR, "");
    if (ipc_write_error) return Fail(IPC_WRITE_ERROR, "");
    if (memory_error) return Fail(MEMORY_ERROR, "");
    return OK;
}

bool JexModemAPI::QueueEmpty() {
    JexMutexLock lock(queue_lock);
    return receive_queue.empty();
}

bool JexModemAPI::AppendFrame(std::unique_ptr<JexBuffer> wire) {
    JexMutexLock lock(queue_lock);
    try {
        receive_queue.push_back(std::move(wire));
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

JexModemAPI::Take JexModemAPI::TakeFrame(JexTp2Frame& frame) {
    std::unique_ptr<JexBuffer> wire;
    {
        JexMutexLock lock(queue_lock);
        if (receive_queue.empty()) return Take::kNone;
        wire = std::move(receive_queue.front());
        receive_queue.pop_front();
    }
    frame = *wire;
    return frame.Code() == 0 ? Take::kFrame : Take::kBad;
}

int JexModemAPI::WaitForQueue(bool timed, int seconds) {
    // queue_lock is held: the semaphore's lock is taken before it is
    // released, and kept through the wait.
    read_semaphore.Lock();
    queue_lock.Unlock();
    int result = 0;
    if (timed)
        result = read_semaphore.TimedWait(static_cast<double>(seconds));
    else
        read_semaphore.Wait();
    read_semaphore.Unlock();
    return result;
}

int JexModemAPI::GetMsg(JexBuffer& out, int flags, int seconds) {
    JexTrace trace(kFile, "GetMsg()", __LINE__);
    if (gender == 0) return Fail(NO_CONNECTION, "Connection not built yet");
    JexTp2Frame frame;
    JexNetMsg message;
    for (;;) {
        queue_lock.Lock();
        if (receive_queue.empty()) {
            const int failure = check_failure();
            if (failure != 0) {
                queue_lock.Unlock();
                return failure;
            }
            if (flags & 1) {
                Line(kText, "main_task.GetMsg(): read_semaphore.TimedWait(%d)\n", seconds);
                if (WaitForQueue(true, seconds) != 0) return Fail(TIMEOUT, "");
            } else {
                Line(kText, "main_task.GetMsg(): read_semaphore.Wait(0)\n");
                WaitForQueue(false, 0);
            }
        } else {
            queue_lock.Unlock();
        }
        const Take took = TakeFrame(frame);
        if (took == Take::kNone) continue;
        if (took == Take::kBad) {
            Line(kText, "main_task.GetMsg(): got a bad frame from queue\n");
            continue;
        }
        if (frame.FrameCode() != JexTp2Frame::kDT) {
            Line(kText, "main_task.GetMsg(): got an unexp frame from queue (%d), ignore\n",
                 static_cast<signed char>(frame.FrameCode()));
            continue;
        }
        Line(kText, "main_task.GetMsg(): got a DT frame from queue\n");
        const JexBuffer& userData = frame.UserData();
        if (jex_modem_api::RawData(userData)) {
            if (userData.Length() > 1)
                out = JexBufferBase(userData.Data() + 1, userData.Length() - 1);
            else
                out.Free();
            return Succeed();
        }
        message.Decode(userData);
        if (message.Corrupt()) {
            Line(kText, "main_task.GetMsg(): NetMsg field corrupted\n");
            continue;
        }
        if (message.Type() != 'D') {
            Line(kText, "main_task.GetMsg(): NetMsg type unknown - %c\n", message.Type());
            continue;
        }
        out = message['D'];
        return Succeed();
    }
}

int JexModemAPI::PutMsg(JexBuffer& data, int /*flags*/) {
    JexTrace trace(kFile, "PutMsg()", __LINE__);
    if (gender == 0) return Fail(NO_CONNECTION, "Connection not built yet");
    const int failure = check_failure();
    if (failure != 0) return failure;
    // The data message's encoding around the data, so that the data is
    // copied once, into the frame's user data.
    const JexNetMsg message('D');
    JexBuffer head;
    JexBuffer tail;
    const int encoded = message.EncodeAround('D', data, head, tail);
    JexTp2Frame frame;
    frame.SetFrameCode(JexTp2Frame::kDT);
    bool framed = encoded == JexNetMsg::kEncoded;
    if (framed) {
        // Sized once and written whole: no storage is cleared or grown twice.
        const JexBufferBase* parts[] = {&head, &data, &tail};
        int total = 0;
        for (const JexBufferBase* part : parts) total += part->Length();
        JexBuffer& userData = frame.UserData();
        framed = userData.SetLengthForOverwrite(total);
        int at = 0;
        for (const JexBufferBase* part : parts) {
            if (!framed || part->Length() == 0) continue;
            std::memcpy(userData.Data() + at, part->Data(), static_cast<size_t>(part->Length()));
            at += part->Length();
        }
    }
    frame.SetAttr(JexTp2Frame::DST_REF, dst_ref);
    frame.SetAttr(JexTp2Frame::TPDU_NR, next_tpdu_nr);
    next_tpdu_nr = next_tpdu_nr >= 255 ? 1 : next_tpdu_nr + 1;
    // A message too large to frame is not sent: a write failure.
    const JexBuffer wire = frame.Encode();
    const int result =
        framed && frame.Code() == 0 ? daemon_combox->PutMsg(wire, 0) : JexIpc::SYSERR;
    Line(kText, "main_task.PutMsg(): send a data frame to daemon\n");
    if (result != 0) {
        Line(kText, "main_task.PutMsg(): daemon_combox->PutMsg() error %d\n", result);
        return Fail(IPC_WRITE_ERROR, "PutMsg()", daemon_combox.get());
    }
    return Succeed();
}

int JexModemAPI::Disconnect() {
    JexTrace trace(kFile, "Disconnect()", __LINE__);
    Line(kText, "JexModemAPI::Disconnect()\n");
    if (gender == 0) {
        if (Code() != OK) return OK;
        return Fail(NO_CONNECTION, "Connection not built yet");
    }
    if (line_db) {
        Line(kText, "deleted VLDB\n");
        line_db.reset();
    }
    if (server_db) {
        Line(kText, "deleted VSDB\n");
        server_db.reset();
    }
    if (dr_received) {
        Line(kText, "main_task.Disconnect(): already got a DR from remote, done\n");
        return Succeed();
    }
    const int failure = check_failure();
    if (failure != 0) return failure;
    disconnecting = 1;

    JexTp2Frame frame;
    frame.SetFrameCode(JexTp2Frame::kDR);
    frame.SetAttr(JexTp2Frame::SRC_REF, src_ref);
    frame.SetAttr(JexTp2Frame::DST_REF, dst_ref);
    frame.SetAttr(JexTp2Frame::REASON, 128);
    frame.SetAttr(JexTp2Frame::EXT_REASON, gender == 1 ? 1 : 8);
    Line(kText, "main_task.Disconnect(): send a DR to remote\n");
    const JexBuffer wire = frame.Encode();
    const int sent = daemon_combox->PutMsg(wire, 0);
    if (sent != 0) {
        Line(kText, "main_task.Disconnect(): send DR error - %d\n", sent);
        return Fail(IPC_WRITE_ERROR, "Disconnect()");
    }
    jex_modem_api::Dump(kTraceSent, "\xABs\xBB send DR to remote:\n", frame);

    for (;;) {
        queue_lock.Lock();
        if (receive_queue.empty()) {
            Line(kText, "main_task.Disconnect(): read_semaphore.TimeWait(%d)\n", dr_response_wait);
            if (WaitForQueue(true, dr_response_wait) != 0) {
                Line(kText, "main_task.Disconnect(): timeout waiting for DC\n");
                return Fail(TIMEOUT, "Wait for DC");
            }
            if (dr_received) {
                Line(kText, "main_task.Disconnect(): got a DR from remote, done\n");
                return Succeed();
            }
            const int broken = check_failure();
            if (broken != 0) return broken;
        } else {
            queue_lock.Unlock();
        }
        const Take took = TakeFrame(frame);
        if (took == Take::kNone) continue;
        if (took == Take::kBad) {
            Line(kText, "main_task.Disconnect(): bad frame from queue\n");
            continue;
        }
        if (frame.FrameCode() == JexTp2Frame::kDC) {
            Line(kText, "main_task.Disconnect(): got a DC from queue, done\n");
            dr_received = 1;
            return Succeed();
        }
        if (frame.FrameCode() == JexTp2Frame::kDR) {
            Line(kText, "main_task.Disconnect(): got a DR from queue, done\n");
            dr_received = 1;
            return Succeed();
        }
        Line(kText, "main_task.Disconnect(): got a non-DR/DC frame, ignore\n");
    }
}

namespace {

using K = JexAttrKind;
constexpr JexAttrRow kAttributes[] = {
    {JexModemAPI::kGender, "GENDER", K::kInt, true},
    {JexModemAPI::kCna, "CNA", K::kText, true},
    {JexModemAPI::kDna, "DNA", K::kText, true},
    {JexModemAPI::kSna, "SNA", K::kText, true},
    {JexModemAPI::kPriority, "PRIORITY", K::kInt, false},
};

}  // namespace

// Attributes. A failure is recorded too, so that the endpoint, which
// judges every call by the code, sees it.
int JexModemAPI::AttrCheck(int attribute, JexAttrKind kind, JexAttrAccess access,
                           const char* label) {
    static constexpr JexAttrCodes kCodes{BADATTR, ATTRNOTINT, ATTRNOTSTRING, ATTRREADONLY};
    const int code = JexAttrCheck(kAttributes, attribute, kind, access, kCodes);
    return code == OK ? OK : Fail(code, label);
}

std::span<const JexAttrRow> JexModemAPI::AttributeRows() { return kAttributes; }

int JexModemAPI::GetAttr(int attribute, int& out) {
    JexTrace trace(kFile, "GetAttr(i)", __LINE__);
    if (const int rc = AttrCheck(attribute, K::kInt, JexAttrAccess::kGet, "GetAttr(i)")) return rc;
    out = attribute == kGender ? gender.load() : tp_priority;
    return OK;
}

int JexModemAPI::GetAttr(int attribute, JexString& out) {
    JexTrace trace(kFile, "GetAttr(s)", __LINE__);
    if (const int rc = AttrCheck(attribute, K::kText, JexAttrAccess::kGet, "GetAttr(s)")) return rc;
    switch (attribute) {
        case kCna: cna.Format(out); break;
        case kDna: dna.Format(out); break;
        default: sna.Format(out); break;  // kSna
    }
    return OK;
}

int JexModemAPI::SetAttr(int attribute, int value) {
    JexTrace trace(kFile, "SetAttr(i)", __LINE__);
    // The gender is fixed by the side that opened the line.
    if (attribute == kGender) return Fail(FAILURE, "SetAttr(i)");
    if (const int rc = AttrCheck(attribute, K::kInt, JexAttrAccess::kSet, "SetAttr(i)")) return rc;
    if (value < 0 || value > 255) return Fail(BADATTRVALUE, "SetAttr(i)");
    tp_priority = value;
    return OK;
}

int JexModemAPI::SetAttr(int attribute, const char* /*value*/) {
    JexTrace trace(kFile, "SetAttr(c)", __LINE__);
    // No attribute is set as a text: the read-only ones say so first.
    return AttrCheck(attribute, K::kText, JexAttrAccess::kSetReadOnlyFirst, "SetAttr(c)");
}

int JexModemAPI::SetAttr(int attribute, const JexString& value) {
    return SetAttr(attribute, value.Text());
}
