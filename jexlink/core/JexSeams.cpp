// JexSeams: the one registry through which a lower layer of the library reaches code of a higher
// one.
#include "jexlink/core/JexSeams.h"

#include <atomic>

namespace {

constexpr int kLetters = 'Z' - 'A' + 1;

std::atomic<const JexUserMessages*> g_userMessages{nullptr};
std::atomic<JexSeams::ModemClientFactory> g_modemClient{nullptr};
std::atomic<JexSeams::EndpointFactory> g_endpoints[kLetters] = {};

bool IsLetter(int letter) { return letter >= 'A' && letter <= 'Z'; }

}  // namespace

const JexUserMessages& JexSeams::UserMessages() {
    const JexUserMessages* routines = g_userMessages.load();
    return routines ? *routines : JexUserMessages::Plain();
}

const JexUserMessages* JexSeams::SetUserMessages(const JexUserMessages* routines) {
    return g_userMessages.exchange(routines);
}

JexSeams::ModemClientFactory JexSeams::ModemClient() { return g_modemClient.load(); }

JexSeams::ModemClientFactory JexSeams::SetModemClient(ModemClientFactory factory) {
    return g_modemClient.exchange(factory);
}

JexSeams::EndpointFactory JexSeams::Endpoint(int letter) {
    return IsLetter(letter) ? g_endpoints[letter - 'A'].load() : nullptr;
}

JexSeams::EndpointFactory JexSeams::SetEndpoint(int letter, EndpointFactory factory) {
    return IsLetter(letter) ? g_endpoints[letter - 'A'].exchange(factory) : nullptr;
}
