// Steps that the augment, review and list-fetch clients of "Jex_Sra" share.
#pragma once

#include <cstdint>

#include "jexlink/core/JexString.h"

class JexConfig;
class JexException;
class JexLogger;
class JexNetMsg;
class JexSession;

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
