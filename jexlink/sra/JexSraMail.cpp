// JexSraSendMail: the confirmation mail of a service request.
#include "jexlink/sra/JexSraMail.h"

#include "jexlink/core/JexTrace.h"
#include "jexlink/sra/JexSra.h"

void JexSraSendMail(JexException& request, const JexString& to, const JexString& subject,
                    const JexString& body) {
    JexTrace trace("R:\\JexSraMail.cxx", "JexSraSendMail", __LINE__);
    // The library has no mailer yet: the mail is reported as not delivered,
    // the way a failed send is re-raised on the request.
    JexSra failed;
    failed.ExcSet(JexSra::MAILERR, JexExcArgs("JexSraSendMail() no mailer", to, subject));
    (void)body;
    request.ExcRaise(JexException::kReraised, JexExcArgs("JexException::ReraiseHandler"), &failed);
}
