// Session establishment: Connect, Listen, Accept, Reject and Disconnect over the gateway.
#include <initializer_list>

#include "jexlink/core/JexUtilities.h"
#include "jexlink/session/JexSession.h"
#include "jexlink/session/JexSessionItems.h"
#include "jexlink/transport/JexGateway.h"
#include "jexlink/transport/JexTransport.h"

using jexsession::SetItem;
using jexsession::SigningNames;

namespace {

// out becomes the joined acids, "/" and the joined nodes, followed by the
// texts of rest: how the statistics name a connection's ends.
void SetEndName(JexString& out, const JexFieldedString& acids, const JexFieldedString& nodes,
                std::initializer_list<const char*> rest) {
    out = "";
    acids.AppendText(out);
    out += "/";
    nodes.AppendText(out);
    for (const char* text : rest) out += text;
}

// out becomes the text of a list (its fields joined).
void SetToText(JexString& out, const JexFieldedString& list) {
    out = "";
    list.AppendText(out);
}

}  // namespace

int JexSession::GatewayDisconnect() {
    gateway_->SetReadTimeout(BoundSeconds());
    const int rc = gateway_->Disconnect();
    gateway_->SetReadTimeout(0);
    return rc;
}

void JexSession::DropGateway() {
    const int state = gateway_->State();
    if (state != JexGateway::RUN && state != JexGateway::FINISH) return;
    quietGateway_ = true;
    GatewayDisconnect();
    quietGateway_ = false;
}

int JexSession::Connect(const char* application, const char* dstAcids, const char* dstNodes,
                        const JexBuffer& connectData, JexBuffer& replyData) {
    Begin("JexSession::Connect");
    if (state_ != IDLE || gateway_->State() != JexGateway::IDLE) return WrongState();
    ExcSet(OK);
    if (srcAcids_.Count() == 0 || srcAcids_.FieldText(0)[0] == 0)
        return Fail(NOSRCACID, JexExcArgs(operation_));
    if (cryptoSrcAcid_.Text()[0] == 0) SetToText(cryptoSrcAcid_, srcAcids_);
    if (cryptoSrcNode_.Text()[0] == 0) SetToText(cryptoSrcNode_, srcNodes_);
    application_ = application ? application : "";
    dstAcids_.Parse(dstAcids ? dstAcids : "");
    dstNodes_.Parse(dstNodes ? dstNodes : "");
    ResetPeerVersion(serverVersion_);

    int rc = setup_compress(compression_);
    if (rc == 0) rc = setup_expand(currentCompression_);
    if (rc == 0) {
        JexFieldedString remoteAcid(',');
        remoteAcid[0] = dstAcids_.Field(0);
        JexFieldedString localNames = SigningNames(srcAcids_, nodeAuth_, srcNodes_);
        JexFieldedString remoteNames = SigningNames(remoteAcid, nodeAuth_, dstNodes_);
        rc = setup_auth(localNames, remoteNames);
    }
    if (rc == 0) rc = setup_encrypt(srcAcids_.Field(0), dstAcids_.Field(0));
    if (rc != 0) return RaiseRecorded();

    srcUser_ = JexGetUserName();
    SetEndName(stats_.caller, srcAcids_, srcNodes_, {":", srcUser_.Text()});
    SetEndName(stats_.callee, dstAcids_, dstNodes_, {"/", application_.Text()});

    if (gateway_->SetAttr(JexGateway::ACID, srcAcids_.Text()) != 0) return GATEWAYERR;
    if (gateway_->SetAttr(JexGateway::NODE, srcNodes_.Text()) != 0) return GATEWAYERR;
    // The gateway's CONNECT exchange waits for the far end as the handshake
    // does: at most READ_TIMEOUT seconds (TIMEOUT past it).
    gateway_->SetReadTimeout(BoundSeconds());
    const int connected = opener_ ? opener_(*gateway_, openerContext_)
                                  : gateway_->Connect(dstAcids_, dstNodes_, application_);
    gateway_->SetReadTimeout(0);
    if (connected != 0) {
        if (Code() == TIMEOUT) return TIMEOUT;
        // The far end hung up before it answered: say so below the error.
        for (JexException* cause = Cause(); cause; cause = cause->Cause()) {
            if (cause->ClassName().Compare("JexTransport") == 0 &&
                cause->Code() == JexTransport::END) {
                ExcSetText("The connection was closed by the peer", JexExcArgs(operation_));
                break;
            }
        }
        return GATEWAYERR;
    }

    rc = client_handshake(connectData, replyData);
    if (rc != 0) return RaiseRecorded();
    SetEndName(stats_.callee, dstAcids_, dstNodes_,
               {":", dstUser_.Text(), "/", application_.Text()});
    return OK;
}

int JexSession::Listen(const char* application, const char* acids, JexBuffer& connectData) {
    Begin("JexSession::Listen");
    if (state_ != IDLE || gateway_->State() != JexGateway::IDLE) return WrongState();
    ExcSet(OK);
    application_ = application ? application : "";
    dstAcids_.Parse(acids ? acids : "");
    if (cryptoSrcAcid_.Text()[0] == 0) SetToText(cryptoSrcAcid_, dstAcids_);
    if (cryptoSrcNode_.Text()[0] == 0) SetToText(cryptoSrcNode_, dstNodes_);
    ResetPeerVersion(clientVersion_);
    dstUser_ = JexGetUserName();
    stats_.caller = "";
    SetEndName(stats_.callee, dstAcids_, dstNodes_,
               {":", dstUser_.Text(), "/", application_.Text()});

    const int status = opener_ ? opener_(*gateway_, openerContext_)
                               : gateway_->Listen(dstAcids_, dstNodes_, application_);
    if (status == JexGateway::FORWARDED || status == JexGateway::REDIRECTED) {
        raised_ = false;
        return Fail(NOTFORME, JexExcArgs(operation_), &*gateway_);
    }
    if (status != 0) {
        if (Code() != GATEWAYERR) {
            raised_ = false;
            return Fail(GATEWAYERR, JexExcArgs(operation_), &*gateway_);
        }
        return RaiseRecorded();
    }
    const int rc = server_handshake(connectData);
    if (rc != 0) return RaiseRecorded();
    SetEndName(stats_.caller, srcAcids_, srcNodes_, {":", srcUser_.Text()});
    return OK;
}

int JexSession::SendControl(int type, const JexBuffer& data) {
    JexNetMsg msg(type);
    SetItem(msg[kItemLanguage], language_);
    SetItem(msg[kItemCompression], jex_code_text(kCompressionNames, compression_));
    SetItem(msg[kItemData], data);
    return send_msg(msg);
}

int JexSession::Accept(const JexBuffer& acceptData) {
    Begin("JexSession::Accept");
    if (state_ != STC) return WrongState();
    ExcSet(OK);
    const int rc = SendControl(kCrAccept, acceptData);
    if (rc != 0) return rc;
    if (gateway_->send_learn() != 0) return GATEWAYERR;
    set_state(RUN);
    return OK;
}

int JexSession::Reject(const JexBuffer& rejectData) {
    Begin("JexSession::Reject");
    if (state_ != STC) return WrongState();
    ExcSet(OK);
    const int rc = SendControl(kCrReject, rejectData);
    if (rc != 0) return rc;
    set_state(REJECTED);
    return OK;
}

int JexSession::Disconnect() {
    Begin("JexSession::Disconnect");
    if (state_ != RUN && state_ != DATAWAIT && state_ != SN) return WrongState();
    ExcSet(OK);
    // After the peer's shutdown, ours goes out with the gateway's FINISH.
    const bool finishing = state_ == SN && gateway_->State() == JexGateway::RUN;
    JexNetMsg shutdown(kShutdown);
    int rc = send_msg(shutdown, finishing);
    if (rc != 0) return rc;
    if (state_ == SN) {
        set_state(IDLE);
        return GatewayDisconnect() != 0 ? GATEWAYERR : OK;
    }
    set_state(SI);
    for (;;) {
        JexNetMsg msg;
        rc = RecvBounded(msg);
        if (rc != 0) return rc;
        switch (msg.Type()) {
            case kData:
            case kDataAck:
            case kDataSyn: continue;
            case kShutdown:
                if (GatewayDisconnect() != 0) return GATEWAYERR;
                set_state(IDLE);
                return OK;
            default: return FailProtocol();
        }
    }
}
