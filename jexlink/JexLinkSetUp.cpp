// The set-up of the support-network library: fills its seams with the code of its upper layers.
#include "jexlink/JexLinkSetUp.h"

#include <memory>

#include "jexlink/core/JexSeams.h"
#include "jexlink/messages/JexCatalogUserMessages.h"
#include "jexlink/modem/JexModemAPI.h"
#include "jexlink/transport/JexLocalIO.h"
#include "jexlink/transport/JexModemIO.h"
#include "jexlink/transport/JexNetIO.h"
#include "jexlink/transport/JexTcpIO.h"
#include "jexlink/transport/JexWirpelIO.h"
#include "jexlink/transport/JexX25IO.h"

namespace {

template <class Endpoint>
std::unique_ptr<JexNetIO> NewEndpoint() {
    return std::make_unique<Endpoint>();
}

struct LetterEndpoint {
    char letter;
    JexSeams::EndpointFactory factory;
};

constexpr LetterEndpoint kEndpoints[] = {
    {'D', &NewEndpoint<JexWirpelIO>}, {'L', &NewEndpoint<JexLocalIO>},
    {'M', &NewEndpoint<JexModemIO>},  {'T', &NewEndpoint<JexTcpIO>},
    {'X', &NewEndpoint<JexX25IO>},
};

}  // namespace

void JexLinkSetUp() {
    JexSeams::SetUserMessages(&JexCatalogUserMessages());
    JexSeams::SetModemClient(&JexModemAPI::NewClient);
    for (const LetterEndpoint& e : kEndpoints) JexSeams::SetEndpoint(e.letter, e.factory);
}
