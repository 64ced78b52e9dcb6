// The X.25 endpoint: it prepares a call and checks incoming calls, but the platform carries no data
// for it.
#include "jexlink/transport/JexX25IO.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kHeader = 4;

// Writes an address text after the buffer's 4-byte header, cut to fit.
void PutText(char* buffer, const JexString& text) {
    std::memset(buffer, 0, JexNetIO::kAddressSize);
    std::strncpy(buffer + kHeader, text.Text(), JexNetIO::kAddressSize - kHeader - 1);
}

}  // namespace

JexX25IO::JexX25IO() : dteClass_(""), calledDte_(""), subaddress_("") {
    type_ = 'X';
    stats_.name = "JexX25IO";
}

int JexX25IO::accept_call() {
    ExcSet(OK, JexExcArgs("JexX25IO::accept_call"));
    // No X.25 service tells the local and the called DTE here.
    const char* localDte = "";
    const char* calledDte = "";
    if (trace_ & kTraceCalls)
        std::fprintf(stderr, "Local DTE=%s, Called DTE=%s\n", localDte, calledDte);
    if (std::getenv("JEX_SKIP_DTE_CHECK"))
        std::fprintf(stderr, "Skipping DTE check due to environment variable\n");
    if (Code() != OK) {
        Raise();
        Disconnect();
    }
    return Code();
}

int JexX25IO::get_socknames(char*, int&, char*, int&) {
    JexNetAddr called('/');
    called.SetType('X');
    JexNetAddr calling('/');
    calling.SetType('X');
    calling.SetField(1, called[1]);
    called.SetField(4, JexString(called[4].Text()[0] ? called[4].Text() + 1 : ""));
    calling.SetField(4, "*");
    JexString text;
    PutText(calledBuffer_, called.Format(text));
    PutText(callingBuffer_, calling.Format(text));
    return 0;
}

JexString JexX25IO::strsockaddr(const char* address) {
    return JexString::FromBytes(
        address + kHeader, static_cast<int>(strnlen(address + kHeader, kAddressSize - kHeader)));
}

int JexX25IO::Accept(JexNetIO&) { return Unsupported("JexX25IO::Accept"); }

int JexX25IO::Connect(const JexNetAddr& address) {
    JexNetAddr fields(address);
    callingCall_ = 1;
    dteClass_ = fields[1];
    if (!*dteClass_.Text()) {
        const char* env = std::getenv("JEX_DEFAULT_DTE_CLASS");
        dteClass_ = env ? env : "jex-dte-class";
    }
    calledDte_ = fields[2];
    subaddress_ = fields[3];
    callUserData_ = JexBuffer();
    callUserData_ += static_cast<char>(0xFF);
    callUserData_ += JexBuffer(fields[4]);
    address.Format(called_);
    calling_ = "X/*/*";
    return Unsupported("JexX25IO::Connect");
}

int JexX25IO::CreateListener(const JexNetAddr&) {
    stats_.name = "JexX25IO Listener";
    return Unsupported("JexX25IO::CreateListener");
}

int JexX25IO::Listen() { return Unsupported("JexWirpelIO::Listen"); }
