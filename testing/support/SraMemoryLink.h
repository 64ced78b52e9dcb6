// An in-memory stand-in for the session of a "Jex_Sra" server: scripted connect data and messages.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "jexlink/core/JexBuffer.h"
#include "jexlink/sra/JexSra.h"
#include "jexlink/sra/JexSraServer.h"

namespace tavro::testing {

// chunks[0] is the client's connect data, chunks[1] the session's PATH,
// every further chunk one message for a receive; when they run out the
// client has hung up (SHUT). The client's access id is `acid`. What the
// server sends is kept in `sent` ("A", "R" or "P" and the bytes) and handed
// to `sent_check`.
class SraMemoryLink : public JexSraServerLink {
public:
    std::vector<std::string> chunks;
    std::string acid = "cli";
    std::vector<std::string> sent;
    std::function<void(const JexBuffer&)> sent_check;
    int state = 0;  // 0 listening, 1 accepted, 2 rejected, 3 disconnected
    int code = 0;   // the session's error code (non-zero: it refuses its settings)

    void SetSuppress(int) override {}
    int SetAttr(JexSession::Attribute, const char*) override { return 0; }
    int GetAttr(JexSession::Attribute attribute, JexString& value) override {
        switch (attribute) {
            case JexSession::SRC_ACID: value = acid.c_str(); break;
            case JexSession::SRC_NODE: value = "cnode"; break;
            case JexSession::APPLICATION: value = "Jex_Sra"; break;
            case JexSession::PATH: value = chunks.size() > 1 ? chunks[1].c_str() : ""; break;
            default: value = ""; break;
        }
        return 0;
    }
    int Code() override { return code; }
    JexException& Error() override { return error_; }
    void FillLog(JexLogger&) override {}
    void BoundWaits() override {}
    int Listen(const char*, const char*, JexBuffer& data) override {
        if (chunks.empty()) return JexSession::SHUT;
        data = Buffer(chunks[0]);
        return 0;
    }
    int Accept(const JexBuffer& data) override { return Sent("A", data, 0, 1); }
    int Reject(const JexBuffer& data) override { return Sent("R", data, 0, 2); }
    int PutMsg(const JexBuffer& data, int) override { return Sent("P", data, 1, 1); }
    int GetMsg(JexBuffer& data, int) override {
        if (state != 1 || next_ >= chunks.size()) return JexSession::SHUT;
        data = Buffer(chunks[next_++]);
        return 0;
    }
    int Disconnect() override {
        state = 3;
        return 0;
    }

private:
    static JexBuffer Buffer(const std::string& bytes) {
        return JexBuffer(JexBufferBase(bytes.data(), static_cast<int>(bytes.size())));
    }
    int Sent(const char* kind, const JexBuffer& data, int from, int to) {
        if (sent_check) sent_check(data);
        if (state != from) return JexSession::WRONGSTATE;
        state = to;
        sent.push_back(
            kind + std::string(data.Data() ? data.Data() : "", static_cast<size_t>(data.Length())));
        return 0;
    }

    size_t next_ = 2;
    JexSra error_;
};

}  // namespace tavro::testing
