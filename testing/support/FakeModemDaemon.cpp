// A fake modem daemon for tests: it keeps the daemon contract of jexlink/modem/README.md,
// scriptable per call.
#include "testing/support/FakeModemDaemon.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "jexlink/core/JexFieldedString.h"
#include "jexlink/core/JexNetMsg.h"
#include "jexlink/modem/JexModemServDb.h"
#include "jexlink/transport/JexNetAddr.h"
#include "platform/PlatformState.h"

namespace tavro::testing {

struct FakeModemDaemon::Connection {
    std::unique_ptr<JexIpc> originator;
    std::unique_ptr<JexIpc> server;
    std::unique_ptr<JexModemServDb> serverDb;
    int originatorRef = 0;
    int serverRef = 0;
    FakeModemCall call;
    bool ended = false;
};

namespace {

int Field(const JexTp2Frame& frame, int id) {
    int value = 0;
    return frame.GetAttr(id, value) == 0 ? value : 0;
}

std::string Bytes(const JexBufferBase& b) {
    return b.Data() ? std::string(b.Data(), static_cast<size_t>(b.Length())) : std::string();
}

std::string TextAttr(const JexTp2Frame& frame, int id) {
    JexBuffer value;
    frame.GetAttr(id, value);
    return Bytes(value);
}

bool Send(JexIpc& box, JexTp2Frame& frame) {
    const JexBuffer wire = frame.Encode();
    return box.PutMsg(wire, 0) == 0;
}

// A datagram larger than the library takes, written past the box's own
// limit straight to the socket.
void SendOversize(const std::string& boxName) {
    const std::string path = (platform::StateSubdir("commbox") / boxName).string();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    int size = 1 << 20;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    const std::string bytes(JexIpc::kMaxMessage + 1, 'x');
    sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&address),
           sizeof address);
    close(fd);
}

void Pause(int ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace

FakeModemDaemon::FakeModemDaemon()
    : FakeModemDaemon(std::vector<Line>{Line{"line1", "pots", "", 9600}}) {}

FakeModemDaemon::FakeModemDaemon(std::vector<Line> lines) : lines_(std::move(lines)) {}

FakeModemDaemon::~FakeModemDaemon() { Stop(); }

bool FakeModemDaemon::Setup() {
    box_ = std::make_unique<JexIpc>();
    if (box_->Code() != 0) {
        std::fprintf(stderr, "fake modem daemon: no box: %s\n", box_->FormattedText(1).Text());
        return false;
    }
    box_name_ = box_->Name().Text();
    for (const Line& line : lines_) {
        auto db = std::make_unique<JexModemLineDb>();
        db->Register(line.name.c_str(), static_cast<int32_t>(getpid()));
        db->SetAttr(JexModemLineDb::STATE, JexModemLineDb::kIdle);
        db->SetAttr(JexModemLineDb::ALLOWED_MODE, JexModemLineDb::kBoth);
        db->SetAttr(JexModemLineDb::CURRENT_MODE, 1);
        db->SetAttr(JexModemLineDb::MAXIMUM_LINK_COUNT, 4);
        db->SetAttr(JexModemLineDb::SPEED, line.speed);
        db->SetAttr(JexModemLineDb::NODE, "fakenode");
        db->SetAttr(JexModemLineDb::LINE_TYPE, line.type.c_str());
        db->SetAttr(JexModemLineDb::COMMBOX,
                    line.commbox.empty() ? box_name_.c_str() : line.commbox.c_str());
        db->Update();
        if (db->Code() != 0) {
            std::fprintf(stderr, "fake modem daemon: line %s: %s\n", line.name.c_str(),
                         db->FormattedText(1).Text());
            return false;
        }
        registered_.push_back(std::move(db));
    }
    return true;
}

bool FakeModemDaemon::Start() {
    if (!Setup()) return false;
    thread_ = std::thread([this] { Loop(); });
    return true;
}

bool FakeModemDaemon::Serve() {
    if (!Setup()) return false;
    Loop();
    return true;
}

void FakeModemDaemon::Stop() {
    stop_ = true;
    // Wakes the loop's read at once.
    if (!box_name_.empty()) {
        JexIpc self(box_name_.c_str());
        self.PutMsg(JexBuffer(), 0);
    }
    if (thread_.joinable()) thread_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    connections_.clear();
    registered_.clear();
    box_.reset();
}

void FakeModemDaemon::CloseBox() {
    std::lock_guard<std::mutex> lock(mutex_);
    close_requested_ = true;
}

void FakeModemDaemon::Script(std::vector<FakeModemCall> calls) {
    std::lock_guard<std::mutex> lock(mutex_);
    script_ = std::move(calls);
}

std::vector<FakeModemSeen> FakeModemDaemon::Seen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
}

std::vector<int> FakeModemDaemon::Beats() const { return Heartbeats(false); }

std::vector<int> FakeModemDaemon::Echoes() const { return Heartbeats(true); }

std::vector<int> FakeModemDaemon::Heartbeats(bool echoes) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<int> numbers;
    for (const FakeModemSeen& s : seen_)
        if (s.code == JexTp2Frame::kDT && s.messageType == 'H' && s.fromOriginator == echoes)
            numbers.push_back(s.tpduNr);
    return numbers;
}

int FakeModemDaemon::NextRef() {
    next_ref_ = next_ref_ >= 0xff00 ? 0x100 : next_ref_ + 1;
    return next_ref_;
}

void FakeModemDaemon::Loop() {
    JexBuffer wire;
    while (!stop_) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (close_requested_ && box_) box_.reset();
        }
        if (!box_) {
            Pause(20);
            continue;
        }
        const int result = box_->GetMsg(wire, 1, 1);
        if (stop_) break;
        if (result == JexIpc::TIMEOUT) continue;
        if (result != 0) {
            Pause(20);
            continue;
        }
        Handle(wire);
    }
}

void FakeModemDaemon::Record(const JexTp2Frame& frame, bool fromOriginator) {
    FakeModemSeen s;
    s.code = frame.FrameCode();
    s.srcRef = Field(frame, JexTp2Frame::SRC_REF);
    s.dstRef = Field(frame, JexTp2Frame::DST_REF);
    s.tpduNr = Field(frame, JexTp2Frame::TPDU_NR);
    s.reason = Field(frame, JexTp2Frame::REASON);
    s.extReason = Field(frame, JexTp2Frame::EXT_REASON);
    s.callingTsap = TextAttr(frame, JexTp2Frame::CALLING_TSAP);
    s.calledTsap = TextAttr(frame, JexTp2Frame::CALLED_TSAP);
    s.extraParameter = TextAttr(frame, JexTp2Frame::EXTRA_PARAMETER);
    s.fromOriginator = fromOriginator;
    const JexBuffer& userData = frame.UserData();
    // A data frame (its net message in the raw form, "d" and the data) is
    // recorded without its bytes: the record of a long run stays small, and
    // the relay does not copy each message twice more.
    const bool data =
        s.code == JexTp2Frame::kDT && userData.Length() > 0 && userData.Data()[0] == 'd';
    if (data) {
        s.messageType = 'D';
    } else {
        s.userData = Bytes(userData);
    }
    if (s.code == JexTp2Frame::kDT && !data) {
        JexNetMsg message;
        message.Decode(userData);
        s.messageType = message.Type();
        s.item = Bytes(message['h']);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    seen_.push_back(std::move(s));
}

void FakeModemDaemon::Handle(const JexBuffer& wire) {
    if (wire.Length() == 0) return;  // the wake-up of Stop
    JexTp2Frame frame;
    frame = wire;
    if (frame.Code() != 0) {
        Record(frame, false);
        return;
    }
    if (frame.FrameCode() == JexTp2Frame::kCR) {
        Record(frame, true);
        HandleRequest(frame);
        return;
    }
    Relay(frame, wire);
}

bool FakeModemDaemon::Answer(JexIpc& box, const FakeModemStep& step, const char* tsap) {
    Pause(step.delayMs);
    JexTp2Frame answer;
    switch (step.kind) {
        case FakeModemStep::Kind::kNormal:
            if (!tsap) return true;
            answer.SetFrameCode(JexTp2Frame::kCC);
            answer.SetAttr(JexTp2Frame::DST_REF, 0);
            answer.SetAttr(JexTp2Frame::SRC_REF, 0);
            answer.SetAttr(JexTp2Frame::CLASS, 2);
            answer.SetAttr(JexTp2Frame::OPTIONS, 1);
            answer.SetAttr(JexTp2Frame::CALLED_TSAP, JexBufferBase(tsap));
            Send(box, answer);
            return true;
        case FakeModemStep::Kind::kDr:
            answer.SetFrameCode(JexTp2Frame::kDR);
            answer.SetAttr(JexTp2Frame::DST_REF, 0);
            answer.SetAttr(JexTp2Frame::SRC_REF, 0);
            answer.SetAttr(JexTp2Frame::REASON, step.reason);
            answer.SetAttr(JexTp2Frame::EXT_REASON, step.extReason);
            Send(box, answer);
            return false;
        case FakeModemStep::Kind::kCorrupt:
            box.PutMsg(
                JexBuffer(JexBufferBase(step.bytes.data(), static_cast<int>(step.bytes.size()))),
                0);
            return false;
        case FakeModemStep::Kind::kSilence: return false;
        case FakeModemStep::Kind::kWrongTsap:
            answer.SetFrameCode(JexTp2Frame::kCC);
            answer.SetAttr(JexTp2Frame::DST_REF, 0);
            answer.SetAttr(JexTp2Frame::SRC_REF, 0);
            answer.SetAttr(JexTp2Frame::CLASS, 2);
            answer.SetAttr(JexTp2Frame::OPTIONS, 1);
            answer.SetAttr(JexTp2Frame::CALLED_TSAP, JexBufferBase(step.tsap.c_str()));
            Send(box, answer);
            return tsap != nullptr;
        case FakeModemStep::Kind::kOversize: SendOversize(box_target_); return false;
        case FakeModemStep::Kind::kOtherFrame:
            answer.SetFrameCode(JexTp2Frame::kDC);
            answer.SetAttr(JexTp2Frame::DST_REF, 0);
            answer.SetAttr(JexTp2Frame::SRC_REF, 0);
            Send(box, answer);
            return false;
    }
    return false;
}

void FakeModemDaemon::HandleRequest(JexTp2Frame& cr) {
    ++calls_;
    FakeModemCall call;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!script_.empty()) {
            call = script_.front();
            script_.erase(script_.begin());
        }
    }
    JexFieldedString calling(TextAttr(cr, JexTp2Frame::CALLING_TSAP).c_str(), '/');
    box_target_ = calling[1].Text();
    auto originator = std::make_unique<JexIpc>(calling[1].Text());
    if (originator->Code() != 0) return;
    if (!Answer(*originator, call.local, "Local Daemon")) return;
    if (!Answer(*originator, call.remote, "Remote Daemon")) return;
    if (call.server.kind != FakeModemStep::Kind::kNormal) {
        Answer(*originator, call.server, nullptr);
        return;
    }
    Pause(call.server.delayMs);

    const std::string dialed = Bytes(cr.UserData());
    JexNetAddr address(dialed.c_str(), '/');
    JexString type;
    JexString destination;
    JexString name;
    address.GetField(1, type);
    address.GetField(2, destination);
    address.GetField(4, name);
    auto refuse = [&](int reason, int extReason) {
        Answer(*originator, FakeModemStep::Dr(reason, extReason), "");
    };
    auto serverDb = std::make_unique<JexModemServDb>();
    serverDb->Reserve(name.Text(), static_cast<int32_t>(getpid()));
    if (serverDb->Code() != 0) return refuse(3, 4);
    JexString serverBox;
    serverDb->GetAttr(JexModemServDb::COMMBOX, serverBox);
    auto server = std::make_unique<JexIpc>(serverBox.Text());
    if (server->Code() != 0) return refuse(2, 4);

    auto connection = std::make_unique<Connection>();
    connection->originatorRef = NextRef();
    connection->serverRef = NextRef();
    connection->call = call;
    JexTp2Frame request;
    request = JexBuffer(cr.Encode());
    request.SetAttr(JexTp2Frame::SRC_REF, connection->originatorRef);
    request.SetAttr(JexTp2Frame::DST_REF, connection->serverRef);
    const std::string tsap = "l/" + box_name_ + "/" + std::to_string(getpid());
    request.SetAttr(JexTp2Frame::CALLING_TSAP, JexBufferBase(tsap.c_str()));
    const std::string addresses = dialed + "|M/" + std::string(type.Text()) + ".caller/|M/" +
                                  type.Text() + "." + destination.Text() + "/" + name.Text();
    request.UserData() = JexBuffer(JexBufferBase(addresses.c_str()));
    connection->originator = std::move(originator);
    connection->server = std::move(server);
    connection->serverDb = std::move(serverDb);
    JexIpc* serverBoxPtr = connection->server.get();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connections_.push_back(std::move(connection));
    }
    Send(*serverBoxPtr, request);
}

FakeModemDaemon::Connection* FakeModemDaemon::ByRef(int ref, bool* toOriginator) {
    for (auto it = connections_.rbegin(); it != connections_.rend(); ++it) {
        Connection* c = it->get();
        if (c->originatorRef == ref) {
            *toOriginator = true;
            return c;
        }
        if (c->serverRef == ref) {
            *toOriginator = false;
            return c;
        }
    }
    return nullptr;
}

void FakeModemDaemon::Relay(JexTp2Frame& frame, const JexBuffer& wire) {
    const int dst = Field(frame, JexTp2Frame::DST_REF);
    const int code = frame.FrameCode();
    std::unique_lock<std::mutex> lock(mutex_);
    bool toOriginator = false;
    Connection* c = ByRef(dst, &toOriginator);
    lock.unlock();
    Record(frame, c ? !toOriginator : false);
    if (!c) return;
    lock.lock();
    JexIpc* target = toOriginator ? c->originator.get() : c->server.get();
    JexIpc* sender = toOriginator ? c->server.get() : c->originator.get();
    const bool daemonsDr =
        code == JexTp2Frame::kDC &&
        std::find(dr_sent_refs_.begin(), dr_sent_refs_.end(), dst) != dr_sent_refs_.end();
    const FakeModemCall call = c->call;
    lock.unlock();
    if (daemonsDr) return;
    if (code == JexTp2Frame::kDT && call.dropHeartbeats) {
        JexNetMsg message;
        message.Decode(frame.UserData());
        if (message.Type() == 'H') return;
    }
    if (code == JexTp2Frame::kDR && call.ignoreDisconnect) return;
    const bool relayed = target && target->PutMsg(wire, 0) == 0;
    if (code == JexTp2Frame::kDR && !relayed && sender) {
        // The other end is gone: the daemon confirms itself.
        JexTp2Frame dc;
        dc.SetFrameCode(JexTp2Frame::kDC);
        dc.SetAttr(JexTp2Frame::SRC_REF, dst);
        dc.SetAttr(JexTp2Frame::DST_REF, Field(frame, JexTp2Frame::SRC_REF));
        Send(*sender, dc);
    }
    if (code == JexTp2Frame::kDR || code == JexTp2Frame::kDC) {
        lock.lock();
        if (!c->ended && c->serverDb) c->serverDb->Unreserve();
        c->ended = true;
    }
}

bool FakeModemDaemon::SendDr(End end, int reason, int extReason) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (connections_.empty()) return false;
    Connection& c = *connections_.back();
    const bool toOriginator = end == End::kOriginator;
    JexIpc* target = toOriginator ? c.originator.get() : c.server.get();
    const int targetRef = toOriginator ? c.originatorRef : c.serverRef;
    const int otherRef = toOriginator ? c.serverRef : c.originatorRef;
    JexTp2Frame dr;
    dr.SetFrameCode(JexTp2Frame::kDR);
    dr.SetAttr(JexTp2Frame::SRC_REF, otherRef);
    dr.SetAttr(JexTp2Frame::DST_REF, targetRef);
    dr.SetAttr(JexTp2Frame::REASON, reason);
    dr.SetAttr(JexTp2Frame::EXT_REASON, extReason);
    dr_sent_refs_.push_back(otherRef);
    return target && Send(*target, dr);
}

}  // namespace tavro::testing
