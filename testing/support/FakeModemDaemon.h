// A fake modem daemon for tests: it keeps the daemon contract of jexlink/modem/README.md,
// scriptable per call.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "jexlink/modem/JexIpc.h"
#include "jexlink/modem/JexModemLineDb.h"
#include "jexlink/modem/JexTp2Frame.h"

namespace tavro::testing {

// What the daemon does at one stage of one call, in place of its normal
// answer (a CC, or for the server stage the server's own answer).
struct FakeModemStep {
    enum class Kind {
        kNormal,
        kDr,          // a DR with the reason pair
        kCorrupt,     // `bytes` as the answer
        kSilence,     // no answer at all
        kWrongTsap,   // a CC with `tsap` as its called TSAP
        kOtherFrame,  // a DC instead of a CC
        kOversize,    // a message larger than a box takes
    };
    Kind kind = Kind::kNormal;
    int reason = 0;
    int extReason = 0;
    int delayMs = 0;  // before the answer
    std::string tsap;
    std::string bytes;

    static FakeModemStep Dr(int r, int e, int delay = 0) {
        return {Kind::kDr, r, e, delay, {}, {}};
    }
    static FakeModemStep Delay(int ms) { return {Kind::kNormal, 0, 0, ms, {}, {}}; }
    static FakeModemStep Of(Kind k) { return {k, 0, 0, 0, {}, {}}; }
};

// The script of one call (one CR from a connection).
struct FakeModemCall {
    FakeModemStep local;
    FakeModemStep remote;
    FakeModemStep server;
    bool dropHeartbeats = false;    // neither heartbeats nor echoes are relayed
    bool ignoreDisconnect = false;  // a DR of either end is neither relayed nor answered
};

// One frame the daemon received, as it saw it.
struct FakeModemSeen {
    int code = 0;
    int srcRef = 0;
    int dstRef = 0;
    int tpduNr = 0;
    int reason = 0;
    int extReason = 0;
    int messageType = 0;  // of a DT's net message
    std::string item;     // a heartbeat's item 'h'
    std::string callingTsap;
    std::string calledTsap;
    std::string userData;  // all but a data message's
    std::string extraParameter;
    bool fromOriginator = false;  // which end sent it (a CR: the originator)
};

// A modem daemon in a thread of the test (Start) or as the main loop of a
// helper process (Serve). It registers its lines in the line database
// (Register, SetAttr, Update, and removes them when it ends), answers a CR
// with CC "Local Daemon" and CC "Remote Daemon", reserves the server in
// the server database, delivers the CR with non-zero references and the
// user data "dna|cna|sna" to the server's box, relays the server's CC, then
// relays frames by DST-REF both ways, relays a DR (answering it with a DC
// itself when the other end is gone) and unreserves the server. Every wait
// is bounded: the loop polls its box every 200 ms for the stop flag.
class FakeModemDaemon {
public:
    struct Line {
        std::string name;
        std::string type = "pots";
        std::string commbox;  // empty: the daemon's own box
        int speed = 9600;
    };

    // One line, "line1" of type "pots".
    FakeModemDaemon();
    explicit FakeModemDaemon(std::vector<Line> lines);
    ~FakeModemDaemon();
    FakeModemDaemon(const FakeModemDaemon&) = delete;
    FakeModemDaemon& operator=(const FakeModemDaemon&) = delete;

    // Registers the lines and starts the thread; false (with why on
    // standard error) when the box or a line could not be made.
    bool Start();
    // Registers the lines and serves on the calling thread until Stop.
    bool Serve();
    void Stop();

    // The calls to come, one per CR; past the script, every call is normal.
    void Script(std::vector<FakeModemCall> calls);
    // Closes the daemon's box: later writes into it fail.
    void CloseBox();

    enum class End { kOriginator, kServer };
    // Sends a DR with the pair to one end of the newest connection; the
    // DC that answers it is recorded, not relayed.
    bool SendDr(End end, int reason, int extReason);

    std::string BoxName() const { return box_name_; }
    std::vector<FakeModemSeen> Seen() const;
    // The heartbeat numbers seen from the server (beats) and from the
    // originator (echoes), in order.
    std::vector<int> Beats() const;
    std::vector<int> Echoes() const;
    // Calls answered so far (CRs received).
    int Calls() const { return calls_.load(); }

private:
    struct Connection;

    bool Setup();
    void Loop();
    void Handle(const JexBuffer& wire);
    void HandleRequest(JexTp2Frame& cr);
    // Sends as the step says; false when the step ends the call.
    bool Answer(JexIpc& box, const FakeModemStep& step, const char* tsap);
    void Relay(JexTp2Frame& frame, const JexBuffer& wire);
    Connection* ByRef(int ref, bool* toOriginator);
    void Record(const JexTp2Frame& frame, bool fromOriginator);
    std::vector<int> Heartbeats(bool echoes) const;
    int NextRef();

    std::vector<Line> lines_;
    std::vector<std::unique_ptr<JexModemLineDb>> registered_;
    std::unique_ptr<JexIpc> box_;
    std::string box_name_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> calls_{0};

    mutable std::mutex mutex_;  // guards what follows
    std::vector<FakeModemCall> script_;
    std::vector<std::unique_ptr<Connection>> connections_;
    std::vector<FakeModemSeen> seen_;
    std::vector<int> dr_sent_refs_;
    bool close_requested_ = false;
    std::string box_target_;  // the originator's box of the call in hand (daemon thread)
    int next_ref_ = 0x100;
};

}  // namespace tavro::testing
