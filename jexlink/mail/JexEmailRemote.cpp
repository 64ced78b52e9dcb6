// JexEmail::Send_Remote: delivery to the mail application of another system.
#include "jexlink/core/JexTrace.h"
#include "jexlink/mail/JexEmail.h"
#include "jexlink/mail/JexLocator.h"

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
    // This build has no session layer to reach the other system with.
    ExcSetViaClone(X, JexExcArgs("separator"));
    ExcSetViaClone(UNAVAILABLE, JexExcArgs("no session layer"));
    return UNAVAILABLE;
}
