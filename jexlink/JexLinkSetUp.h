// The set-up of the support-network library: fills its seams with the code of its upper layers.
#pragma once

// Installs in JexSeams what the lower layers reach without including it:
// the message catalog's user messages, the modem library's connection as
// the modem endpoint's client, and the endpoint of every transport letter
// ('D' Wirpel, 'L' local pipe, 'M' modem, 'T' TCP, 'X' X.25). The library's
// entry (JEXLinkAPI), each program that links the library and the tests'
// main call it once, before their first connection; calling it again
// installs the same again (and undoes a test's replacement).
void JexLinkSetUp();
