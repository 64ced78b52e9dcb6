// Steps and the sequence that the four clients of "Jex_Sra" share.
#pragma once

#include <cstdint>
#include <memory>

#include "jexlink/core/JexString.h"
#include "jexlink/sra/JexSra.h"

class JexConfig;
class JexException;
class JexLogger;
class JexNetMsg;
class JexSession;
struct JexSraConnectItems;

// The client's history-log record, filled from the session as it stands
// (when there is one) and tagged as a metric record of the given role.
JexLogger* JexSraStartRecord(JexSession* session, const char* role);

// The default contact address: the user's name, "@" and the computer name
// up to its first ".".
JexString JexSraDefaultContact();

// The setting's text with its case flag, empty when absent.
void JexSraTakeSetting(JexConfig& config, const char* name, JexString& field);

// Seconds the clients wait for the server at most: the setting
// "SRA.ReplyTimeout", kSraDefaultReplyTimeout when absent or not positive.
inline constexpr int kSraDefaultReplyTimeout = 300;
int JexSraReplyTimeout(JexConfig& config);

// Sets the session's SRC_ACID, SRC_NODE and ROUTE_MAP (the route-map data
// file) and bounds its handshake by the time-out. Null when the session
// took all three; else the name of the refused attribute (the session then
// holds its error). A refusal is the client's failure: it never ends the
// process.
const char* JexSraPrepareSession(JexSession& session, const JexString& srcAcid,
                                 const JexString& srcNode, int timeout);

// After a successful connect: bounds every later wait for the server
// (received messages and the acknowledgement of a synchronous send).
void JexSraBoundWaits(JexSession& session, int timeout);

// Sends the failure notice: a failure message (type 'F') that carries the
// client's own error, with a synchronous send whose result does not matter.
void JexSraSendFailureNotice(JexSession& session, JexException& error);

// Item of a review's accept data: the work-unit count as text.
inline constexpr int kSraItemCount = '1';

// The work-unit count of a review's accept data: an integer literal
// (leading blanks and a sign, hexadecimal after 0x, octal after a leading
// 0), read up to the first character that does not fit and clamped to 32
// bits; no item or no digits give 0.
int32_t JexSraWorkUnitCount(const JexNetMsg& accept);

// Appends the text of a data message's line (item 68 up to its first NUL
// byte; nothing when absent) and a line feed.
void JexSraAppendLine(const JexNetMsg& data, JexString& text);

// Base of the four clients (create, augment, review, list fetch): their
// start and the one sequence every operation opens with (build the connect
// message, prepare the session, connect, decode the accept) and goes on
// with (send, await). Each client keeps its own handling of each outcome.
class JexSraClient : public JexSra {
public:
    ~JexSraClient() override;

protected:
    JexSraClient() = default;

    // The client's start: the suppress flags of the client and the session,
    // the history-log record of the role, the default contact, then the
    // settings "Local.Domain", "Remote.Domain", "Remote.Node", "Local.Node"
    // (and "Contact.EMailAddr" into `mailContact` when given) and the reply
    // time-out.
    void StartClient(JexSession* session, const char* role, JexString* mailContact = nullptr);
    // Writes and drops the history-log record (the client's destructor).
    void EndClient();

    // The connect items of the kind that every kind carries: the request's
    // subject, contact and SRQ_NUMERIC.
    JexSraConnectItems ConnectItems(int kind) const;

    enum class Opened { kConnected, kSessionRefused, kUnencodable, kConnectFailed, kRejected };
    // Over the held session (which must be there): builds the connect
    // message of the items, prepares the session (kSessionRefused, with the
    // refused attribute's name in `refused`), raises EVT_CONNHOST, encodes
    // (kUnencodable) and connects. The session's answer (the accept data,
    // or the reject data of kRejected) is decoded into `answer`. Once
    // connected, every later wait is bounded and EVT_CONNESTAB raised.
    Opened Open(const JexSraConnectItems& items, JexNetMsg& answer, const char*& refused);

    enum class Sent { kSent, kUnencodable, kPutFailed };
    // Encodes the message and sends it with the session's PutMsg flags.
    Sent Send(const JexNetMsg& message, int flags = 0);

    // The next message of the server decoded into `message`; false when the
    // session's GetMsg failed (`message` then holds what it left).
    bool Await(JexNetMsg& message);

    enum class Lines { kEnd, kLost, kCorrupt, kOther };
    // Awaits data messages, appending each one's line to `text`, until the
    // end message (kEnd); kLost when a wait failed, kCorrupt for a message
    // that does not decode, kOther for another type (left in `message`).
    Lines ReceiveLines(JexString& text, JexNetMsg& message);

    int replyTimeout_ = kSraDefaultReplyTimeout;  // seconds

private:
    std::unique_ptr<JexLogger> record_;  // logger_ of the base points at it
};
