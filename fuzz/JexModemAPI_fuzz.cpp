// Fuzz target of the modem connection: arbitrary messages as the daemon's answers to Connect, as
// requests to Listen and as frames of an open connection, through real boxes in a private state.
//
// Input: one byte that picks the road (0 Connect, 1 Listen, 2 an open
// connection), then up to eight messages, each a 16-bit big-endian length and
// its bytes.
// The messages are queued in the connection's own box before it reads, and
// a closing frame after them ends every road without a wait: a DR that
// refuses the call, or a valid request followed by the far side's DR.
//
// Reaches: the caller's wait for the daemon's answer to its connect (CC,
// DR, frames of no kind), the listener's reading and checking of a request,
// its answer, and the frames of an open connection (data, acknowledgements,
// the far side's DR) through real message boxes.
// Cannot reach: the modem daemon and its lines (the line's box drops what
// is written to it), waits that end by a time-out (every road ends on the
// closing frame), and more than eight messages (a box holds ten).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/ModemDbFuzzFiles.h"
#include "jexlink/modem/JexModemAPI.h"

namespace {

constexpr const char* kServer = "fuzzsrv";
// A box queues at most 10 messages (net.unix.max_dgram_qlen) before a send
// waits: the input's messages and the two of the harness must fit.
constexpr size_t kMaxMessages = 8;

struct State {
    std::unique_ptr<JexIpc> daemon;  // the line's box; what is written into it is dropped
    std::unique_ptr<JexModemLineDb> line;
};

State& Setup() {
    static State* state = [] {
        auto* s = new State();
        fuzz_support::ModemDbFile("File.Modem.VLDB", "lines.dat");
        fuzz_support::UsePrivateState();
        const std::string servers =
            (std::filesystem::path(std::getenv(platform::kStateDirVar)) / "servers.dat").string();
        if (!fuzz_support::SetSetting("File.Modem.VSDB", servers.c_str()) ||
            !fuzz_support::SetSetting("Modem.CRResponseWait", "1") ||
            !fuzz_support::SetSetting("Modem.DRResponseWait", "1") ||
            !fuzz_support::SetSetting("Modem.HeartbeatInterval", "3600"))
            std::abort();
        s->daemon = std::make_unique<JexIpc>();
        s->line = std::make_unique<JexModemLineDb>();
        s->line->Register("fuzzline", 1);
        s->line->SetAttr(JexModemLineDb::STATE, JexModemLineDb::kIdle);
        s->line->SetAttr(JexModemLineDb::ALLOWED_MODE, JexModemLineDb::kBoth);
        s->line->SetAttr(JexModemLineDb::CURRENT_MODE, 1);
        s->line->SetAttr(JexModemLineDb::MAXIMUM_LINK_COUNT, 1);
        s->line->SetAttr(JexModemLineDb::NODE, "fuzz");
        s->line->SetAttr(JexModemLineDb::LINE_TYPE, "pots");
        s->line->SetAttr(JexModemLineDb::COMMBOX, s->daemon->Name().Text());
        if (s->line->Update() != 0) std::abort();
        return s;
    }();
    return *state;
}

void Drain(JexIpc& box) {
    JexBuffer ignored;
    while (box.One_Pass_Read(ignored) == 0) {
    }
}

JexBuffer Dr(int reason, int extReason, int src, int dst) {
    JexTp2Frame dr;
    dr.SetFrameCode(JexTp2Frame::kDR);
    dr.SetAttr(JexTp2Frame::SRC_REF, src);
    dr.SetAttr(JexTp2Frame::DST_REF, dst);
    dr.SetAttr(JexTp2Frame::REASON, reason);
    dr.SetAttr(JexTp2Frame::EXT_REASON, extReason);
    return dr.Encode();
}

// A request the server accepts, answered into `box`.
JexBuffer ValidRequest(JexIpc& box) {
    JexTp2Frame cr;
    cr.SetFrameCode(JexTp2Frame::kCR);
    cr.SetAttr(JexTp2Frame::SRC_REF, 7);
    cr.SetAttr(JexTp2Frame::DST_REF, 9);
    cr.SetAttr(JexTp2Frame::CLASS, 2);
    cr.SetAttr(JexTp2Frame::OPTIONS, 1);
    const std::string tsap = std::string("l/") + box.Name().Text() + "/1";
    cr.SetAttr(JexTp2Frame::CALLING_TSAP, JexBufferBase(tsap.c_str()));
    cr.UserData() = JexBuffer(JexBufferBase((std::string("M/pots.x/") + kServer + "||").c_str()));
    return cr.Encode();
}

std::vector<JexBuffer> Messages(const uint8_t* data, size_t size) {
    std::vector<JexBuffer> messages;
    size_t at = 0;
    while (at + 2 <= size && messages.size() < kMaxMessages) {
        const size_t n = std::min<size_t>((size_t{data[at]} << 8) | data[at + 1], size - at - 2);
        messages.emplace_back(JexBufferBase(data + at + 2, static_cast<int>(n)));
        at += 2 + n;
    }
    return messages;
}

void Queue(JexModemAPI& api, const std::vector<JexBuffer>& messages) {
    JexIpc to(api.ApiCombox()->Name().Text());
    for (const JexBuffer& m : messages) to.PutMsg(m, 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    State& state = Setup();
    if (size < 1) return 0;
    const int road = data[0] % 3;
    std::vector<JexBuffer> messages = Messages(data + 1, size - 1);
    JexBuffer out;
    if (road == 0) {
        JexModemAPI client;
        messages.push_back(Dr(136, 0x42, 0, 0));
        Queue(client, messages);
        client.Connect("M/pots.dest/fuzzsrv", 0);
        // A connection that came up reads the refusal as the far side's DR.
        if (client.Gender() == 1)
            while (client.GetMsg(out, 1, 1) == 0) {
            }
    } else {
        JexIpc daemon;
        JexModemAPI server;
        if (road == 1) {
            messages.push_back(ValidRequest(daemon));
        } else {
            messages.insert(messages.begin(), ValidRequest(daemon));
        }
        messages.push_back(Dr(128, 1, 7, 9));
        Queue(server, messages);
        if (server.Listen(kServer) == 0)
            while (server.GetMsg(out, 1, 1) == 0) {
            }
    }
    Drain(*state.daemon);
    return 0;
}
