// A scripted "Jex_Sra" server for tests, and the client installation that reaches it.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "jexlink/core/JexConfig.h"
#include "jexlink/core/JexNetMsg.h"
#include "jexlink/messages/JexTIE.h"
#include "jexlink/session/JexSession.h"
#include "jexlink/sra/JexSra.h"
#include "jexlink/sra/JexSraProtocol.h"
#include "testing/support/ErrorChain.h"
#include "testing/support/JexConfigTestSupport.h"
#include "testing/support/SessionServer.h"
#include "testing/support/TempDir.h"

namespace tavro::testing {

// Messages the peer sends (each an encoded net message), then, with
// hang_up, the end of the connection.
struct SraPeerAnswer {
    std::vector<std::string> messages;
    bool hang_up = false;
};

// How the peer answers one connection.
struct SraPeerRow {
    enum class Connect { kAccept, kAcceptWithoutLimit, kAcceptEmpty, kReject };
    enum class Reply { kSuccess, kFailure, kCorrupt, kOtherType, kSilence, kHangUp };

    Connect connect = Connect::kAcceptWithoutLimit;
    uint32_t limit = 0;                         // kAccept: the size limit item
    int reject_code = JexSra::NOTVALIDVERSION;  // kReject: the error of the reject data
    Reply reply = Reply::kSuccess;
    std::string number = "SR-0001";         // kSuccess: the new request number
    int failure_code = JexSra::NODATAERR;   // kFailure: the server's error
    std::string failure_argument = "peer";  // kFailure: its first argument
    int other_type = kSraEnd;               // kOtherType: the reply's type

    // What follows an accepted connect: a request (new or augment: lines up
    // to the end message, then the reply above), reviews (each query 'Q'
    // answered with work_unit(number), until the client disconnects), or a
    // list (the list answer sent at once; then the peer waits for the
    // client to disconnect, recording what it sends).
    enum class Flow { kRequest, kReview, kList };
    Flow flow = Flow::kRequest;
    // kReview: the accept data holds the count text in item '1', or no item
    // when count_absent.
    std::string count = "1";
    bool count_absent = false;
    std::function<SraPeerAnswer(int unit)> work_unit;
    // kList: the answer.
    SraPeerAnswer list;
};

// What the peer saw of one connection.
struct SraPeerRecord {
    int listen = -1;                    // the server session's Listen result
    std::string connect;                // the client's connect data
    std::vector<std::string> messages;  // every data message, in order, as received
    bool ended = false;                 // the end-of-request message arrived
    int after_reply = -1;               // GetMsg's result after the reply (SHUT: hung up)
};

// A server of the application "Jex_Sra" for the domain "srv" and node
// "snode" on an ephemeral loopback port (SessionServer), which serves one
// connection at a time as a row says: it listens, accepts (with or without
// a size limit, or with empty accept data) or rejects, reads the data messages up to the end of the
// request, and answers with a success or failure reply, corrupt bytes,
// a message of another type, silence (it waits for the client to give up)
// or a hang-up. Every wait is bounded through SessionServer.
class SraPeer {
public:
    static constexpr const char* kDomain = "srv";
    static constexpr const char* kNode = "snode";

    bool Listening() const { return server_.Listening(); }
    std::string RouteLine() const { return server_.RouteLine(kDomain, kNode, kSraApplication); }

    // Serves the next connection as the row says. Call while no other
    // thread of the test runs (see SessionServer::Serve).
    // A connection that does not come within acceptBound is not served.
    bool Serve(const SraPeerRow& row, std::chrono::seconds acceptBound = std::chrono::seconds(30)) {
        record_ = SraPeerRecord();
        return server_.Serve([this, row](JexSession& s) { Answer(s, row); }, acceptBound);
    }
    bool Join(std::chrono::seconds bound = std::chrono::seconds(60)) { return server_.Join(bound); }
    bool Accepted() const { return server_.Accepted(); }
    // What the last connection brought; read after Join().
    const SraPeerRecord& Record() const { return record_; }

    // Encoded messages for answers: a line (type 'D', item 68, raw form),
    // the end message, a failure reply with the server's error of the code,
    // a message of a type without items, and bytes that do not decode.
    static std::string LineMessage(const std::string& text) {
        JexNetMsg msg(kSraData);
        msg[kSraItemLine] = JexBuffer(JexBufferBase(text.data(), static_cast<int>(text.size())));
        return Bytes(Encoded(msg));
    }
    static std::string EndMessage() { return Bytes(Encoded(JexNetMsg(kSraEnd))); }
    static std::string FailureMessage(int code) { return Bytes(ErrorImage(kSraFailure, code)); }
    static std::string TypeMessage(int type) { return Bytes(Encoded(JexNetMsg(type))); }
    static std::string CorruptMessage() {
        // Item 68 announces 9 bytes and holds 2.
        const char bytes[] = {kSraData, kSraItemLine, 9, 0, 0, 'a', 'b'};
        return std::string(bytes, sizeof bytes);
    }

private:
    static std::string Bytes(const JexBuffer& b) {
        return b.Data() ? std::string(b.Data(), static_cast<size_t>(b.Length())) : std::string();
    }
    static JexBuffer Encoded(const JexNetMsg& msg) {
        JexBuffer wire;
        (void)msg.Encode(wire);
        return wire;
    }
    static JexBuffer ErrorImage(int type, int code, const std::string& argument = "peer") {
        JexSra error;
        error.ExcSet(code, JexExcArgs("Jex_Sra peer", argument.c_str()));
        JexNetMsg image(type);
        JexTIELoadException(error, image);
        return Encoded(image);
    }

    void Answer(JexSession& s, const SraPeerRow& row) {
        s.SetAttr(JexSession::DST_NODE, kNode);
        s.SetAttr(JexSession::READ_TIMEOUT, 30);
        JexBuffer data;
        record_.listen = s.Listen(kSraApplication, kDomain, data);
        if (record_.listen != 0) return;
        record_.connect = Bytes(data);
        if (row.connect == SraPeerRow::Connect::kReject) {
            s.Reject(ErrorImage(kSraReject, row.reject_code));
            return;
        }
        JexNetMsg accept(row.flow == SraPeerRow::Flow::kReview ? 0 : kSraAccept);
        if (row.connect == SraPeerRow::Connect::kAccept)
            accept[kSraItemSizeLimit].SetLong(static_cast<int32_t>(row.limit));
        if (row.flow == SraPeerRow::Flow::kReview && !row.count_absent)
            accept['1'] = JexBuffer(row.count.c_str());
        const JexBuffer acceptData =
            row.connect == SraPeerRow::Connect::kAcceptEmpty ? JexBuffer() : Encoded(accept);
        if (s.Accept(acceptData) != 0) return;
        if (row.flow == SraPeerRow::Flow::kReview) return Review(s, row);
        if (row.flow == SraPeerRow::Flow::kList) {
            if (!Send(s, row.list)) return;
            return Drain(s);
        }

        for (;;) {
            JexBuffer in;
            const int rc = s.GetMsg(in, 0);
            if (rc == JexSession::SHUT) s.Disconnect();  // the client gave up
            if (rc != 0) return;
            record_.messages.push_back(Bytes(in));
            if (in.Length() == 1 && in.Data()[0] == kSraEnd) break;
        }
        record_.ended = true;

        switch (row.reply) {
            case SraPeerRow::Reply::kSuccess: {
                JexNetMsg reply;
                JexSraBuildSuccess(JexString(row.number.c_str()), reply);
                s.PutMsg(Encoded(reply), 0);
                break;
            }
            case SraPeerRow::Reply::kFailure:
                s.PutMsg(ErrorImage(kSraFailure, row.failure_code, row.failure_argument), 0);
                break;
            case SraPeerRow::Reply::kCorrupt: {
                const char bytes[] = {kSraSuccess, kSraItemLine, 9, 0, 0, 'S', 'R'};
                s.PutMsg(JexBuffer(JexBufferBase(bytes, sizeof bytes)), 0);
                break;
            }
            case SraPeerRow::Reply::kOtherType: {
                JexNetMsg reply(row.other_type);
                s.PutMsg(Encoded(reply), 0);
                break;
            }
            case SraPeerRow::Reply::kSilence: break;
            case SraPeerRow::Reply::kHangUp: s.Disconnect(); return;
        }
        // Until the client disconnects (or, after silence, gives up).
        JexBuffer in;
        record_.after_reply = s.GetMsg(in, 0);
        if (record_.after_reply == JexSession::SHUT) s.Disconnect();
    }

    // Sends an answer; false when it ended the connection.
    static bool Send(JexSession& s, const SraPeerAnswer& answer) {
        for (const std::string& m : answer.messages)
            s.PutMsg(JexBuffer(JexBufferBase(m.data(), static_cast<int>(m.size()))), 0);
        if (!answer.hang_up) return true;
        s.Disconnect();
        return false;
    }

    // Records what the client sends until it disconnects.
    void Drain(JexSession& s) {
        for (;;) {
            JexBuffer in;
            const int rc = s.GetMsg(in, 0);
            if (rc == JexSession::SHUT) s.Disconnect();
            if (rc != 0) return;
            record_.messages.push_back(Bytes(in));
        }
    }

    // Answers each query with the row's work unit until the client
    // disconnects; other messages (a failure notice) are only recorded.
    void Review(JexSession& s, const SraPeerRow& row) {
        for (;;) {
            JexBuffer in;
            const int rc = s.GetMsg(in, 0);
            if (rc == JexSession::SHUT) s.Disconnect();
            if (rc != 0) return;
            record_.messages.push_back(Bytes(in));
            JexNetMsg query;
            query.Decode(in);
            if (query.Corrupt() || query.Type() != kSraQuery) continue;
            const int unit = std::atoi(JexSraText(query[kSraItemWorkUnit]).Text());
            if (row.work_unit && !Send(s, row.work_unit(unit))) return;
        }
    }

    SessionServer server_;
    SraPeerRecord record_;
};

// The messages of a record decoded, in order. (A copied JexNetMsg keeps
// its items but not its type, so the elements are never copied.)
inline std::vector<JexNetMsg> DecodedMessages(const SraPeerRecord& record) {
    std::vector<JexNetMsg> out;
    out.reserve(record.messages.size());
    for (const std::string& m : record.messages) {
        out.emplace_back();
        out.back().Decode(m.data(), static_cast<int>(m.size()));
    }
    return out;
}

// The client side of an installation that reaches an SraPeer: the
// installation directory (its data and logs), the settings "Local.Domain"
// "cli", "Local.Node" "cnode", "Remote.Domain" and "Remote.Node" of the
// peer, the route map to the peer and the shared MD5 key (JEXCRYPTO_PATH).
// The platform state (registry) is the test process's, which child
// processes inherit.
class SraClientSetup {
public:
    explicit SraClientSetup(const SraPeer& peer) {
        const std::filesystem::path data = dir_.Path() / "data";
        std::filesystem::create_directories(data);
        std::filesystem::create_directories(dir_.Path() / "logs");
        std::filesystem::create_directories(dir_.Path() / "keys");
        ok_ = WriteInstallPath(dir_.Path().string()) &&
              WriteText(JexConfig::kApplications, "Local.Domain", "cli") &&
              WriteText(JexConfig::kApplications, "Local.Node", "cnode") &&
              WriteText(JexConfig::kApplications, "Remote.Domain", SraPeer::kDomain) &&
              WriteText(JexConfig::kApplications, "Remote.Node", SraPeer::kNode);
        WriteFile(data / "jex_route_map.dat", peer.RouteLine());
        WriteFile(dir_.Path() / "keys" / "MD5-CLI-SRV", "shared sra secret\n");
        setenv("JEXCRYPTO_PATH", (dir_.Path() / "keys").c_str(), 1);
    }

    bool Ok() const { return ok_; }
    const std::filesystem::path& Path() const { return dir_.Path(); }
    std::filesystem::path HistoryLog() const { return dir_.Path() / "logs" / "jex_history.log"; }
    std::filesystem::path Signature() const {
        return dir_.Path() / "data" / "jex_sra_signature.txt";
    }

private:
    TempDir dir_{"sra-client"};
    bool ok_ = false;
};

}  // namespace tavro::testing
