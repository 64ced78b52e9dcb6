// JexSraSendMail: the confirmation mail of a service request.
#pragma once

#include "jexlink/core/JexException.h"
#include "jexlink/core/JexString.h"

// Mails the body as one line to the address with the subject. A failure is
// re-raised on the request (code 4096 with the mail's error as cause), where
// its suppress flag leaves it only recorded; it never changes the request's
// result.
void JexSraSendMail(JexException& request, const JexString& to, const JexString& subject,
                    const JexString& body);
