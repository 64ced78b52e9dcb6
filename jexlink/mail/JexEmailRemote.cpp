// JexEmail::Send_Remote: delivery to the mail application "Jex_Mail" of another system.
#include <cstdio>

#include "jexlink/core/JexConfig.h"
#include "jexlink/core/JexNetMsg.h"
#include "jexlink/core/JexTrace.h"
#include "jexlink/mail/JexEmail.h"
#include "jexlink/mail/JexLocator.h"
#include "jexlink/mail/JexLocatorExport.h"
#include "jexlink/messages/JexTIE.h"
#include "jexlink/session/JexSession.h"

namespace {

// Message types and items of the mail application's protocol.
constexpr int kHeader = 'C';
constexpr int kLine = 'D';
constexpr int kDone = 'Z';
constexpr int kOk = 'K';
constexpr int kFailed = 'F';
constexpr const char* kProtocolVersion = "V2.0";

// An item that is present also when its text is empty.
void SetItem(JexNetMsg& msg, int item, const JexString& text) {
    JexBuffer& b = msg[item];
    b = JexBuffer(text);
    if (!b.Data()) b.SetLength(0);
}

}  // namespace

int JexEmail::Send_Remote(const char* address) {
    JexTrace trace("JexEmail", "Send_Remote()", __LINE__);
    Announce(EVT_SENDING_REMOTE, "remote send", address);
    if (TraceRemote) std::fprintf(stderr, "JexEmail::Send_Remote(%s)\n", address);

    if (SecondaryInvoke && !ForwardsAllowed) {
        JexLocator source;
        source.SetAttr(JexLocator::LOC_PARSED_NODE, SrcNode.Text());
        source.SetAttr(JexLocator::LOC_PARSED_ACID, SrcAcid.Text());
        source.SetAttr(JexLocator::LOC_PARSED_METHOD, JexLocMethod::kJex);
        ExcSetViaClone(CANTFORWARD, JexExcArgs("Forwarding is disabled", JexString(source)));
        return CANTFORWARD;
    }

    JexString prefix(""), nodes(""), acids("");
    int method = 0, scope = 0;
    ParseEMailLocator(address, prefix, nodes, acids, method, scope);

    JexSession session;
    session.SetSuppress(1);
    session.SetAttr(JexSession::ENCRYPTION, 0);
    if (Encrypt) session.SetAttr(JexSession::ENCRYPTION, 1);
    session.SetAttr(JexSession::COMPRESSION, 0);
    if (Compress) session.SetAttr(JexSession::COMPRESSION, 1);
    session.SetAttr(JexSession::AUTHENTICATION, 1);
    session.SetAttr(JexSession::CRC, 1);
    session.SetAttr(JexSession::PARADIGM, 1);
    session.SetAttr(JexSession::PRIORITY, 128);
    session.SetAttr(JexSession::SRC_ACID, SrcAcid.Text());
    session.SetAttr(JexSession::SRC_NODE, SrcNode.Text());
    session.SetAttr(JexSession::ROUTE_MAP, RouteMapPath().Text());
    session.SetAttr(JexSession::CRYPTO_PATH, KeyDirectory().Text());
    {
        // A server that never answers fails the delivery in the time a
        // local delivery is given, not hours later.
        JexConfig config;
        int timeout = config.Value("Mail.LocalTimeout", 300);
        if (timeout <= 0) timeout = 300;
        session.SetAttr(JexSession::READ_TIMEOUT, timeout);
    }

    auto fail = [&](const char* step, int code, const char* context, JexException* cause,
                    int result) {
        ExcSetViaClone(X, JexExcArgs("separator"));
        ExcSetViaClone(REMOTE_SEND_FAIL, JexExcArgs(step, address));
        ExcSetViaClone(code, JexExcArgs(context, address), cause);
        session.Disconnect();
        return result;
    };

    JexNetMsg header;
    header.Type(kHeader);
    SetItem(header, 'V', kProtocolVersion);
    SetItem(header, 'a', Sender);
    SetItem(header, 'p', SrcPers);
    SetItem(header, 't', address);
    SetItem(header, 'r', ReplyTo);
    SetItem(header, 's', Subject);
    JexBuffer connectData;
    if (header.Encode(connectData) != JexNetMsg::kEncoded)
        return fail("message header", PUTMSGERR, "Encode() refused", nullptr, PUTMSGERR);

    JexBuffer acceptData;
    const int connected =
        session.Connect(kApplication, acids.Text(), nodes.Text(), connectData, acceptData);
    if (connected == JexSession::REJECT) {
        ExcSetViaClone(X, JexExcArgs("separator"));
        ExcSetViaClone(UNAVAILABLE, JexExcArgs("Connect() was rejected"), &session);
        History.GetFromSession(session);
        session.Disconnect();
        return UNAVAILABLE;
    }
    if (connected != 0) {
        History.GetFromSession(session);
        return fail("initial connection", CONNECT_FAIL, "Connect() failed", &session,
                    REMOTE_SEND_FAIL);
    }
    History.GetFromSession(session);

    for (int i = 0; i < LineCount; ++i) {
        JexNetMsg line;
        line.Type(kLine);
        SetItem(line, kLine, Body[i]);
        JexBuffer bytes;
        if (line.Encode(bytes) != JexNetMsg::kEncoded || session.PutMsg(bytes, 0) != 0)
            return fail("message delivery", PUTMSGERR, "PutMsg() failed", &session, PUTMSGERR);
    }

    JexNetMsg done;
    done.Type(kDone);
    if (session.PutMsg(done.Encode(), JexSession::kSynchronous) != 0)
        return fail("message completion", PUTMSGERR, "PutMsg(done) failed", &session, PUTMSGERR);

    JexBuffer replyBytes;
    if (session.GetMsg(replyBytes, 0) != 0)
        return fail("read message status", GETMSGERR, "GetMsg() failed", &session, GETMSGERR);

    JexNetMsg reply;
    reply.Decode(replyBytes);
    if (replyBytes.Length() == 0 || reply.Corrupt())
        return fail("message completion", CORRUPT_MESSAGE, "Server's response", nullptr,
                    REMOTE_SEND_FAIL);
    if (reply.Type() == kFailed) {
        ExcSetViaClone(X, JexExcArgs("separator"));
        ExcSetViaClone(REMOTE_SEND_FAIL, JexExcArgs("regular remote failure", address));
        JexTIEUnloadException(reply, *this, 0, 1);
        session.Disconnect();
        return REMOTE_SEND_FAIL;
    }
    if (reply.Type() == kOk) {
        RecordSuccess("Remote send worked OK", address);
        session.Disconnect();
        return OK;
    }
    return fail("regular remote failure", PROTOCOL_ERROR,
                "invalid response from server at termination", nullptr, REMOTE_SEND_FAIL);
}
