// Session handshake: the client's and the server's side of start, acknowledgement,
// information and decision.
#include <ctime>

#include "jexlink/core/JexTime.h"
#include "jexlink/core/JexUtilities.h"
#include "jexlink/session/JexCrypto.h"
#include "jexlink/session/JexSession.h"
#include "jexlink/session/JexSessionItems.h"
#include "jexlink/session/rand128.h"

using jexsession::FirstByte;
using jexsession::ItemText;
using jexsession::Present;
using jexsession::SameBytes;
using jexsession::SetByte;
using jexsession::SetItem;
using jexsession::SigningNames;
using jexsession::testFlags;

namespace {

struct CrstartField {
    int item;
    const char* label;
};
// The items every start message must carry, in the order they are checked.
const CrstartField kCrstartFields[] = {
    {JexSession::kItemApplication, "CRSTART_msg[::Application]"},
    {JexSession::kItemAsymmetric, "CRSTART_msg[::Asymmetric]"},
    {JexSession::kItemAuthMethod, "CRSTART_msg[::AuthMethod]"},
    {JexSession::kItemChallenge, "CRSTART_msg[::Challenge]"},
    {JexSession::kItemCompression, "CRSTART_msg[::Compression]"},
    {JexSession::kItemData, "CRSTART_msg[::Data]"},
    {JexSession::kItemDate, "CRSTART_msg[::Date]"},
    {JexSession::kItemDstAcid, "CRSTART_msg[::DestAcId]"},
    {JexSession::kItemDstNode, "CRSTART_msg[::DestNode]"},
    {JexSession::kItemEncryption, "CRSTART_msg[::EncryptMethod]"},
    {JexSession::kItemLanguage, "CRSTART_msg[::Language]"},
    {JexSession::kItemPriority, "CRSTART_msg[::Priority]"},
    {JexSession::kItemSignature, "CRSTART_msg[::Signature]"},
    {JexSession::kItemSrcAcid, "CRSTART_msg[::SourceAcId]"},
    {JexSession::kItemSrcNode, "CRSTART_msg[::SourceNode]"},
    {JexSession::kItemSrcUser, "CRSTART_msg[::SourceUser]"},
    {JexSession::kItemVersion, "CRSTART_msg[::Version]"},
};

// The shorter of two waits in seconds, where 0 waits without limit.
int ShorterWait(int a, int b) {
    if (a <= 0) return b > 0 ? b : 0;
    return b > 0 && b < a ? b : a;
}

JexString CtimeText() {
    const time_t now = std::time(nullptr);
    char text[64] = {0};
    if (!ctime_r(&now, text)) return JexString("");
    return JexString(text);
}

}  // namespace

int JexSession::FailProtocol(const char* label) {
    DropGateway();
    return Fail(PROTOCOL, JexExcArgs(operation_, label ? JexExcArg(label) : JexExcArg()));
}

int JexSession::UnloadPeerError(const JexNetMsg& msg, const char* label) {
    const int code = UnloadException(msg, label);
    if (code > 0) return code;
    // A peer's failure that carries no error of ours (or none at all) is
    // still a failure: the carried error, if any, becomes the cause.
    if (code < 0) return ExcSet(UNKNOWNPEERERR, JexExcArgs(operation_), this);
    JexProtocol carried(kTextTable, "JexSession");
    carried.SetSuppress(1);
    if (Present(msg[kItemCause])) {
        JexNetMsg cause;
        cause.Decode(msg[kItemCause]);
        if (!cause.Corrupt() && carried.UnloadException(cause, label) != 0)
            return ExcSet(UNKNOWNPEERERR, JexExcArgs(operation_), &carried);
    }
    return ExcSet(UNKNOWNPEERERR, JexExcArgs(operation_));
}

void JexSession::AdoptReplyIdentity(const JexNetMsg& reply) {
    if (Present(reply[kItemDstUser])) dstUser_ = ItemText(reply[kItemDstUser]);
    if (Present(reply[kItemVersion])) serverVersion_.Parse(ItemText(reply[kItemVersion]));
}

int JexSession::client_handshake(const JexBuffer& connectData, JexBuffer& acceptData) {
    serverVersion_.Clear();
    JexBuffer challenge;
    if (authentication_ == NOAUTH || authentication_ == PASSWORD)
        SetByte(challenge, 0);
    else
        jex_random_fill(challenge, kChallengeSize, challengeSource_ ? challengeSource_ : rand128);
    JexNetMsg start;
    BuildCrstart(start, JexFormatTime(), challenge);
    JexCrypto* method = sign_msg(start);
    int rc = send_msg(start);
    if (rc != 0) return rc;
    set_state(CCI1);
    if (!method || method->Code() != 0) {
        set_state(ERROR);
        ExcSet(AUTHFAIL, JexExcArgs(operation_), CryptoMethod(0));
        send_authrej();
        return AUTHFAIL;
    }

    JexNetMsg ack;
    rc = RecvBounded(ack);
    if (rc != 0) return rc;
    AdoptReplyIdentity(ack);
    switch (ack.Type()) {
        case kCrFail:
            set_state(ERROR);
            return UnloadPeerError(ack, "JexSession::client_handshake/server error");
        case kCrAuthRej: set_state(AUTHFAIL1); return ExcSet(AUTHFAIL, JexExcArgs(operation_));
        case kCrBadKey: set_state(ERROR); return ExcSet(EKEYMISMATCH, JexExcArgs(operation_));
        case kCrAck: break;
        default: return FailProtocol();
    }
    if (jex_versions_differ(clientVersion_.Field(0), serverVersion_.Field(0))) {
        set_state(ERROR);
        ExcSet(BADVERSION, JexExcArgs(operation_, clientVersion_.Text(), serverVersion_.Text()));
        send_fail();
        return BADVERSION;
    }
    bool authenticated = SameBytes(ack[kItemResponse], challenge);
    if (authenticated) {
        JexCrypto* checked = check_msg(ack);
        authenticated = checked && checked->Code() == 0;
    }
    if (check_key_block(ack[kItemData]) != 0) return EKEYMISMATCH;
    set_state(CCI2);
    if (!authenticated || (testFlags & kTestAuth2)) {
        set_state(AUTHFAIL2);
        JexCrypto* first = CryptoMethod(0);
        ExcSet(AUTHFAIL, JexExcArgs(operation_), first && first->Code() != 0 ? first : nullptr);
        send_authrej();
        return AUTHFAIL;
    }

    JexNetMsg info(kCrInfo);
    SetItem(info[kItemData], connectData);
    SetItem(info[kItemDate], JexFormatTime());
    SetItem(info[kItemResponse], ack[kItemChallenge]);
    method = sign_msg(info);
    if (!method || method->Code() != 0) {
        ExcSet(AUTHFAIL, JexExcArgs(operation_), method);
        send_authrej();
        return AUTHFAIL;
    }
    rc = send_msg(info);
    if (rc != 0) return rc;
    set_state(CTS);

    JexNetMsg decision;
    rc = RecvBounded(decision);
    if (rc != 0) return rc;
    acceptData = decision[kItemData];
    if (Present(decision[kItemLanguage])) language_ = ItemText(decision[kItemLanguage]);
    switch (decision.Type()) {
        case kCrAccept: set_state(RUN); return ExcSet(OK, JexExcArgs(operation_));
        case kCrReject: set_state(REJECTED); return ExcSet(REJECT, JexExcArgs(operation_));
        case kCrAuthRej: set_state(AUTHFAIL3); return ExcSet(AUTHFAIL, JexExcArgs(operation_));
        default: return FailProtocol();
    }
}

int JexSession::server_handshake(JexBuffer& connectData) {
    set_state(SCIW);
    clientVersion_.Clear();
    JexNetMsg start;
    // The client sends its start message right after the gateway's CONNECT
    // exchange: the gateway's first-record bound holds for it too, so that a
    // caller that opened the path and says nothing holds a server that
    // serves one caller at a time no longer than one that never spoke.
    int rc = RecvWait(start, ShorterWait(BoundSeconds(), gateway_->FirstRecordTimeout()));
    if (rc != 0) return rc;
    if (start.Type() != kCrStart) return FailProtocol();
    for (const CrstartField& field : kCrstartFields) {
        if (!Present(start[field.item])) return FailProtocol(field.label);
    }

    application_ = ItemText(start[kItemApplication]);
    authentication_ = jex_text_code(kAuthenticationNames, ItemText(start[kItemAuthMethod]).Text());
    compression_ = jex_text_code(kCompressionNames, ItemText(start[kItemCompression]).Text());
    currentCompression_ = compression_;
    dstAcids_.Parse(ItemText(start[kItemDstAcid]));
    dstNodes_.Parse(ItemText(start[kItemDstNode]));
    encryption_ = jex_text_code(kEncryptionNames, ItemText(start[kItemEncryption]).Text());
    language_ = ItemText(start[kItemLanguage]);
    nodeAuth_ = start[kItemNodeAuth].GetLong() != 0;
    priority_ = FirstByte(start[kItemPriority]);
    srcAcids_.Parse(ItemText(start[kItemSrcAcid]));
    srcNodes_.Parse(ItemText(start[kItemSrcNode]));
    srcUser_ = ItemText(start[kItemSrcUser]);
    clientVersion_.Parse(ItemText(start[kItemVersion]));

    set_state(SCI1);
    if (jex_versions_differ(clientVersion_.Field(0), serverVersion_.Field(0))) {
        ExcSet(BADVERSION, JexExcArgs(operation_, clientVersion_.Text(), serverVersion_.Text()));
        send_fail();
        return BADVERSION;
    }
    rc = setup_compress(compression_);
    if (rc == 0) rc = setup_expand(currentCompression_);
    if (rc != 0) {
        send_fail();
        return rc;
    }
    JexFieldedString localAcid(',');
    localAcid[0] = dstAcids_.Field(0);
    JexFieldedString localNames = SigningNames(localAcid, nodeAuth_, dstNodes_);
    JexFieldedString remoteNames = SigningNames(srcAcids_, nodeAuth_, srcNodes_);
    rc = setup_auth(localNames, remoteNames);
    if (rc == 0) rc = setup_encrypt(dstAcids_.Field(0), srcAcids_.Field(0));
    if (rc != 0) {
        send_authrej();
        return rc;
    }
    JexCrypto* checked = check_msg(start);
    if (!checked || checked->Code() != 0 || (testFlags & kTestAuth1)) {
        send_authrej();
        set_state(AUTHFAIL1);
        return ExcSet(AUTHFAIL, JexExcArgs(operation_));
    }
    if (check_key_block(start[kItemData]) != 0) return EKEYMISMATCH;

    JexNetMsg ack(kCrAck);
    SetItem(ack[kItemDate], CtimeText());
    SetItem(ack[kItemApplication], application_);
    SetByte(ack[kItemAsymmetric], asymmetric_ ? 1 : 0);
    SetItem(ack[kItemAuthMethod], jex_code_text(kAuthenticationNames, authentication_));
    SetItem(ack[kItemResponse], start[kItemChallenge]);
    SetItem(ack[kItemDstUser], dstUser_);
    SetItem(ack[kItemVersion], serverVersion_);
    make_key_block(ack[kItemData]);
    JexBuffer challenge;
    if (authentication_ == NOAUTH || authentication_ == PASSWORD)
        SetByte(challenge, 0);
    else
        jex_random_fill(challenge, kChallengeSize, challengeSource_ ? challengeSource_ : rand128);
    SetItem(ack[kItemChallenge], challenge);
    sign_msg(ack);  // a failure shows on the client as an authentication failure
    if (asymmetric_ && FirstByte(start[kItemAsymmetric]) != 0) {
        ExcSet(BADSYMMETRY, JexExcArgs(operation_));
        ack.Type(kCrFail);
        LoadException(ack);
        rc = SendNotice(ack);
        return rc != 0 ? rc : BADSYMMETRY;
    }
    rc = send_msg(ack);
    if (rc != 0) return rc;
    set_state(SCI2);

    JexNetMsg info;
    rc = RecvBounded(info);
    if (rc != 0) return rc;
    switch (info.Type()) {
        case kCrFail:
            set_state(ERROR);
            return UnloadPeerError(info, "JexSession::server_handshake/recv CRFAIL");
        case kCrAuthRej:
            set_state(AUTHFAIL2);
            return ExcSet(AUTHFAIL, JexExcArgs("JexSession::server_handshake/recv CRAUTHREJ"));
        case kCrInfo: break;
        default: return FailProtocol();
    }
    bool authenticated = SameBytes(info[kItemResponse], challenge);
    if (authenticated) {
        JexCrypto* method = check_msg(info);
        authenticated = method && method->Code() == 0;
    }
    set_state(SCI3);
    if (!authenticated || (testFlags & kTestAuth3)) {
        ExcSet(AUTHFAIL, JexExcArgs(operation_));
        send_authrej();
        set_state(AUTHFAIL3);
        return AUTHFAIL;
    }
    set_state(STC);
    connectData = info[kItemData];
    return OK;
}
