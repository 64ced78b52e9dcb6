// The Wirpel network endpoint: its addresses are recognised, but the platform carries no data for
// it.
#include "jexlink/transport/JexWirpelIO.h"

#include <cstring>

JexWirpelIO::JexWirpelIO() {
    type_ = 'D';
    stats_.name = "JexWirpelIO";
}

int JexWirpelIO::Unsupported(const char* location) {
    return RaiseCode(UNSUPPORTED, JexExcArgs(location));
}

JexString JexWirpelIO::strsockaddr(const char* address) {
    return JexString::FromBytes(address + 2,
                                static_cast<int>(strnlen(address + 2, kAddressSize - 2)));
}

int JexWirpelIO::Connect(const JexNetAddr&) { return Unsupported("JexWirpelIO::Connect"); }

int JexWirpelIO::CreateListener(const JexNetAddr&) {
    stats_.name = "JexWirpelIO Listener";
    return Unsupported("JexWirpelIO::CreateListener");
}

int JexWirpelIO::GetData(char*, int, int& got, int) {
    got = 0;
    return Unsupported("JexWirpelIO::GetData");
}

int JexWirpelIO::GetData(JexBuffer&, const int) { return Unsupported("JexWirpelIO::GetData"); }
