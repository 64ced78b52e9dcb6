// JexSeams: the one registry through which a lower layer of the library reaches code of a higher
// one.
#pragma once

#include <memory>

#include "jexlink/core/JexUserMessages.h"

// Declared here only so that the registry can name their factories; the
// transport library defines them (JexModemClient.h, JexNetIO.h), and only
// code that includes those headers calls a factory.
class JexModemClient;
class JexNetIO;

// Where the library's lower layers call code they never include: the sink
// of the core's user messages (the message catalog's routines), the factory
// of the modem endpoint's client (the modem library's connection) and one
// factory per transport letter (the endpoint a JexTransport builds for an
// address of that type). Nothing fills it by itself: a program fills it
// once, before its first connection, through the set-up function of the
// top of the library (JexLinkSetUp, jexlink/JexLinkSetUp.h), which the
// library's entry, its programs and its test main call. A test replaces one
// slot and puts back what the setter returned.
//
// Every slot is read and written atomically, so a read from any thread sees
// a whole value; a slot is meant to be set while no connection is being
// made. An empty slot gives the core's plain user messages, no modem client
// and no endpoint for the letter (the transport's UNKNOWN).
class JexSeams {
public:
    using ModemClientFactory = std::unique_ptr<JexModemClient> (*)();
    using EndpointFactory = std::unique_ptr<JexNetIO> (*)();

    // The installed user-message routines, or the plain default.
    static const JexUserMessages& UserMessages();
    // Installs routines (null: the plain default); returns the ones replaced.
    static const JexUserMessages* SetUserMessages(const JexUserMessages* routines);

    // The modem client's factory, or null.
    static ModemClientFactory ModemClient();
    static ModemClientFactory SetModemClient(ModemClientFactory factory);

    // The endpoint factory of a transport letter ('A' to 'Z'), or null (also
    // for any other value).
    static EndpointFactory Endpoint(int letter);
    // Installs the factory of a letter; returns the one replaced. A value
    // outside 'A' to 'Z' installs nothing and returns null.
    static EndpointFactory SetEndpoint(int letter, EndpointFactory factory);
};
