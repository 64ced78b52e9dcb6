// The modem byte-stream endpoint over the modem client.
#include "jexlink/transport/JexModemIO.h"

#include <algorithm>
#include <cstring>

#include "jexlink/core/JexSeams.h"
#include "jexlink/core/JexTrace.h"

namespace {

constexpr const char* kFile = "JexModemIO";

void PutWord(char* buffer, int32_t word) { std::memcpy(buffer, &word, sizeof word); }

int32_t GetWord(const char* buffer) {
    int32_t word = 0;
    std::memcpy(&word, buffer, sizeof word);
    return word;
}

}  // namespace

std::unique_ptr<JexModemClient> JexModemClient::Create() {
    const JexSeams::ModemClientFactory factory = JexSeams::ModemClient();
    return factory ? factory() : nullptr;
}

JexModemIO::JexModemIO() {
    JexTrace trace(kFile, "JexModemIO()", 98);
    client_ = JexModemClient::Create();
    if (!client_ || client_->Code() != 0) {
        // Recorded only: nobody can have registered a handler yet. The first
        // Connect or Listen raises it.
        ExcSet(CONNECTERR,
               JexExcArgs("construction of JexModemAPI object", "modem transport object"),
               client_.get());
        return;
    }
    client_->SetSuppress(1);
    usable_ = true;
    type_ = 'M';
    PutWord(calledBuffer_, JexModemClient::kCalledAddress);
    PutWord(callingBuffer_, JexModemClient::kCallingAddress);
}

JexModemIO::~JexModemIO() {
    JexTrace trace(kFile, "~JexModemIO()", 122);
    Disconnect();
    client_.reset();
}

int JexModemIO::PendingBytes() const {
    int n = 0;
    for (const auto& b : pending_) n += b->Length();
    return n;
}

int JexModemIO::Unusable() {
    return RaiseCode(CONNECTERR,
                     JexExcArgs("construction of JexModemAPI object", "modem transport object"),
                     client_.get());
}

int JexModemIO::FailClient(int code, const char* location, const char* text) {
    return RaiseCode(code, JexExcArgs(location, text), client_.get());
}

int JexModemIO::Accept(JexNetIO&) {
    JexTrace trace(kFile, "Accept()", 139);
    return RaiseCode(UNSUPPORTED, JexExcArgs("JexModemIO::Accept"));
}

int JexModemIO::Connect(const JexNetAddr& address) {
    JexTrace trace(kFile, "Connect()", 156);
    if (!usable_) return Unusable();
    JexString text;
    address.Format(text);
    client_->SetAttr(JexModemClient::kConnectParameter, 128);
    if (client_->Code() == 0) {
        client_->Connect(text.Text(), 0);
        if (client_->Code() == 0) return 0;
    }
    FailClient(CONNECTERR, "JexModemIO::Connect()", text.Text());
    return CONNECTERR;
}

int JexModemIO::CreateListener(const JexNetAddr&) {
    JexTrace trace(kFile, "CreateListener()", 201);
    return RaiseCode(UNSUPPORTED, JexExcArgs("JexModemIO::CreateListener"));
}

int JexModemIO::Disconnect() {
    JexTrace trace(kFile, "Disconnect()", 216);
    // A client already in error is not asked to disconnect.
    if (!ClientOk()) return 0;
    client_->Disconnect();
    if (client_->Code() != 0) return FailClient(MODEMERR, "JexModemIO::Disconnect");
    return 0;
}

int JexModemIO::GetData(JexBuffer&, const int) {
    JexTrace trace(kFile, "GetData(b,i)", 231);
    return RaiseCode(UNSUPPORTED, JexExcArgs("JexModemIO::GetData"));
}

int JexModemIO::GetData(char* p, int n, int& got, int wait) {
    JexTrace trace(kFile, "GetData(cp,i,i,i)", 254);
    got = 0;
    if (!usable_) return Unusable();
    while (got < n) {
        std::unique_ptr<JexBuffer> b;
        if (pending_.empty()) {
            b = std::make_unique<JexBuffer>();
            if (wait == 1)
                client_->GetMsg(*b, 1, setting9_);
            else
                client_->GetMsg(*b, 0, 0);
            const int code = client_->Code();
            if (code == JexModemClient::kTerminated || code == JexModemClient::kLinkAbort)
                return FailClient(END, "JexModemIO::GetData");
            if (code != 0) return FailClient(MODEMERR, "JexModemIO::GetData");
        } else {
            b = std::move(pending_.front());
            pending_.pop_front();
        }
        const int wanted = n - got;
        const int have = b->Length();
        if (have > wanted) {
            std::memcpy(p + got, b->Data(), static_cast<size_t>(wanted));
            got += wanted;
            b->Keep(wanted, have - wanted);
            pending_.push_front(std::move(b));
        } else {
            if (have > 0) std::memcpy(p + got, b->Data(), static_cast<size_t>(have));
            got += have;
        }
    }
    stats_.Increment(JexNetStats::kBytesReceived, static_cast<uint32_t>(got));
    stats_.Increment(JexNetStats::kMessagesReceived, 1);
    return 0;
}

int JexModemIO::Listen() {
    JexTrace trace(kFile, "Listen()", 352);
    if (!usable_) return Unusable();
    client_->Listen(nullptr);
    if (client_->Code() != 0) return FailClient(MODEMERR, "JexModemIO::Listen");
    calling_ = strsockaddr(callingBuffer_);
    called_ = strsockaddr(calledBuffer_);
    stats_.caller = calling_;
    stats_.callee = called_;
    return 0;
}

int JexModemIO::PutData(const char* p, int n, int) {
    JexTrace trace(kFile, "PutData()", 387);
    if (!usable_) return Unusable();
    const int size = ioSize_ > 0 ? ioSize_ : 1;
    for (int done = 0; done < n;) {
        const int chunk = std::min(n - done, size);
        JexBuffer message(p + done, chunk);
        client_->PutMsg(message, 0);
        if (client_->Code() != 0) return FailClient(MODEMERR, "JexModemIO::PutData");
        done += chunk;
    }
    stats_.Increment(JexNetStats::kBytesSent, static_cast<uint32_t>(n > 0 ? n : 0));
    stats_.Increment(JexNetStats::kMessagesSent, 1);
    return 0;
}

JexString JexModemIO::strsockaddr(const char* address) {
    JexTrace trace(kFile, "strsockaddr()", 423);
    if (!client_) return JexString("");
    JexString text("");
    client_->GetAttr(GetWord(address), text);
    if (client_->Code() != 0) {
        FailClient(MODEMERR, "JexModemIO::strsockaddr");
        return JexString("");
    }
    return text;
}
