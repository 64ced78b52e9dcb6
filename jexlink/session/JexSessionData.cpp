// Session data transfer: PutMsg and GetMsg, with synchronous messages and their acknowledgements.
#include <iostream>
#include <memory>

#include "jexlink/session/JexSession.h"
#include "jexlink/session/JexSessionItems.h"
#include "jexlink/transport/JexCompressionBase.h"

using jexsession::FirstByte;
using jexsession::Present;
using jexsession::SetByte;
using jexsession::trace_flags;

int JexSession::PutMsg(const JexBuffer& data, int flags) {
    Begin("JexSession::PutMsg");
    if (state_ != RUN && state_ != DATAWAIT) return WrongState();
    ExcSet(OK);
    const bool synchronous = (flags & kSynchronous) != 0;
    // One message serves every PutMsg: it only ever holds the sequence and
    // CRC items (send_msg sets or frees the CRC and sends the data apart), so
    // their storage is used again.
    JexNetMsg& msg = dataOut_ ? *dataOut_ : dataOut_.emplace();
    msg.Type(synchronous ? kDataSyn : kData);
    if (synchronous) {
        ++syncCounter_;
        SetByte(msg[kItemSequence], syncCounter_);
    } else {
        msg[kItemSequence].Free();
    }
    // Without compression the caller's data goes to the gateway as it stands.
    JexBuffer packed;
    if (!plainCompressor_ && compressor_->Compress(data, packed) != 0)
        return Fail(FAILURE, JexExcArgs(operation_), compressor_.get());
    stats_.Increment(JexNetStats::kBytesSent, static_cast<uint32_t>(data.Length()));
    stats_.Increment(JexNetStats::kMessagesSent, 1);
    const bool more = !synchronous && (flags & kMoreFollows) != 0;
    int rc = send_msg(msg, plainCompressor_ ? data : packed, more);
    msg[kItemData].Free();  // a traced message carried a copy of the data
    if (rc != 0) return rc;
    if (!synchronous) return OK;

    set_state(SYNWAIT);
    for (;;) {
        auto reply = std::make_unique<JexNetMsg>();
        rc = recv_msg(*reply);
        if (rc != 0) return rc;
        switch (reply->Type()) {
            case kData:
            case kDataSyn:
                if (trace_flags & kTraceData) TraceLine(std::cerr, *reply, "Queuing");
                QueueAppend(reply.release());
                continue;
            case kDataAck:
                if (FirstByte((*reply)[kItemSequence]) == (syncCounter_ & 0xFF) &&
                    (*reply)[kItemSequence].Length() >= 1) {
                    set_state(RUN);
                    return OK;
                }
                continue;
            case kShutdown: set_state(SN); return ExcSet(SHUT, JexExcArgs(operation_));
            default: return FailProtocol();
        }
    }
}

int JexSession::GetMsg(JexBuffer& data, int) {
    Begin("JexSession::GetMsg");
    if (state_ != RUN) return WrongState();
    ExcSet(OK);
    data.SetLength(0);
    JexNetMsg& in = dataIn_ ? *dataIn_ : dataIn_.emplace();
    for (;;) {
        // A message read now is read into the one kept for it, which holds
        // nothing once this round is over.
        struct Emptied {
            JexNetMsg& msg;
            ~Emptied() { msg.Clear(); }
        } emptied{in};
        std::unique_ptr<JexNetMsg> queued;
        JexNetMsg* msg = &in;
        if (!queueHead_) {
            set_state(DATAWAIT);
            const int rc = recv_msg(in);
            if (rc != 0) return rc;
        } else {
            queued.reset(QueueRemove());
            msg = queued.get();
            if (trace_flags & kTraceData) TraceLine(std::cerr, *msg, "Dequeued");
        }
        switch (msg->Type()) {
            case kData: break;
            case kDataSyn: send_dataack(*msg); break;
            case kDataAck: continue;
            case kShutdown: set_state(SN); return ExcSet(SHUT, JexExcArgs(operation_));
            default: return FailProtocol();
        }
        // Without compression the data item's storage becomes the caller's
        // data: no copy. An expander writes from the item straight into data.
        JexBuffer& packed = (*msg)[kItemData];
        const int rc = plainExpander_ ? (data.Swap(packed), 0) : expander_->Expand(packed, data);
        if (rc != 0 || data.Length() > kMaxDataLength) {
            data.SetLength(0);
            return Fail(DECOMPFAIL, JexExcArgs(operation_));
        }
        set_state(RUN);
        stats_.Increment(JexNetStats::kBytesReceived, static_cast<uint32_t>(data.Length()));
        stats_.Increment(JexNetStats::kMessagesReceived, 1);
        return OK;
    }
}
