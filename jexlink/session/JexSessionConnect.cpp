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

int JexSession::gateway_disconnect() {
    gateway_->SetReadTimeout(BoundSeconds());
    const int rc = gateway_->Disconnect();
    gateway_->SetReadTimeout(0);
    return rc;
}

void JexSession::drop_gateway() {
    const int state = gateway_->State();
    if (state != JexGateway::RUN && state != JexGateway::FINISH) return;
    quiet_gateway_ = true;
    gateway_disconnect();
    quiet_gateway_ = false;
}

int JexSession::Connect(const char* application, const char* dst_acids, const char* dst_nodes,
                        const JexBuffer& connect_data, JexBuffer& reply_data) {
    Begin("JexSession::Connect");
    if (state_ != IDLE || gateway_->State() != JexGateway::IDLE) return WrongState();
    ExcSet(OK);
    if (src_acids_.Count() == 0 || src_acids_.FieldText(0)[0] == 0)
        return Fail(NOSRCACID, JexExcArgs(operation_));
    if (crypto_src_acid_.Text()[0] == 0) SetToText(crypto_src_acid_, src_acids_);
    if (crypto_src_node_.Text()[0] == 0) SetToText(crypto_src_node_, src_nodes_);
    application_ = application ? application : "";
    dst_acids_.Parse(dst_acids ? dst_acids : "");
    dst_nodes_.Parse(dst_nodes ? dst_nodes : "");
    ResetPeerVersion(server_version_);

    int rc = setup_compress(compression_);
    if (rc == 0) rc = setup_expand(current_compression_);
    if (rc == 0) {
        JexFieldedString remote_acid(',');
        remote_acid[0] = dst_acids_.Field(0);
        JexFieldedString local_names = SigningNames(src_acids_, node_auth_, src_nodes_);
        JexFieldedString remote_names = SigningNames(remote_acid, node_auth_, dst_nodes_);
        rc = setup_auth(local_names, remote_names);
    }
    if (rc == 0) rc = setup_encrypt(src_acids_.Field(0), dst_acids_.Field(0));
    if (rc != 0) return RaiseRecorded();

    src_user_ = JexGetUserName();
    SetEndName(stats_.caller, src_acids_, src_nodes_, {":", src_user_.Text()});
    SetEndName(stats_.callee, dst_acids_, dst_nodes_, {"/", application_.Text()});

    if (gateway_->SetAttr(JexGateway::ACID, src_acids_.Text()) != 0) return GATEWAYERR;
    if (gateway_->SetAttr(JexGateway::NODE, src_nodes_.Text()) != 0) return GATEWAYERR;
    // The gateway's CONNECT exchange waits for the far end as the handshake
    // does: at most READ_TIMEOUT seconds (TIMEOUT past it).
    gateway_->SetReadTimeout(BoundSeconds());
    const int connected = opener_ ? opener_(*gateway_, opener_context_)
                                  : gateway_->Connect(dst_acids_, dst_nodes_, application_);
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

    rc = client_handshake(connect_data, reply_data);
    if (rc != 0) return RaiseRecorded();
    SetEndName(stats_.callee, dst_acids_, dst_nodes_,
               {":", dst_user_.Text(), "/", application_.Text()});
    return OK;
}

int JexSession::Listen(const char* application, const char* acids, JexBuffer& connect_data) {
    Begin("JexSession::Listen");
    if (state_ != IDLE || gateway_->State() != JexGateway::IDLE) return WrongState();
    ExcSet(OK);
    application_ = application ? application : "";
    dst_acids_.Parse(acids ? acids : "");
    if (crypto_src_acid_.Text()[0] == 0) SetToText(crypto_src_acid_, dst_acids_);
    if (crypto_src_node_.Text()[0] == 0) SetToText(crypto_src_node_, dst_nodes_);
    ResetPeerVersion(client_version_);
    dst_user_ = JexGetUserName();
    stats_.caller = "";
    SetEndName(stats_.callee, dst_acids_, dst_nodes_,
               {":", dst_user_.Text(), "/", application_.Text()});

    const int status = opener_ ? opener_(*gateway_, opener_context_)
                               : gateway_->Listen(dst_acids_, dst_nodes_, application_);
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
    const int rc = server_handshake(connect_data);
    if (rc != 0) return RaiseRecorded();
    SetEndName(stats_.caller, src_acids_, src_nodes_, {":", src_user_.Text()});
    return OK;
}

int JexSession::send_control(int type, const JexBuffer& data) {
    JexNetMsg msg(type);
    SetItem(msg[kItemLanguage], language_);
    SetItem(msg[kItemCompression], jex_code_text(kCompressionNames, compression_));
    SetItem(msg[kItemData], data);
    return send_msg(msg);
}

int JexSession::Accept(const JexBuffer& accept_data) {
    Begin("JexSession::Accept");
    if (state_ != STC) return WrongState();
    ExcSet(OK);
    const int rc = send_control(kCrAccept, accept_data);
    if (rc != 0) return rc;
    if (gateway_->send_learn() != 0) return GATEWAYERR;
    set_state(RUN);
    return OK;
}

int JexSession::Reject(const JexBuffer& reject_data) {
    Begin("JexSession::Reject");
    if (state_ != STC) return WrongState();
    ExcSet(OK);
    const int rc = send_control(kCrReject, reject_data);
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
        return gateway_disconnect() != 0 ? GATEWAYERR : OK;
    }
    set_state(SI);
    for (;;) {
        JexNetMsg msg;
        rc = recv_bounded(msg);
        if (rc != 0) return rc;
        switch (msg.Type()) {
            case kData:
            case kDataAck:
            case kDataSyn: continue;
            case kShutdown:
                if (gateway_disconnect() != 0) return GATEWAYERR;
                set_state(IDLE);
                return OK;
            default: return fail_protocol();
        }
    }
}
