// JexModemAPI's receiver and heartbeat writer threads.
#include <memory>
#include <new>
#include <utility>

#include "jexlink/core/JexNetMsg.h"
#include "jexlink/core/JexTrace.h"
#include "jexlink/modem/JexModemAPI.h"
#include "jexlink/modem/JexModemAPIItems.h"

using jex_modem_api::Field;
using jex_modem_api::kFile;
using jex_modem_api::kText;
using jex_modem_api::Line;

int JexModemAPI::commbox_listener_task_jacket(JexThread* /*thread*/, void* self) {
    JexTrace trace(kFile, "commbox_listener_task_jacket()", __LINE__);
    static_cast<JexModemAPI*>(self)->commbox_listener_task();
    return 0;
}

int JexModemAPI::heartbeat_writer_task_jacket(JexThread* /*thread*/, void* self) {
    JexTrace trace(kFile, "heartbeat_writer_task_jacket()", __LINE__);
    static_cast<JexModemAPI*>(self)->heartbeat_writer_task();
    return 0;
}

void JexModemAPI::WakeBoth() {
    read_semaphore.Post();
    beat_semaphore.Post();
}

void JexModemAPI::BreakLink(std::atomic<int>& cause) {
    cause = 1;
    link_broken = 1;
    WakeBoth();
}

int JexModemAPI::commbox_listener_task() {
    JexTrace trace(kFile, "commbox_listener_task()", __LINE__);
    const long long silenceLimitMs = 3LL * heartbeatMs;
    const int pollMs = PollMs();
    long long idleMs = 0;
    JexTp2Frame frame;
    JexBuffer wire;
    JexNetMsg message;
    const bool noEcho = (TestFlags() & kTestNoEcho) != 0;
    if (noEcho) std::fputs("!!! Warning: API Test Mode:  Heartbeat Echo Disabled\n", stderr);

    while (!stop_threads) {
        Line(kText, "commbox_listener_task: api_combox->GetMsg(%d)\n", 3 * heartbeat_interval);
        const int result = api_combox->GetMsgWithin(wire, pollMs);
        if (result == JexIpc::TIMEOUT) {
            idleMs += pollMs;
            if (idleMs >= silenceLimitMs) {
                Line(kText, "commbox_listener_task: TIMEOUT (heartbeat stops)\n");
                BreakLink(heartbeat_stopped);
                break;
            }
            continue;
        }
        if (result != 0) {
            Line(kText, "commbox_listener_task: api_combox->GetMsg() error %d\n", result);
            BreakLink(ipc_read_error);
            break;
        }
        idleMs = 0;
        frame = wire;
        if (frame.Code() != 0) {
            ++bad_frame_count;
            Line(kText, "commbox_listener_task: read a bad frame, count=%d\n",
                 bad_frame_count.load());
            continue;
        }
        const int count = ++frame_count;
        Line(kText, "commbox_listener_task: read a data frame, count=%d\n", count);
        jex_modem_api::Dump(kTraceReceived, "\xABr\xBB read a data frame:\n", frame);

        if (frame.FrameCode() == JexTp2Frame::kDT && !jex_modem_api::RawData(frame.UserData())) {
            message.Decode(frame.UserData());
            if (message.Corrupt()) {
                ++bad_frame_count;
                Line(kText, "commbox_listener_task: bad NetMsg field, count=%d\n",
                     bad_frame_count.load());
                continue;
            }
            if (message.Type() == 'H') {
                if (gender != 1) {
                    jex_modem_api::Dump(kTraceHeartbeat, "\xABh\xBB Heartbeat echoed from Client\n",
                                        frame);
                    continue;
                }
                ++heartbeat_count;
                if (noEcho) continue;
                frame.SetAttr(JexTp2Frame::DST_REF, dst_ref);
                frame.SetAttr(JexTp2Frame::TPDU_NR, jex_modem_api::NextEcho());
                if (!SendFrame(frame)) {
                    Line(kText, "commbox_listener_task: daemon_combox->PutMsg() error %d\n",
                         daemon_combox ? daemon_combox->Code() : -1);
                    BreakLink(ipc_write_error);
                    break;
                }
                if (TraceFlags() & kTraceHeartbeat) {
                    std::fprintf(stderr, "\xABh\xBB Heartbeat echoed to server, count=%d\n",
                                 heartbeat_count.load());
                    frame.Dump(stderr, 0);
                }
                continue;
            }
        } else if (frame.FrameCode() == JexTp2Frame::kDR && !disconnecting) {
            // The far side hangs up: answer with a DC and end.
            dr_reason = Field(frame, JexTp2Frame::REASON);
            dr_ext_reason = Field(frame, JexTp2Frame::EXT_REASON);
            dr_received = 1;
            frame.SetFrameCode(JexTp2Frame::kDC);
            frame.SetAttr(JexTp2Frame::SRC_REF, src_ref);
            frame.SetAttr(JexTp2Frame::DST_REF, dst_ref);
            const bool sent = SendFrame(frame);
            Line(kText, "commbox_listener_task: read a DR, send a DC back !!\n");
            if (!sent) {
                Line(kText, "commbox_listener_task: send DC Ipc error %d\n",
                     daemon_combox ? daemon_combox->Code() : -1);
                ipc_write_error = 1;
            }
            link_broken = 1;
            WakeBoth();
            break;
        }

        // The bytes move to the queue; the next read refills the buffer.
        std::unique_ptr<JexBuffer> queued(new (std::nothrow) JexBuffer());
        if (queued) queued->Swap(wire);
        if (!queued || !AppendFrame(std::move(queued))) {
            Line(kText, "commbox_listener_task: memory alloc() error\n");
            BreakLink(memory_error);
            break;
        }
        read_semaphore.Post();
        if (count % receiver_yield == 0) JexSleep();
    }
    Line(kText, "commbox_listener_task: EXIT !!\n");
    return 0;
}

int JexModemAPI::heartbeat_writer_task() {
    JexTrace trace(kFile, "heartbeat_writer_task()", __LINE__);
    if (TestFlags() & kTestNoGeneration) {
        std::fputs("!!! Warning: API Test Mode:  Heartbeat Generation Disabled\n", stderr);
        heartbeatEnded = 1;
        return 0;
    }
    JexTp2Frame frame;
    frame.SetFrameCode(JexTp2Frame::kDT);
    frame.SetAttr(JexTp2Frame::DST_REF, dst_ref);
    JexNetMsg message('H');
    while (!stop_threads) {
        Line(kText, "heartbeat_writer_task: beat_semaphore.TimedWait(%d)\n", heartbeat_interval);
        int result = 0;
        do {
            beat_semaphore.Lock();
            result = beat_semaphore.TimedWait(heartbeatMs / 1000.0);
            beat_semaphore.Unlock();
        } while (result == 0 && !link_broken && !stop_threads);
        if (result != 1 || stop_threads) {
            Line(kText, "heartbeat_writer_task: exit signal received\n");
            break;
        }
        message['h'].SetLong(heartbeat_count);
        if (message.Encode(frame.UserData()) != JexNetMsg::kEncoded) break;
        frame.SetAttr(JexTp2Frame::TPDU_NR, jex_modem_api::NextBeat());
        const JexBuffer wire = frame.Encode();
        const int count = ++heartbeat_count;
        const int sent = daemon_combox->PutMsg(wire, 0);
        if (sent != 0) {
            ipc_write_error = 1;
            read_semaphore.Post();
            Line(kText, "heartbeat_writer_task: send Heartbeat Ipc error - %d\n", sent);
            break;
        }
        Line(kText, "heartbeat_writer_task: Heartbeat sent to Client, count=%d\n", count);
        jex_modem_api::Dump(kTraceHeartbeat, "\xABh\xBB Heartbeat sent to Client:\n", frame);
        JexSleep();
    }
    Line(kText, "heartbeat_writer_task: EXIT !!\n");
    heartbeatEnded = 1;
    return 0;
}
