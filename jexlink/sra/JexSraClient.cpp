// Steps that the augment, review and list-fetch clients of "Jex_Sra" share.
#include "jexlink/sra/JexSraClient.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "jexlink/core/JexConfig.h"
#include "jexlink/core/JexDataFilePath.h"
#include "jexlink/core/JexLogger.h"
#include "jexlink/core/JexNetMsg.h"
#include "jexlink/core/JexPlatform.h"
#include "jexlink/core/JexUtilities.h"
#include "jexlink/messages/JexTIE.h"
#include "jexlink/session/JexSession.h"
#include "jexlink/sra/JexSraProtocol.h"
#include "jexlink/transport/JexGateway.h"

JexLogger* JexSraStartRecord(JexSession* session, const char* role) {
    auto* record = new JexLogger;
    if (session) record->GetFromSession(*session);
    JexLogger& log = *record;
    log["Record-Type"] = "Metric";
    log["Current-Role"] = role;
    log["Application"] = kSraApplication;
    log["Description"] = "Connecting JexSra Server";
    log["Exit-Status"] = "SUCCESSFUL";
    return record;
}

JexString JexSraDefaultContact() {
    JexPlatform platform;
    JexString computer = platform.Field(1);
    const int dot = computer.FindChar('.');
    if (dot >= 0) computer = computer.Left(dot);
    return JexGetUserName() + "@" + computer;
}

void JexSraTakeSetting(JexConfig& config, const char* name, JexString& field) {
    const JexString& value = config.Value(name, "");
    field = value;
    field.SetCaseSensitive(value.CaseSensitive());
}

int JexSraReplyTimeout(JexConfig& config) {
    const int timeout = config.Value("SRA.ReplyTimeout", kSraDefaultReplyTimeout);
    return timeout > 0 ? timeout : kSraDefaultReplyTimeout;
}

const char* JexSraPrepareSession(JexSession& session, const JexString& srcAcid,
                                 const JexString& srcNode, int timeout) {
    session.SetAttr(JexSession::SRC_ACID, srcAcid.Text());
    if (session.Code() != 0) return "SRC_ACID";
    session.SetAttr(JexSession::SRC_NODE, srcNode.Text());
    if (session.Code() != 0) return "SRC_NODE";
    const JexString routeMap = JexDataFilePath("File.RouteMap", "data\\jex_route_map.dat");
    session.SetAttr(JexSession::ROUTE_MAP, routeMap.Text());
    if (session.Code() != 0) return "ROUTE_MAP";
    session.SetAttr(JexSession::READ_TIMEOUT, timeout);
    return nullptr;
}

void JexSraBoundWaits(JexSession& session, int timeout) {
    session.Gateway().SetReadTimeout(timeout);
}

void JexSraSendFailureNotice(JexSession& session, JexException& error) {
    // A message of its own, so the notice never carries another
    // operation's error.
    JexNetMsg notice(kSraFailure);
    JexTIELoadException(error, notice);
    JexBuffer wire;
    if (notice.Encode(wire) != JexNetMsg::kEncoded) return;
    (void)session.PutMsg(wire, JexSession::kSynchronous);
}

int32_t JexSraWorkUnitCount(const JexNetMsg& accept) {
    const JexBuffer& item = accept[kSraItemCount];
    // A copy ends the text at the item's end (or at a NUL inside it).
    const std::string text =
        item.Data() ? std::string(item.Data(), static_cast<size_t>(item.Length())) : std::string();
    const long long value = std::strtoll(text.c_str(), nullptr, 0);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

void JexSraAppendLine(const JexNetMsg& data, JexString& text) {
    const JexBuffer& line = data[kSraItemLine];
    if (line.Data() && line.Length() > 0) {
        const size_t length = strnlen(line.Data(), static_cast<size_t>(line.Length()));
        text += JexString::FromBytes(line.Data(), static_cast<int>(length));
    }
    text += '\n';
}

JexSraClient::~JexSraClient() { logger_ = nullptr; }

void JexSraClient::StartClient(JexSession* session, const char* role, JexString* mailContact) {
    SetSuppress(1);
    if (session) session->SetSuppress(1);
    record_.reset(JexSraStartRecord(session, role));
    logger_ = record_.get();

    contact_ = JexSraDefaultContact();
    JexConfig config;
    JexSraTakeSetting(config, "Local.Domain", src_acid_);
    JexSraTakeSetting(config, "Remote.Domain", dst_acid_);
    JexSraTakeSetting(config, "Remote.Node", dst_node_);
    JexSraTakeSetting(config, "Local.Node", src_node_);
    if (mailContact) JexSraTakeSetting(config, "Contact.EMailAddr", *mailContact);
    replyTimeout_ = JexSraReplyTimeout(config);
    session_ = session;
}

void JexSraClient::EndClient() {
    logger_ = nullptr;
    record_.reset();
}

JexSraConnectItems JexSraClient::ConnectItems(int kind) const {
    JexSraConnectItems items;
    items.kind = kind;
    items.contact = contact_;
    items.subject = subject_;
    items.numeric = numeric_;
    return items;
}

JexSraClient::Opened JexSraClient::Open(const JexSraConnectItems& items, JexNetMsg& answer,
                                        const char*& refused) {
    JexSession& session = *session_;
    JexNetMsg connect;
    JexSraBuildConnect(items, connect);
    // A refused attribute fails the request; it never ends the process.
    refused = JexSraPrepareSession(session, src_acid_, src_node_, replyTimeout_);
    if (refused) return Opened::kSessionRefused;

    ExcRaise(EVT_CONNHOST, JexExcArgs("", dst_acid_, dst_node_, kSraApplication));
    JexBuffer wire;
    if (connect.Encode(wire) != JexNetMsg::kEncoded) return Opened::kUnencodable;
    JexBuffer data;
    const int connected =
        session.Connect(kSraApplication, dst_acid_.Text(), dst_node_.Text(), wire, data);
    answer.Decode(data);
    if (connected == JexSession::REJECT) return Opened::kRejected;
    if (connected != 0) return Opened::kConnectFailed;
    JexSraBoundWaits(session, replyTimeout_);
    ExcRaise(EVT_CONNESTAB, JexExcArgs(""));
    return Opened::kConnected;
}

JexSraClient::Sent JexSraClient::Send(const JexNetMsg& message, int flags) {
    JexBuffer wire;
    if (message.Encode(wire) != JexNetMsg::kEncoded) return Sent::kUnencodable;
    if (session_->PutMsg(wire, flags) != 0) return Sent::kPutFailed;
    return Sent::kSent;
}

bool JexSraClient::Await(JexNetMsg& message) {
    JexBuffer data;
    const int received = session_->GetMsg(data, 0);
    message.Decode(data);
    return received == 0;
}

JexSraClient::Lines JexSraClient::ReceiveLines(JexString& text, JexNetMsg& message) {
    for (;;) {
        if (!Await(message)) return Lines::kLost;
        if (message.Corrupt()) return Lines::kCorrupt;
        if (message.Type() == kSraEnd) return Lines::kEnd;
        if (message.Type() != kSraData) return Lines::kOther;
        JexSraAppendLine(message, text);
    }
}
