// Gateway message exchange: DATA records, the FINISH exchange, Listen and the LEARN record.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>

#include "jexlink/core/JexTime.h"
#include "jexlink/transport/DeadlineWatch.h"
#include "jexlink/transport/JexGateway.h"
#include "jexlink/transport/JexGatewayFrame.h"
#include "jexlink/transport/JexGatewayItems.h"

using jexgateway::ItemText;
using jexgateway::SetItemText;

namespace {

// What the alarm of a bounded read needs: the transport to close.
struct ReadAlarm {
    JexTransport* transport;
    std::atomic<bool> fired{false};

    static void Ring(void* self) {
        auto* alarm = static_cast<ReadAlarm*>(self);
        alarm->fired = true;
        alarm->transport->Disconnect();
    }
};

}  // namespace

void JexGateway::SetReadTimeout(int seconds) { readTimeout = seconds > 0 ? seconds : 0; }

void JexGateway::SetFirstRecordTimeout(int seconds) {
    firstRecordTimeout = seconds > 0 ? seconds : 0;
}

void JexGateway::SetRelayIdleLimit(int seconds) { relayIdleLimit = seconds > 0 ? seconds : 0; }

void JexGateway::LoadError(JexNetMsg& record) {
    jexgateway::ClearErrorItems(record);
    JexMutexLock hold(relayLock_);
    LoadException(record);
}

int JexGateway::RecvRecordWithin(int side, JexNetMsg& record, int seconds, JexBuffer* lead) {
    JexTransport* t = transports_[side & 1].get();
    if (seconds <= 0 || !t) return recv_record(side, record, lead);
    // One watch thread of the process bounds every such read: no thread is
    // started per read.
    ReadAlarm alarm{t};
    const uint64_t ticket =
        jexnet::DeadlineWatch::Arm(&ReadAlarm::Ring, &alarm, std::chrono::seconds(seconds));
    if (ticket == 0) {
        // Without the watch thread the read could not be bounded: the
        // connection is ended rather than left to a peer that may never speak.
        t->Disconnect();
        return SetError(FAILURE, JexExcArgs(Label()));
    }
    const int rc = recv_record(side, record, lead);
    jexnet::DeadlineWatch::Disarm(ticket);
    // Once the alarm rang the connection is closed, whatever the read got.
    if (!alarm.fired) return rc;
    return SetError(TIMEOUT, JexExcArgs(Label()));
}

int JexGateway::PutMsg(const JexBuffer& msg, int wait) {
    const JexBuffer* pieces[1] = {&msg};
    return PutMsg(pieces, 1, wait);
}

int JexGateway::PutMsg(const JexBuffer* const* pieces, int count, int, bool more) {
    SetLabel("JexGateway::PutMsg");
    if (state_ != RUN) {
        ExcRaise(WRONGSTATE, JexExcArgs(Label()));
        return WRONGSTATE;
    }
    int64_t length = 0;
    for (int i = 0; i < count; ++i) length += pieces[i]->Length();
    if (count < 0 || count > kJexFramePieces || length + 1 > kJexMaxFrameLength) {
        // No peer would take the frame: refused before anything is sent,
        // and the connection stays usable.
        ExcRaise(FAILURE, JexExcArgs(Label(), msg_name(kData)));
        return FAILURE;
    }
    // The payload goes out as it stands: no record is built around a copy.
    const int rc = SendData(activeSide, pieces, count, nullptr, more);
    if (rc == OK) return OK;
    ReleaseTransport(activeSide);
    set_state(ERROR);
    RaiseCurrent();
    return rc;
}

int JexGateway::GetMsg(JexBuffer& msg, int wait) {
    SetLabel("JexGateway::GetMsg");
    return GetData(msg, nullptr, wait);
}

int JexGateway::GetMsg(JexNetMsg& msg, int wait) {
    SetLabel("JexGateway::GetMsg");
    JexBuffer lead;
    JexBuffer payload;
    const int rc = GetData(payload, &lead, wait);
    if (rc != OK) return rc;
    if (lead.Data())
        msg.DecodeTaking(lead, payload);
    else
        msg.Decode(payload);  // a DATA record in the regular form
    return OK;
}

int JexGateway::GetData(JexBuffer& msg, JexBuffer* lead, int wait) {
    if (state_ != RUN) {
        ExcRaise(WRONGSTATE, JexExcArgs(Label()));
        return WRONGSTATE;
    }
    JexNetMsg record;
    // The payload is read into storage kept from an earlier call.
    record[kData].Swap(receiveSpare_);
    for (;;) {
        const int rc = RecvRecordWithin(activeSide, record, wait > 0 ? wait : readTimeout, lead);
        if (rc != OK) {
            ReleaseTransport(activeSide);
            set_state(ERROR);
            RaiseCurrent();
            return rc;
        }
        // The payload moves out of the record rather than being copied; the
        // caller's previous storage is kept for the next payload unless it is
        // far larger than this one.
        msg.Swap(record[kData]);
        switch (record.Type()) {
            case kData:
                receiveSpare_.Swap(record[kData]);
                if (receiveSpare_.AllocatedLength() > 4 * std::max(msg.Length(), kJexFramePiece))
                    receiveSpare_.Free();
                return OK;
            case kFinish: set_state(FINISH); return SHUTDOWN;
            case kLearn:
                if (!acceptedHere) learn_redirect_routes(ItemText(record, 'z'));
                continue;
            case kNetFail: {
                set_state(ERROR);
                std::unique_ptr<JexException> remote;
                {
                    JexMutexLock hold(relayLock_);
                    UnloadException(record, "JexGateway::GetMsg/remote error");
                    remote.reset(CopyChain());
                }
                ReleaseTransport(activeSide);
                const JexBuffer& y = record['y'];
                const int limit =
                    y.Length() < jexgateway::kMaxNameText ? y.Length() : jexgateway::kMaxNameText;
                ExcRaise(REMOTEFAIL, JexExcArgs(Label(), JexString::FromBytes(y.Data(), limit)),
                         remote.get());
                return REMOTEFAIL;
            }
            default: ExcRaise(PROTOCOL, JexExcArgs(Label())); return PROTOCOL;
        }
    }
}

int JexGateway::Disconnect() {
    SetLabel("JexGateway::Disconnect");
    if (state_ != RUN && state_ != FINISH) {
        ExcRaise(WRONGSTATE, JexExcArgs(Label()));
        return WRONGSTATE;
    }
    JexNetMsg record(kFinish);
    const int sent = send_record(activeSide, record);
    if (sent != OK) return sent;
    while (state_ == RUN) {
        const int rc = RecvRecordWithin(activeSide, record, readTimeout);
        if (rc != OK) {
            RaiseCurrent();
            return rc;
        }
        if (record.Type() == kFinish) set_state(FINISH);
    }
    ReleaseTransport(activeSide);
    set_state(DONE);
    return OK;
}

int JexGateway::Listen(const JexFieldedString& acidList, const JexFieldedString& nodeList,
                       const JexString& applicationName) {
    SetLabel("JexGateway::Listen");
    if (state_ != IDLE) {
        ExcRaise(WRONGSTATE, JexExcArgs(Label()));
        return WRONGSTATE;
    }
    ownAcids = acidList;
    ownNodes = nodeList;
    application = applicationName;
    application.SetCaseSensitive(applicationName.CaseSensitive());
    systemId = ownAcids.Field(0);
    systemId += "/";
    systemId += ownNodes.Field(0);
    set_state(LWAIT);
    ReleaseTransport(0);
    AttachTransport(0, new JexTransport);
    int status = TRANSPORTERR;
    if (transports_[0]->Listen() == 0) {
        SetError(OK, JexExcArgs(Label()));
        status = OK;
    } else if (Code() != TRANSPORTERR) {
        // The inherited connection was refused without a transport error
        // reaching the handler; the handshake reports this one.
        SetError(TRANSPORTERR, JexExcArgs(Label()), transports_[0].get());
    }
    return incoming_handshake(status);
}

int JexGateway::send_learn() {
    if (state_ != RUN || !acceptedHere) return SetError(WRONGSTATE, JexExcArgs(Label()));
    learn_back_routes(activeSide, platform);
    JexNetMsg record(kLearn);
    SetItemText(record['t'], JexFormatTime());
    SetItemText(record['z'], platform);
    SetItemText(record['y'], systemId);
    SetItemText(record['V'], version);
    if (send_record(activeSide, record) != OK) return RaiseCurrent();
    return OK;
}
