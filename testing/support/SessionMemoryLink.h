// A session's gateway path in memory: byte pipes beneath the gateway and the opener that installs
// them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "jexlink/core/JexBuffer.h"
#include "jexlink/core/JexNetMsg.h"
#include "jexlink/session/JexSession.h"
#include "jexlink/transport/JexGateway.h"
#include "jexlink/transport/JexGatewayFrame.h"
#include "jexlink/transport/JexNetIO.h"

namespace tavro::testing {

// One direction of a link: bytes written at one end, read at the other. An
// unblocking pipe (a scripted peer, as a fuzz target has) ends the data at
// a read beyond what it holds, as a peer that hung up; a blocking one (two
// sessions on two threads) waits for the writer until it closes or the
// bound runs out.
class MemoryPipe {
public:
    explicit MemoryPipe(bool blocking = false) : blocking_(blocking) {}

    void Write(const char* p, size_t n) {
        std::lock_guard<std::mutex> hold(lock_);
        if (closed_) return;
        bytes_.append(p, n);
        changed_.notify_all();
    }
    // Exactly n bytes into p: false at the end of the data.
    bool Read(char* p, size_t n) {
        std::unique_lock<std::mutex> hold(lock_);
        if (blocking_)
            changed_.wait_for(hold, kBound, [&] { return closed_ || bytes_.size() - read_ >= n; });
        if (bytes_.size() - read_ < n) return false;
        std::memcpy(p, bytes_.data() + read_, n);
        read_ += n;
        return true;
    }
    // At least min and at most max bytes into p, as many as there are:
    // their count, or 0 (nothing taken) at the end of the data.
    size_t ReadAtLeast(char* p, size_t min, size_t max) {
        std::unique_lock<std::mutex> hold(lock_);
        if (blocking_)
            changed_.wait_for(hold, kBound,
                              [&] { return closed_ || bytes_.size() - read_ >= min; });
        const size_t there = bytes_.size() - read_;
        if (there < min || there == 0) return 0;
        const size_t got = std::min(max, there);
        std::memcpy(p, bytes_.data() + read_, got);
        read_ += got;
        return got;
    }
    // Between 1 and n bytes into p (0 at the end of the data).
    size_t ReadSome(char* p, size_t n) {
        std::unique_lock<std::mutex> hold(lock_);
        if (blocking_)
            changed_.wait_for(hold, kBound, [&] { return closed_ || bytes_.size() > read_; });
        const size_t got = std::min(n, bytes_.size() - read_);
        if (got) std::memcpy(p, bytes_.data() + read_, got);
        read_ += got;
        return got;
    }
    void Close() {
        std::lock_guard<std::mutex> hold(lock_);
        closed_ = true;
        changed_.notify_all();
    }
    // Everything written so far.
    std::string Bytes() {
        std::lock_guard<std::mutex> hold(lock_);
        return bytes_;
    }
    void Reset(const char* p, size_t n) {
        std::lock_guard<std::mutex> hold(lock_);
        bytes_.assign(p, n);
        read_ = 0;
        closed_ = false;
    }

private:
    static constexpr std::chrono::seconds kBound{20};
    const bool blocking_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::string bytes_;
    size_t read_ = 0;
    bool closed_ = false;
};

// The endpoint over two pipes: reads from `in`, writes to `out` (dropped
// when null). Disconnect closes both, so the peer sees the end.
class MemoryStreamIO : public JexNetIO {
public:
    MemoryStreamIO(MemoryPipe& in, MemoryPipe* out) : in_(&in), out_(out) { type_ = 'M'; }

    // Points the endpoint at other pipes and forgets its last error, as a
    // new one would be: a spare's reuse (MemoryEndpointSpare).
    void Renew(MemoryPipe& in, MemoryPipe* out) {
        in_ = &in;
        out_ = out;
        ExcSet(OK);
    }

    JexString strsockaddr(const char*) override { return JexString("memory"); }
    int GetData(char* p, int n, int& got, int) override {
        got = 0;
        if (n <= 0) return 0;
        if (!in_->Read(p, static_cast<size_t>(n))) return EndOfData("MemoryStreamIO::GetData");
        got = n;
        return 0;
    }
    int GetData(JexBuffer& b, const int n) override {
        b.SetLength(n > 0 ? n : 0);
        const size_t got = n > 0 ? in_->ReadSome(b.Data(), static_cast<size_t>(n)) : 0;
        b.SetLength(static_cast<int>(got));
        return got ? 0 : EndOfData("MemoryStreamIO::GetData");
    }
    // All that is there, up to max, in one read: a gateway's frame reader
    // then takes the records of a scripted peer in a call or two.
    int GetSome(char* p, int min, int max, int& got) override {
        got = 0;
        if (min <= 0) min = 1;
        if (max < min) max = min;
        const size_t n = in_->ReadAtLeast(p, static_cast<size_t>(min), static_cast<size_t>(max));
        if (n == 0) return EndOfData("MemoryStreamIO::GetSome");
        got = static_cast<int>(n);
        return 0;
    }
    int PutData(const char* p, int n, int) override {
        if (out_ && n > 0) out_->Write(p, static_cast<size_t>(n));
        return 0;
    }
    int Disconnect() override {
        if (out_) out_->Close();
        in_->Close();
        return 0;
    }

private:
    MemoryPipe* in_;
    MemoryPipe* out_;
};

// One endpoint kept from a memory transport that ended for the next one to
// take, so that a process that opens a link per run (a fuzz target) makes
// the endpoint (its descriptor's eventfd, its statistics) once. The
// gateway owns and deletes the transport; the endpoint beneath survives.
class MemoryEndpointSpare {
public:
    // The spare pointed at the pipes, or a new endpoint when there is none.
    std::unique_ptr<MemoryStreamIO> Take(MemoryPipe& in, MemoryPipe* out) {
        if (!spare_) return std::make_unique<MemoryStreamIO>(in, out);
        spare_->Renew(in, out);
        return std::move(spare_);
    }
    void Give(std::unique_ptr<JexNetIO> io) {
        spare_.reset(static_cast<MemoryStreamIO*>(io.release()));
    }

private:
    std::unique_ptr<MemoryStreamIO> spare_;
};

// A transport whose endpoint is a MemoryStreamIO: a new one, or the spare's
// (given back, disconnected, when the transport ends).
class MemoryTransport : public JexTransport {
public:
    MemoryTransport(MemoryPipe& in, MemoryPipe* out, MemoryEndpointSpare* spare = nullptr)
        : spare_(spare) {
        type_ = 'M';
        if (spare)
            endpoint_ = spare->Take(in, out);
        else
            endpoint_ = std::make_unique<MemoryStreamIO>(in, out);
        AttachEndpoint();
    }
    ~MemoryTransport() override {
        if (!spare_) return;
        std::unique_ptr<JexNetIO> io = DetachEndpoint();
        if (!io) return;
        io->Disconnect();
        spare_->Give(std::move(io));
    }

private:
    MemoryEndpointSpare* spare_;
};

// What a session's path opener (JexSession::SetPathOpener) puts beneath
// the gateway: the pipes, which end the session is, and whether the
// gateways hold their connection exchange first (a CONNECT from the
// caller, found through its route map, the answering gateway's own
// handshake with its HIT) or start running at once. The names are the
// server's: its access id, node and application.
struct MemoryPath {
    MemoryPipe* in = nullptr;
    MemoryPipe* out = nullptr;
    bool server = false;
    bool exchange = false;
    std::string routeMap;        // the answering gateway's route map file
    std::string callerRouteMap;  // the calling gateway's
    std::string acid = "srv", node = "snode", application = "Jex_Fuzz";
    MemoryEndpointSpare* spare = nullptr;  // where the endpoints come from, if any
};

// The opener: a client's gateway talks through side 1, a server's through
// side 0 as the end that accepted the connection; both end in RUN, or
// with the gateway's code when the exchange failed.
inline int OpenMemoryPath(JexGateway& gateway, void* context) {
    const auto* path = static_cast<const MemoryPath*>(context);
    if (path->exchange && !path->server) {
        // The caller's side: the gateway's own connect, its route map
        // lookup, CONNECT and the answers until the HIT, over the pipes
        // for whichever route it takes.
        gateway.routeMapFile = path->callerRouteMap.c_str();
        gateway.SetLegOpener(
            [](const JexNetAddr&, void* opened) -> JexTransport* {
                const auto* p = static_cast<const MemoryPath*>(opened);
                return new MemoryTransport(*p->in, p->out, p->spare);
            },
            context);
        return gateway.Connect(JexFieldedString(path->acid.c_str(), ','),
                               JexFieldedString(path->node.c_str(), ','),
                               JexString(path->application.c_str()));
    }
    const int side = path->server ? 0 : 1;
    gateway.AttachTransport(side, new MemoryTransport(*path->in, path->out, path->spare));
    if (path->exchange) {
        // Answered by the gateway itself, as after its Listen.
        gateway.ownAcids.Parse(path->acid.c_str());
        gateway.ownNodes.Parse(path->node.c_str());
        gateway.application = path->application.c_str();
        gateway.systemId = (path->acid + "/" + path->node).c_str();
        gateway.routeMapFile = path->routeMap.c_str();
        gateway.set_state(JexGateway::LWAIT);
        return gateway.incoming_handshake(0);
    }
    gateway.activeSide = side;
    gateway.acceptedHere = path->server ? 1 : 0;
    gateway.set_state(JexGateway::RUN);
    return 0;
}

// A transcript of what one end sent, as records: a session message
// carried in a gateway DATA record, or any other gateway record whole.
struct LinkRecord {
    bool raw = false;  // the bytes are a whole gateway record
    std::string bytes;
};

// The frames of a byte stream as records (a stream cut short ends them).
inline std::vector<LinkRecord> RecordsOfStream(const std::string& stream) {
    struct Source {
        const std::string& bytes;
        size_t at;
    } source{stream, 0};
    auto read = [](void* context, char* p, int n) {
        auto* s = static_cast<Source*>(context);
        if (s->bytes.size() - s->at < static_cast<size_t>(n)) return 1;
        std::memcpy(p, s->bytes.data() + s->at, static_cast<size_t>(n));
        s->at += static_cast<size_t>(n);
        return 0;
    };
    std::vector<LinkRecord> records;
    JexBuffer body;
    while (JexReadFrameFrom(read, &source, body) == kJexFrameOk) {
        JexNetMsg record;
        record.Decode(body);
        const JexBuffer& data = record[JexGateway::kData];
        if (!record.Corrupt() && record.Type() == JexGateway::kData && record.ItemCount() == 1 &&
            data.Data())
            records.push_back(
                {false, std::string(data.Data(), static_cast<size_t>(data.Length()))});
        else
            records.push_back({true, std::string(body.Data(), static_cast<size_t>(body.Length()))});
    }
    return records;
}

// Appends one record to stream as a gateway sends it, in a frame (as
// jex_write_frame lays it out); a DATA record travels in the net message's
// raw form, 'd' and the payload. Built by hand rather than through net
// messages, which keeps a fuzz target's feeding cheap; the tests check the
// bytes against what gateways wrote.
inline void AppendFrame(std::string& stream, bool raw, const char* bytes, size_t n) {
    const size_t body = n + (raw ? 0 : 1);
    if (body > static_cast<size_t>(kJexMaxFrameLength)) return;
    if (body >= 1 && body <= 0xFFFF) {
        stream += static_cast<char>(body & 0xFF);
        stream += static_cast<char>(body >> 8);
    } else {
        stream.append(2, '\0');
        for (int shift = 0; shift < 32; shift += 8)
            stream += static_cast<char>((body >> shift) & 0xFF);
    }
    stream += '\0';  // reserved
    if (!raw) stream += static_cast<char>(JexNetMsg::kRawMark);
    stream.append(bytes, n);
}

// The bytes of records as a gateway sends them, each in a frame.
inline std::string FramesOf(const std::vector<LinkRecord>& records) {
    std::string stream;
    for (const LinkRecord& record : records)
        AppendFrame(stream, record.raw, record.bytes.data(), record.bytes.size());
    return stream;
}

// Writes records to a pipe as frames.
inline void WriteRecords(MemoryPipe& pipe, const std::vector<LinkRecord>& records) {
    const std::string stream = FramesOf(records);
    pipe.Write(stream.data(), stream.size());
}

}  // namespace tavro::testing
