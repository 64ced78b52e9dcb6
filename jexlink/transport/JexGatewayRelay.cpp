// Gateway relay between two connections, the gateway's transport handler, and the gateway listener.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "jexlink/core/JexTime.h"
#include "jexlink/transport/JexGateway.h"
#include "jexlink/transport/JexGatewayItems.h"

namespace {

// Storage a relay direction keeps between records: a record that needed
// more has its items freed once it is passed on, so an idle relay holds
// little whatever it carried.
constexpr int64_t kRelayKeptBytes = 16 * 1024;

// The most a relay direction reads and writes at once when it passes on a
// DATA record as it arrives and its links cannot move the bytes between
// them by themselves. Its buffer is freed after each record: an idle relay
// holds none.
constexpr int kRelayPiece = 128 * 1024;

// How long a relay direction keeps the pipe its DATA records pass through
// while it waits for the next record: records that keep coming reuse it, an
// idle direction gives it back (its size counts against the user's pipe
// limit while it is open).
constexpr int kRelayPipeIdleMs = 50;

int64_t HeldBytes(JexNetMsg& record) {
    int64_t held = 0;
    for (int i = 0; i < JexNetMsg::kItems; ++i) held += record[i].AllocatedLength();
    return held;
}

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

// What both directions of one relay share: when a record last passed, how
// many directions have ended, and by when the relay must be over once a leg
// failed (0: no leg failed yet).
struct JexGateway::RelayWatch {
    std::atomic<int64_t> lastRecordMs{NowMs()};
    std::mutex mutex;
    std::condition_variable ended;
    int directionsEnded = 0;
    int64_t endByMs = 0;
};

struct JexGateway::TransferBlock {
    JexGateway* gateway;
    int fromSide;
    int toSide;
    JexNetMsg record;
    // The direction's result; code 0 when it ended cleanly.
    std::unique_ptr<JexProtocol> result;
    RelayWatch* watch;
    // The pieces of a DATA record pass through this buffer.
    JexBuffer piece;
    // Once a DATA record passed from socket to socket, both stay set up for
    // the next until the direction ends (on its own thread).
    JexTransport::PassReadiness ready;
};

void JexGateway::EndLegs() {
    // Disconnect may come from another thread: it ends a read or write
    // waiting on the leg at once, so neither direction outlives the relay.
    for (const std::unique_ptr<JexTransport>& t : transports_)
        if (t) t->Disconnect();
}

void JexGateway::EndLeg(int side) {
    if (JexTransport* t = transports_[side & 1].get()) t->Disconnect();
}

int JexGateway::transport_handler(JexException* raised, void* context) {
    auto* t = static_cast<JexTransport*>(raised);
    auto* g = static_cast<JexGateway*>(context);
    JexMutexLock hold(g->relayLock_);
    const int savedSuppress = t->Suppress();
    t->SetSuppress(1);
    const int code = t->Code();
    // The transport's own error is the cause; it keeps it (reading its
    // attributes below may record a result of its own, which is put back).
    std::unique_ptr<JexException> own(t->CopyChain());
    JexString calling;
    JexString called;
    t->GetAttr(JexTransport::kCalling, calling);
    t->GetAttr(JexTransport::kCalled, called);
    JexExcArgs args(g->Label(), calling, called);
    if (t->Code() != code) {
        g->ExcSet(TRANSPORTERR, std::move(args), own.get());
        t->ExcSet(code, own->Args(), own->Cause());
    } else {
        // Nothing to put back: the gateway takes the copy as its cause.
        g->ExcSetTaking(TRANSPORTERR, std::move(args), std::move(own));
    }
    t->SetSuppress(savedSuppress);
    switch (code) {
        case JexTransport::BADNAME:
        case JexTransport::CONNECTERR:
        case JexTransport::END:
        case JexTransport::SYSERR:
        case JexTransport::UNKNOWN:
        case JexTransport::UNSUPPORTED:
            if (TraceFlags() & kTraceTransport) std::fprintf(stderr, "%s\n", g->Describe(1).Text());
            return 0;
        default: g->Raise(); return 1;
    }
}

bool JexGateway::ClaimReport() {
    JexMutexLock hold(relayLock_);
    if (relayFailed_) return false;
    relayFailed_ = 1;
    return true;
}

void JexGateway::settle(RelayWatch& watch) {
    std::lock_guard<std::mutex> hold(watch.mutex);
    if (watch.endByMs == 0) {
        watch.endByMs = NowMs() + kRelaySettleMs;
        watch.ended.notify_all();
    }
}

void JexGateway::LegFailure(TransferBlock& block, const char* text, int failedSide, int reportSide,
                            bool report) {
    settle(*block.watch);
    JexTransport* failed = transports_[failedSide].get();
    // The transport's error is copied before the relay lock is taken: a
    // transport holds its own lock while its handler takes the relay lock,
    // so taking them the other way round could leave both threads waiting.
    std::unique_ptr<JexException> cause(failed ? failed->CopyChain() : nullptr);
    JexString caller;
    JexString callee;
    if (failed && failed->Endpoint()) {
        caller = failed->Stats(1)->caller;
        callee = failed->Stats(1)->callee;
    }
    // Only the first failure of a relay is reported, by the direction that
    // met it; a later one ends its direction and leaves the legs to that.
    if (!ClaimReport()) return;
    {
        JexMutexLock hold(relayLock_);
        block.result->ExcSet(TRANSPORTERR, JexExcArgs(text, caller, callee), cause.get());
        make_netfail(block.record, failed);
    }
    // Sent outside the relay lock: a transport handler that runs inside
    // this send takes the relay lock itself, and the other direction may
    // hold this side's send lock while its own handler waits for it.
    if (report)
        (void)send_record(reportSide, block.record);
    else
        EndLeg(reportSide);
    // Only the failed leg is ended here. Closing the report side at once
    // could drop the report still on its way (a socket closed with unread
    // bytes resets the connection and discards what it had not sent): the
    // side's own reader ends it when its peer closes, and the watch does
    // once the settle time is over.
    EndLeg(failedSide);
}

bool JexGateway::DrainAfterSendFailure(TransferBlock& block) {
    // The side that could not be written to may have sent why it went away
    // before it closed; the other direction reads and forwards that first.
    // Meanwhile what this side still sends is read and dropped, so that it
    // never stalls on a full window while the report waits behind it.
    settle(*block.watch);
    while (recv_record(block.fromSide, block.record) == OK) {
    }
    JexMutexLock hold(relayLock_);
    return relayFailed_ != 0;
}

int JexGateway::transfer(JexThread*, void* argument) {
    auto& block = *static_cast<TransferBlock*>(argument);
    const int rc = TransferRecords(block);
    block.ready.reset();
    std::lock_guard<std::mutex> hold(block.watch->mutex);
    ++block.watch->directionsEnded;
    block.watch->ended.notify_all();
    return rc;
}

int JexGateway::TransferRecords(TransferBlock& block) {
    JexGateway& g = *block.gateway;
    g.SetLabel("JexGateway::transfer()");
    block.result = std::make_unique<JexProtocol>(kTextTable, "JexGateway");
    block.result->SetSuppress(1);
    for (;;) {
        // Bytes of the next record buffered already: it has begun.
        if (block.ready && g.readers_[block.fromSide].Buffered() == 0)
            block.ready->ReleasePipeWhenIdle(kRelayPipeIdleMs);
        int length = 0;
        char first = 0;
        int rc = g.RecvHead(block.fromSide, length, first);
        // A DATA record goes on as it arrives (unless traced: the trace
        // shows whole records).
        if (rc == OK && first == JexNetMsg::kRawMark && !(TraceFlags() & kTraceData)) {
            const PassResult passed = g.PassData(block, length);
            block.piece.Free();
            if (passed == kPassFromFailed) {
                g.LegFailure(block, "JexGateway::transfer() from", block.fromSide, block.toSide,
                             false);
                return 0;
            }
            if (passed == kPassToFailed) {
                if (g.DrainAfterSendFailure(block)) return 0;
                g.LegFailure(block, "JexGateway::transfer() to", block.toSide, block.fromSide);
                return 0;
            }
            block.watch->lastRecordMs = NowMs();
            continue;
        }
        if (rc == OK) rc = g.RecvRest(block.fromSide, block.record, length, first);
        if (rc != OK) {
            g.LegFailure(block, "JexGateway::transfer() from", block.fromSide, block.toSide);
            return 0;
        }
        if (block.record.Type() == kNetFail) {
            // The far side's own failure report: it is the one passed on,
            // and no report of this relay's may overtake it.
            g.settle(*block.watch);
            if (!g.ClaimReport()) return 0;
            {
                JexMutexLock hold(g.relayLock_);
                JexProtocol remote(kTextTable, "JexGateway");
                remote.SetSuppress(1);
                remote.UnloadException(block.record, nullptr);
                const JexBuffer& y = block.record['y'];
                block.result->ExcSet(REMOTEFAIL,
                                     JexExcArgs("JexGateway::transfer()",
                                                JexString::FromBytes(y.Data(), y.Length())),
                                     &remote);
            }
            (void)g.send_record(block.toSide, block.record);
            g.EndLeg(block.fromSide);
            return 0;
        }
        const int sent = g.send_record(block.toSide, block.record);
        if (sent != OK) {
            if (sent == TRANSPORTERR && g.DrainAfterSendFailure(block)) return 0;
            g.LegFailure(block, "JexGateway::transfer() to", block.toSide, block.fromSide);
            return 0;
        }
        block.watch->lastRecordMs = NowMs();
        const int type = block.record.Type();
        if (type != kLearn && HeldBytes(block.record) > kRelayKeptBytes) block.record.Clear();
        switch (type) {
            case kFinish: return 0;
            case kLearn:
                if (block.fromSide == 1) {
                    const JexBuffer& z = block.record['z'];
                    const JexString author = JexString::FromBytes(z.Data(), z.Length());
                    g.learn_back_routes(0, author);
                    g.learn_redirect_routes(author);
                }
                break;
            default: break;
        }
    }
}

JexGateway::PassResult JexGateway::PassData(TransferBlock& block, int length) {
    JexTransport* in = transports_[block.fromSide].get();
    JexTransport* out = transports_[block.toSide].get();
    JexFrameReader& reader = readers_[block.fromSide];
    char head[8];
    (void)reader.Read(*in, head, 1);  // the 'd' seen by RecvHead, buffered
    int used = JexFrameHead(head, length);
    head[used++] = static_cast<char>(JexNetMsg::kRawMark);
    // The record goes out whole under the send lock: nothing of the other
    // direction's may come between its pieces.
    JexMutexLock hold(sendLock_[block.toSide]);
    // The head goes out with what of the body the reader holds already.
    // While more of the body follows, the kernel may hold the head back for
    // it: the far side wakes once for both, not for the head and then again.
    const char* buffered = nullptr;
    const int takenEarly = reader.Take(length - 1, buffered);
    int left = length - 1 - takenEarly;
    bool sending = out && out->PutDataParts(head, used, buffered, takenEarly, left > 0) == 0;
    if (!sending && out) TransportFailed(*out);
    // The rest moves from socket to socket inside the system where the
    // links allow it; otherwise it passes through the direction's buffer.
    if (sending && left > 0) {
        if (!block.ready) block.ready = in->ReadyToPass(*out);
        int taken = 0;
        switch (in->Pass(*out, left, taken, block.ready.get())) {
            case JexTransport::PassEnd::kPassed: left = 0; break;
            case JexTransport::PassEnd::kUnsupported: break;
            case JexTransport::PassEnd::kReadFailed:
                TransportFailed(*in);
                EndLeg(block.toSide);
                return kPassFromFailed;
            case JexTransport::PassEnd::kWriteFailed:
                sending = false;
                TransportFailed(*out);
                left -= taken;
                break;
        }
    }
    if (left > 0 && block.piece.Length() != kRelayPiece &&
        !block.piece.SetLengthForOverwrite(kRelayPiece))
        block.piece.Free();
    // Without a buffer of its own the direction reads through a small one.
    char small[4096];
    char* piece = block.piece.Length() == kRelayPiece ? block.piece.Data() : small;
    const int pieceSize = piece == small ? static_cast<int>(sizeof small) : kRelayPiece;
    for (; left > 0;) {
        int got = std::min(left, pieceSize);
        if (reader.Read(*in, piece, got) != 0) {
            if (!sending) return kPassToFailed;
            TransportFailed(*in);
            EndLeg(block.toSide);
            return kPassFromFailed;
        }
        // After a failed write the rest of the record is still read, so
        // that the near side's next record starts where it should.
        if (sending && out->PutData(piece, got, 0) != 0) {
            sending = false;
            TransportFailed(*out);
        }
        left -= got;
    }
    if (!sending) return kPassToFailed;
    JexMutexLock counting(relayLock_);
    stats_.Increment(JexNetStats::kBytesReceived, static_cast<uint32_t>(length));
    stats_.Increment(JexNetStats::kMessagesReceived, 1);
    stats_.Increment(JexNetStats::kBytesSent, static_cast<uint32_t>(length));
    stats_.Increment(JexNetStats::kMessagesSent, 1);
    return kPassed;
}

void JexGateway::WatchIdle(RelayWatch& watch, int started) {
    const int64_t limitMs = relayIdleLimit > 0 ? int64_t{relayIdleLimit} * 1000 : 0;
    std::unique_lock<std::mutex> hold(watch.mutex);
    while (watch.directionsEnded < started) {
        // Past the idle limit without a record either way, or past the
        // settle time after a leg failed, the relay ends both legs and both
        // directions end on their closed reads and writes.
        int64_t until = 0;
        if (limitMs > 0) until = watch.lastRecordMs.load() + limitMs;
        if (watch.endByMs > 0 && (until == 0 || watch.endByMs < until)) until = watch.endByMs;
        const int64_t now = NowMs();
        if (until != 0 && now >= until) {
            hold.unlock();
            EndLegs();
            return;
        }
        if (until == 0)
            watch.ended.wait(hold);
        else
            watch.ended.wait_for(hold, std::chrono::milliseconds(until - now));
    }
}

int JexGateway::relay() {
    {
        JexMutexLock hold(relayLock_);
        relayFailed_ = 0;
    }
    RelayWatch watch;
    TransferBlock a{this, 0, 1, JexNetMsg(), nullptr, &watch, JexBuffer(), nullptr};
    TransferBlock b{this, 1, 0, JexNetMsg(), nullptr, &watch, JexBuffer(), nullptr};
    auto threadA = std::make_unique<JexThread>(&transfer, &a);
    auto threadB = std::make_unique<JexThread>(&transfer, &b);
    const int started = (threadA->Started() ? 1 : 0) + (threadB->Started() ? 1 : 0);
    if (started < 2) EndLegs();
    WatchIdle(watch, started);
    threadA->Join();
    threadB->Join();
    ReleaseTransport(0);
    ReleaseTransport(1);
    int result = OK;
    for (TransferBlock* block : {&a, &b}) {
        JexProtocol* r = block->result.get();
        if (!r) {
            // The thread never ran: the system refused it.
            result = FAILURE;
            ExcRaise(FAILURE, JexExcArgs("JexGateway::relay"));
            continue;
        }
        if (r->Code() == OK) continue;
        result = r->Code();
        {
            JexMutexLock hold(relayLock_);
            ExcSet(r->Code(), r->Args(), r->Cause());
        }
        Raise();
    }
    return result;
}

JexGatewayListener::JexGatewayListener(const JexString& app, const JexNetAddr& address) {
    SetLabel("JexGatewayListener::JexGatewayListener");
    application = app;
    stats_.name = "JexGatewayListener";
    JexNetAddr where(address);
    JexString service;
    if (where.Count() < 3 || (where.GetField(2, service), service.Length() == 0))
        where.SetService(app);
    listener_ = new JexTransportListener(where);
    if (!listener_->Listening())
        ExcSet(TRANSPORTERR, JexExcArgs(Label(), JexString(), where.Text()), listener_);
}

JexGatewayListener::~JexGatewayListener() { delete listener_; }

int JexGatewayListener::DefaultHandler(JexException* raised, void*) {
    std::fprintf(stderr, "%s\n", raised->Describe(1).Text());
    std::fflush(stderr);
    return 1;
}

int JexGatewayListener::Accept(JexGateway& g, Completion callback, void* userData,
                               JexThread*& thread) {
    SetLabel("JexGatewayListener::Accept");
    thread = nullptr;
    if (g.State() != IDLE) {
        g.ExcRaise(WRONGSTATE, JexExcArgs(Label()));
        return WRONGSTATE;
    }
    g.AttachTransport(0, new JexTransport);
    g.activeSide = 0;
    g.application = "*";
    JexTransport* t = g.Transport(0);
    if (listener_->Accept(*t) != 0) {
        JexString caller;
        JexString callee;
        if (t->Endpoint()) {
            caller = t->Stats(1)->caller;
            callee = t->Stats(1)->callee;
        }
        ExcRaise(TRANSPORTERR, JexExcArgs(Label(), caller, callee), t);
        return TRANSPORTERR;
    }
    if (running_.load() >= maxConnections_) {
        refuse(g);
        return FAILURE;
    }
    g.set_state(LWAIT);
    auto* block = new AcceptBlock{this, &g, callback, userData};
    ++running_;
    thread = new JexThread(&connection_thread, block);
    if (!thread->Started()) {
        --running_;
        delete block;
        delete thread;
        thread = nullptr;
        g.ReleaseTransport(0);
        g.set_state(IDLE);
        ExcRaise(FAILURE, JexExcArgs(Label()));
        return FAILURE;
    }
    return OK;
}

void JexGatewayListener::refuse(JexGateway& g) {
    JexProtocol why;
    why.SetSuppress(1);
    why.SetExternalMessage(
        JexString(("JexGatewayListener::MAXCONNECTIONS, " + std::to_string(maxConnections_) +
                   " connections running: no more are taken now")
                      .c_str()));
    why.ExcSet(kExternalMessage, JexExcArgs(Label()));
    ExcSet(FAILURE, JexExcArgs(Label()), &why);
    g.SetError(FAILURE, JexExcArgs(Label()), &why);

    JexNetMsg reject(kReject);
    JexString entry = g.systemId;
    entry += "|";
    entry += g.platform;
    entry += "|";
    jexgateway::SetItemText(reject['t'], JexFormatTime());
    jexgateway::SetItemShort(reject['h'], 1);
    jexgateway::SetItemText(reject['P'], entry);
    jexgateway::SetItemText(reject['z'], g.platform);
    jexgateway::SetItemShort(reject['r'], 0);
    jexgateway::SetItemText(reject['s'], state_name(LISTEN));
    jexgateway::SetItemText(reject['y'], g.systemId);
    jexgateway::SetItemText(reject['V'], g.version);
    g.LoadError(reject);
    (void)g.send_record(0, reject);
    g.ReleaseTransport(0);
}

int JexGatewayListener::connection_thread(JexThread* thread, void* argument) {
    std::unique_ptr<AcceptBlock> block(static_cast<AcceptBlock*>(argument));
    JexGateway* g = block->gateway;
    const int r = g->incoming_handshake(0);
    if (block->callback) block->callback(thread, g, r, block->userData);
    // The connection is over: its descriptors go back now, not when the
    // owner gets round to joining this thread.
    g->ReleaseTransport(0);
    g->ReleaseTransport(1);
    --block->listener->running_;
    return 0;
}
