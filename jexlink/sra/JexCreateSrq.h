// JexCreateSrq: the create-request adapter behind the director's native entry, and its status and
// error texts.
#pragma once

#include "jexlink/core/JexNetMsg.h"
#include "jexlink/core/JexString.h"

// The outcomes the director knows.
inline constexpr int kSrqAccepted = 0;
inline constexpr int kSrqNoContact = -1;
inline constexpr int kSrqCommunicationFailure = 6;
inline constexpr int kSrqOtherFailure = 8;

// Runs one new-request submission through the create client over a session
// of its own and returns the converted status (0, 6 or 8). The input
// message's items, when present and not empty, go into the request's
// attributes ('H' access number, 'B' subject, 'E' work-unit text: these
// three are read-only and keep the arguments' values; 'F' entity type, 'J'
// software version, 'G' operating system, 'D' contact, 'C' confirmation-mail
// address). The output message receives, on a failure, the request's error
// image, and in every case the attributes: 'A' source access id, 'H', 'I'
// the new request number, 'B', 'E', 'F', 'J', 'G', 'D', 'C'. Either message
// may be null.
int JexCreateSrq(const JexString& accessNumber, const JexString& subject, const JexString& body,
                 JexNetMsg* in, JexNetMsg* out);

// A request status (JexSra codes) folded into 0, 6 or 8: OK and the
// progress events EVT_CONNHOST to EVT_SUCCESS_CRE give 0; the size limit 8;
// connection, conversion, message-transfer, protocol and routing failures 6
// (the create client reports a server's error reply as UNKNOWNROUTINGCODE);
// every other value 8.
int JexConvertSraStatusToSrqStatus(int status);

// The error carried in the message's error image, rebuilt and described:
// "--- " and the error's text with its code name, then "\n  - " and each
// cause's. The string's case flag is 1.
JexString JexFormatErrorMsg(const JexNetMsg& msg);
