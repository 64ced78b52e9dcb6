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
