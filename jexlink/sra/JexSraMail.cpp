// JexSraSendMail: the confirmation mail of a service request.
#include "jexlink/sra/JexSraMail.h"

#include "jexlink/core/JexTrace.h"
#include "jexlink/mail/JexEmail.h"

void JexSraSendMail(JexException& request, const JexString& to, const JexString& subject,
                    const JexString& body) {
    JexTrace trace("R:\\JexSraMail.cxx", "JexSraSendMail", __LINE__);
    JexEmail mail(0);
    mail.SetSuppress(0);
    // The mail's errors reach the request, whose suppress flag keeps them.
    const JexHandlerScope reraise(&mail, JexException::ReraiseHandler, &request);
    mail.DstAddr = to;
    mail.DstAddr.SetCaseSensitive(to.CaseSensitive());
    mail.Subject = subject;
    mail.Subject.SetCaseSensitive(subject.CaseSensitive());
    mail.AddLine(body.Text());
    mail.Send();
}
