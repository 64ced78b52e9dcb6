// JexModemAPI::Connect and JexModemAPI::Listen: originating and answering a modem connection.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "jexlink/core/JexFieldedString.h"
#include "jexlink/core/JexTrace.h"
#include "jexlink/modem/JexModemAPI.h"
#include "jexlink/modem/JexModemAPIItems.h"

using jex_modem_api::Field;
using jex_modem_api::kFile;
using jex_modem_api::kText;
using jex_modem_api::Line;

namespace {

JexString AddressText(const JexNetAddr& address) {
    JexString text;
    address.Format(text);
    return text;
}

// The user data as text (up to its first NUL).
JexString UserText(const JexTp2Frame& frame) {
    const JexBuffer& data = frame.UserData();
    return JexString::FromBytes(data.Data(), data.Length());
}

// The three addresses "dna|cna|sna" of a CR or CC into the addresses.
void TakeAddresses(const JexTp2Frame& frame, JexNetAddr& dna, JexNetAddr& cna, JexNetAddr& sna) {
    JexFieldedString fields('|');
    fields.Parse(UserText(frame));
    dna.Parse(fields[0]);
    cna.Parse(fields[1]);
    sna.Parse(fields[2]);
}

}  // namespace

int JexModemAPI::ReadConfirmation(JexBuffer& wire, int remaining) {
    return api_combox->GetMsg(wire, 1, remaining);
}

int JexModemAPI::Connect(const char* address, int speed) {
    JexTrace trace(kFile, "Connect()", __LINE__);
    if (gender != 0) {
        Line(kText, "Connect(): Gender can not be changed!!\n");
        return Fail(DOUBLE_INIT, "Double init");
    }
    if (!address) {
        Line(kText, "Connect(): missing dialed network address\n");
        return Fail(MISSING_PARAMETER, "Dialed network address");
    }
    JexNetAddr dialed(address, '/');
    if (dialed.GetType() != 'M') {
        Line(kText, "Connect(): invalid dialed network address\n");
        return Fail(BAD_NET_ADDR, "invalid DNA");
    }
    if (!api_combox || api_combox->Code() != 0)
        return Fail(API_COMMBOX_ERROR, "new JexIpc()", api_combox.get());
    dna = dialed;
    JexString lineType;
    JexString destination;
    dialed.GetField(1, lineType);
    dialed.GetField(2, destination);
    dialed.GetField(4, application);
    requested_speed = speed;
    JexFieldedString skipList(' ');
    JexTp2Frame frame;
    int remaining = cr_response_wait;
    for (;;) {
        const Stage stage = AttemptLine(destination, lineType, skipList, frame, remaining);
        if (stage == Stage::kFailed) return Code();
        if (stage == Stage::kDone) break;
    }
    Complete(frame);
    return Succeed();
}

JexModemAPI::Stage JexModemAPI::AttemptLine(const JexString& destination, const JexString& lineType,
                                            JexFieldedString& skipList, JexTp2Frame& frame,
                                            int& remaining) {
    const std::string dialed = AddressText(dna).Text();
    line_db = std::make_unique<JexModemLineDb>();
    line_db->Reserve(destination.Text(), requested_speed, lineType.Text(), 1, skipList);
    if (line_db->Code() != 0) {
        Line(kText, "Connect(): No qualified modem line\n");
        Fail(NO_LINE_AVAIL, "No qualified modem line");
        return Stage::kFailed;
    }
    JexString lineName;
    JexString commbox;
    line_db->GetAttr(JexModemLineDb::LINE_NAME, lineName);
    daemon_combox.reset();
    line_db->GetAttr(JexModemLineDb::COMMBOX, commbox);
    daemon_combox = std::make_unique<JexIpc>(commbox.Text());
    auto skip = [&] {
        Line(kText, "   ...skipping this line\n");
        skipList[skipList.Count()] = lineName;
        return Stage::kSkipLine;
    };
    if (daemon_combox->Code() != 0) {
        Line(kText, "Connect(): Open daemon commbox error, commbox is <%s> for line %s\n",
             commbox.Text(), lineName.Text());
        return skip();
    }
    std::fprintf(stderr, "Attached to line %s for connection to %s\n", lineName.Text(),
                 dialed.c_str());

    // The connection request.
    JexTp2Frame request;
    ConnectionRequest(request);
    const JexBuffer requestWire = request.Encode();
    const int sent = daemon_combox->PutMsg(requestWire, 0);
    if (sent != 0) {
        Line(kText, "Connect(): send CR error - %d\n", sent);
        return skip();
    }
    Line(kText, "Connect(): send a CR to Server\n");
    jex_modem_api::Dump(kTraceSent, "\xABs\xBB send a CR to Server\n", request);

    // First confirmation: the local daemon.
    JexBuffer wire;
    long long start = JexModemAPI::Now();
    Line(kText, "Connect(): wait for 1st CC, time = %d\n", remaining);
    int result = ReadConfirmation(wire, remaining);
    if (result == JexIpc::TIMEOUT) {
        std::fputs("  Timeout waiting for response!\n", stderr);
        Line(kText, "Connect(): timeout, skip this daemon\n");
        skipList[skipList.Count()] = lineName;
        return Stage::kSkipLine;
    }
    if (result != 0) {
        std::fputs("  Read error in local response!\n", stderr);
        Line(kText, "Connect(): read 1st CC error - %d\n", result);
        Fail(IPC_READ_ERROR, "Read 1st CC error", api_combox.get());
        return Stage::kFailed;
    }
    frame = wire;
    jex_modem_api::Dump(kTraceReceived, "\xABr\xBB Connect(): read 1st CC frame\n", frame);
    if (frame.Code() != 0) {
        std::fputs("  Local response corrupt!\n", stderr);
        Line(kText, "Connect(): corrupted frame (1)\n");
        Fail(CORRUPT_DATA_FRAME, "Corrupted frame");
        return Stage::kFailed;
    }
    JexBuffer tsap;
    if (frame.FrameCode() == JexTp2Frame::kDR) {
        dr_reason = Field(frame, JexTp2Frame::REASON);
        dr_ext_reason = Field(frame, JexTp2Frame::EXT_REASON);
        const int code = check_reason(dr_reason, dr_ext_reason);
        if (code == DAEMON_LINK_FULL || code == DISCONNECTED || code == OPTION_NOT_SUPPORTED ||
            code == OPERATION_NOT_ALLOWED) {
            std::fputs("  Daemon can't take us now, skipping...\n", stderr);
            line_db->GetAttr(JexModemLineDb::LINE_NAME, lineName);
            skipList[skipList.Count()] = lineName;
            return Stage::kSkipLine;
        }
        std::fputs("  Error with this daemon!\n", stderr);
        return Stage::kFailed;
    }
    if (frame.FrameCode() == JexTp2Frame::kCC) {
        frame.GetAttr(JexTp2Frame::CALLED_TSAP, tsap);
        if (!(tsap == "Local Daemon")) {
            std::fputs("  Protocol absence in response!\n", stderr);
            Line(kText, "Connect(): protocol error, CC not from local daemon\n");
            Fail(PROTOCOL_ERROR, "CC not from local daemon");
            return Stage::kFailed;
        }
        std::fputs("  Local modem line responding, waiting for remote connection\n", stderr);
    } else {
        std::fputs("  Protocol error in response!\n", stderr);
        Line(kText, "Connect(): protocol error, CC or DR is expected (1)\n");
        Fail(PROTOCOL_ERROR, "Only CC or DR is expected (1)");
        return Stage::kFailed;
    }
    remaining -= static_cast<int>(JexModemAPI::Now() - start);
    if (remaining <= 0) {
        std::fputs("  Timeout waiting for 2nd response!\n", stderr);
        Line(kText, "Connect(): Out of time for 2nd CC\n");
        Fail(TIMEOUT, "Out of time for 2nd CC");
        return Stage::kFailed;
    }

    if (const Stage stage = AwaitRemoteDaemon(wire, frame, remaining); stage != Stage::kDone)
        return stage;
    return AwaitServer(wire, frame, remaining);
}

void JexModemAPI::ConnectionRequest(JexTp2Frame& request) {
    request.SetFrameCode(JexTp2Frame::kCR);
    request.UserData() = JexBuffer(AddressText(dna));
    request.SetAttr(JexTp2Frame::SRC_REF, src_ref);
    request.SetAttr(JexTp2Frame::DST_REF, dst_ref);
    request.SetAttr(JexTp2Frame::CLASS, tp_class);
    request.SetAttr(JexTp2Frame::OPTIONS, tp_options);
    request.SetAttr(JexTp2Frame::CALLED_TSAP, JexBufferBase(""));
    const std::string calling =
        std::string("l/") + api_combox->Name().Text() + "/" + std::to_string(getpid());
    request.SetAttr(JexTp2Frame::CALLING_TSAP, JexBufferBase(calling.c_str()));
    request.SetAttr(JexTp2Frame::PRIORITY, tp_priority);
    request.SetAttr(JexTp2Frame::TPDU_SIZE, tp_tpdu_size);
    request.SetAttr(JexTp2Frame::VERSION, tp_version);
    request.SetAttr(JexTp2Frame::ADD_OPTION, tp_add_option);
    unsigned char throughput[12];
    for (int i = 0; i < 4; ++i) {
        throughput[3 * i] = static_cast<unsigned char>((requested_speed >> 16) & 0xff);
        throughput[3 * i + 1] = static_cast<unsigned char>((requested_speed >> 8) & 0xff);
        throughput[3 * i + 2] = static_cast<unsigned char>(requested_speed & 0xff);
    }
    request.SetAttr(JexTp2Frame::EXTRA_PARAMETER, JexBufferBase(throughput, 12));
}

// Second confirmation: the remote daemon.
JexModemAPI::Stage JexModemAPI::AwaitRemoteDaemon(JexBuffer& wire, JexTp2Frame& frame,
                                                  int& remaining) {
    const long long start = JexModemAPI::Now();
    Line(kText, "Connect(): wait for 2nd CC, time = %d\n", remaining);
    const int result = ReadConfirmation(wire, remaining);
    if (result == JexIpc::TIMEOUT) {
        std::fputs("  Read timeout waiting for 2nd response!\n", stderr);
        Line(kText, "Connect(): wait for 2nd CC timeout\n");
        Fail(TIMEOUT, "Read 2nd CC timeout");
        return Stage::kFailed;
    }
    if (result != 0) {
        std::fputs("  Read error for 2nd response!\n", stderr);
        Line(kText, "Connect(): wait for 2nd CC error - %d\n", result);
        Fail(IPC_READ_ERROR, "Read 2nd CC error", api_combox.get());
        return Stage::kFailed;
    }
    frame = wire;
    jex_modem_api::Dump(kTraceReceived, "\xABr\xBB Connect(): read 2nd CC frame\n", frame);
    if (frame.Code() != 0) {
        std::fputs("  Corrupt 2nd response!\n", stderr);
        Fail(CORRUPT_DATA_FRAME, "Corrupted frame");
        return Stage::kFailed;
    }
    if (frame.FrameCode() == JexTp2Frame::kDR) {
        dr_reason = Field(frame, JexTp2Frame::REASON);
        dr_ext_reason = Field(frame, JexTp2Frame::EXT_REASON);
        check_reason(dr_reason, dr_ext_reason);
        std::fprintf(stderr, "  Failed accessing remote daemon with {%d,0x%x}\n    [%s]\n",
                     dr_reason.load(), static_cast<unsigned>(dr_ext_reason.load()),
                     FormattedText(1).Text());
        return Stage::kFailed;
    }
    if (frame.FrameCode() != JexTp2Frame::kCC) {
        std::fputs("  Protocol error in remote daemon response!\n", stderr);
        Line(kText, "Connect(): protocol error, only CC or DR is expected (2)\n");
        Fail(PROTOCOL_ERROR, "Only CC or DR is expected (2)");
        return Stage::kFailed;
    }
    JexBuffer tsap;
    frame.GetAttr(JexTp2Frame::CALLED_TSAP, tsap);
    if (!(tsap == "Remote Daemon")) {
        std::fputs("  Content error in remote daemon response!\n", stderr);
        Line(kText, "Connect(): protocol error, CC not from remote daemon\n");
        Fail(PROTOCOL_ERROR, "CC not from Remote Daemon");
        return Stage::kFailed;
    }
    std::fputs("  Remote side responding, waiting for remote server\n", stderr);
    remaining -= static_cast<int>(JexModemAPI::Now() - start);
    if (remaining <= 0) {
        Line(kText, "Connect(): run out time for 3rd CC\n");
        std::fputs("  No time left for server response!\n", stderr);
        Fail(TIMEOUT, "Run out time for 3rd CC");
        return Stage::kFailed;
    }
    return Stage::kDone;
}

// Third confirmation: the server.
JexModemAPI::Stage JexModemAPI::AwaitServer(JexBuffer& wire, JexTp2Frame& frame, int remaining) {
    Line(kText, "Connect(): wait for 3rd CC, time = %d\n", remaining);
    const int result = ReadConfirmation(wire, remaining);
    if (result == JexIpc::TIMEOUT) {
        std::fputs("  Timeout waiting for server response!\n", stderr);
        Line(kText, "Connect(): wait for 3rd CC timeout\n");
        Fail(TIMEOUT, "Wait for 3rd CC timeout");
        return Stage::kFailed;
    }
    if (result != 0) {
        std::fputs("  Read error on server response!\n", stderr);
        Line(kText, "Connect(): wait for 3rd CC error %d\n", result);
        Fail(IPC_READ_ERROR, "JexIpc()::GetMsg", api_combox.get());
        return Stage::kFailed;
    }
    frame = wire;
    jex_modem_api::Dump(kTraceReceived, "\xABr\xBB Connect(): read 3rd CC frame\n", frame);
    if (frame.Code() != 0) {
        std::fputs("  Corrupt server response frame!\n", stderr);
        Fail(CORRUPT_DATA_FRAME, "3rd CC");
        return Stage::kFailed;
    }
    if (frame.FrameCode() == JexTp2Frame::kDR) {
        dr_reason = Field(frame, JexTp2Frame::REASON);
        dr_ext_reason = Field(frame, JexTp2Frame::EXT_REASON);
        check_reason(dr_reason, dr_ext_reason);
        std::fprintf(stderr, "  Failed accessing remote server with {%d,0x%x}\n    [%s]\n",
                     dr_reason.load(), static_cast<unsigned>(dr_ext_reason.load()),
                     FormattedText(1).Text());
        return Stage::kFailed;
    }
    if (frame.FrameCode() != JexTp2Frame::kCC) {
        std::fputs("  Protocol error on server response!\n", stderr);
        Line(kText, "Connect(): protocol error, only CC or DR is expected (3)\n");
        Fail(PROTOCOL_ERROR, "Only CC or DR is expected (3)");
        return Stage::kFailed;
    }
    std::fputs("  Remote server responding\n", stderr);
    return Stage::kDone;
}

void JexModemAPI::Complete(JexTp2Frame& cc) {
    dst_ref = Field(cc, JexTp2Frame::SRC_REF);
    src_ref = Field(cc, JexTp2Frame::DST_REF);
    TakeAddresses(cc, dna, cna, sna);
    gender = 1;
    StartThreads(false);
    Line(kText, "Connect() done.  src_ref=%d, dst_ref=%d\n", src_ref.load(), dst_ref.load());
    Line(kText, "DNA=%s, CNA=%s, SNA=%s;\n", AddressText(dna).Text(), AddressText(cna).Text(),
         AddressText(sna).Text());
}

void JexModemAPI::StartThreads(bool withHeartbeat) {
    {
        JexMutexLock lock(queue_lock);
        listener_thread = std::make_unique<JexThread>(&commbox_listener_task_jacket, this, -1, 0);
        if (withHeartbeat)
            heartbeat_thread =
                std::make_unique<JexThread>(&heartbeat_writer_task_jacket, this, -1, 0);
    }
    // A receiver that could not start would leave every wait to its end.
    if (!listener_thread->Started()) {
        memory_error = 1;
        link_broken = 1;
    }
    if (heartbeat_thread && !heartbeat_thread->Started()) heartbeatEnded = 1;
    JexSleep();
}

int JexModemAPI::Listen(const char* name) {
    JexTrace trace(kFile, "Listen()", __LINE__);
    if (gender != 0) return Fail(DOUBLE_INIT, "Double init");
    const char* server = name && *name ? name : std::getenv("JEX_MODEM_APPLICATION_NAME");
    if (!server) return Fail(BADAPPL, "JexModemAPI::Listen");
    application = server;
    if (!api_combox || api_combox->Code() != 0)
        return Fail(API_COMMBOX_ERROR, "new JexIpc()", api_combox.get());
    server_db = std::make_unique<JexModemServDb>();
    if (server_db->Code() != 0) {
        Line(kText, "Listen(): create VSDB object failed\n");
        return Fail(VSDB_REG_ERROR, nullptr);
    }
    const JexString boxName = api_combox->Name();
    if (api_combox->Code() != 0)
        return Fail(VSDB_REG_ERROR, "Commbox name retrieval error", api_combox.get());
    server_db->Register(application.Text(), boxName.Text(), getpid());
    if (server_db->Code() != 0) {
        Line(kText, "Listen(): Register server in VSDB failed\n");
        return Fail(VSDB_REG_ERROR, "Register server error", server_db.get());
    }
    Line(kText, "Listen(): server running, Name=%s, Pid=%d, Listenbox=%s\n", application.Text(),
         static_cast<int>(getpid()), boxName.Text());

    JexBuffer wire;
    for (;;) {
        Line(kText, "Listen(): waiting for first CR frame...\n");
        const int got = api_combox->GetMsg(wire, 0, 0);
        if (got != 0) {
            Line(kText, "Listen(): api_combox->GetMsg() error - %d\n", got);
            return Fail(SYSERR, "JexIpc()::GetMsg", api_combox.get());
        }
        int result = 0;
        if (AnswerRequest(wire, result)) break;
        if (result != 0) return result;
    }
    gender = 2;
    StartThreads(true);
    Line(kText, "Listen() done.  src_ref=%d, dst_ref=%d\n", dst_ref.load(), src_ref.load());
    Line(kText, "DNA=%s, CNA=%s, SNA=%s;\n", AddressText(dna).Text(), AddressText(cna).Text(),
         AddressText(sna).Text());
    return Succeed();
}

bool JexModemAPI::AnswerRequest(const JexBuffer& wire, int& result) {
    JexTp2Frame frame;
    frame = wire;
    jex_modem_api::Dump(kTraceReceived, "\xABr\xBB Listen(): read first CR frame\n", frame);
    if (frame.Code() != 0) {
        Line(kText, "Listen(): received a corrupted frame\n");
        return false;
    }
    if (frame.FrameCode() != JexTp2Frame::kCR) {
        Line(kText, "Listen(): not a CR frame - %d\n", static_cast<signed char>(frame.FrameCode()));
        return false;
    }
    dst_ref = Field(frame, JexTp2Frame::SRC_REF);
    src_ref = Field(frame, JexTp2Frame::DST_REF);
    tp_class = Field(frame, JexTp2Frame::CLASS);
    tp_options = Field(frame, JexTp2Frame::OPTIONS);
    tp_tpdu_size = Field(frame, JexTp2Frame::TPDU_SIZE);
    tp_version = Field(frame, JexTp2Frame::VERSION);
    tp_add_option = Field(frame, JexTp2Frame::ADD_OPTION);
    TakeAddresses(frame, dna, cna, sna);
    JexString requested;
    dna.GetField(4, requested);

    JexBuffer callingTsap;
    frame.GetAttr(JexTp2Frame::CALLING_TSAP, callingTsap);
    JexFieldedString calling('/');
    calling.Parse(JexString::FromBytes(callingTsap.Data(), callingTsap.Length()));
    const JexString daemonBox = calling[1];
    Line(kText, "Listen(): received CR: daemon_PID=%d, daemon_cbxnam=%s\n",
         std::atoi(calling[2].Text()), daemonBox.Text());
    daemon_combox = std::make_unique<JexIpc>(daemonBox.Text());
    if (daemon_combox->Code() != 0) {
        Line(kText, "Listen(): open daemon combox error\n");
        daemon_combox.reset();
        return false;
    }

    int reason = 0;
    int extReason = 0;
    if (src_ref == 0 || dst_ref == 0 || tp_class != 2 || tp_options != 1) {
        reason = 138;
        extReason = 8;
    }
    if (std::strcmp(requested.Text(), application.Text()) != 0) {
        reason = 3;
        extReason = 8;
    }
    if (reason != 0) {
        dr_reason = reason;
        dr_ext_reason = extReason;
        frame.SetFrameCode(JexTp2Frame::kDR);
        frame.SetAttr(JexTp2Frame::SRC_REF, src_ref);
        frame.SetAttr(JexTp2Frame::DST_REF, dst_ref);
        frame.SetAttr(JexTp2Frame::REASON, reason);
        frame.SetAttr(JexTp2Frame::EXT_REASON, extReason);
        SendFrame(frame);
        jex_modem_api::Dump(kTraceSent, "\xABs\xBB Listen(): send a reject DR to remote\n", frame);
        daemon_combox.reset();
        return false;
    }

    frame.SetFrameCode(JexTp2Frame::kCC);
    frame.SetAttr(JexTp2Frame::SRC_REF, src_ref);
    frame.SetAttr(JexTp2Frame::DST_REF, dst_ref);
    if (!SendFrame(frame)) {
        result = Fail(IPC_WRITE_ERROR, "Send CC error", daemon_combox.get());
        return false;
    }
    jex_modem_api::Dump(kTraceSent, "\xABs\xBB Listen(): send a CC to remote\n", frame);

    server_db->SetAttr(JexModemServDb::SRC_REF_ID, dst_ref);
    server_db->SetAttr(JexModemServDb::DST_REF_ID, src_ref);
    server_db->SetAttr(JexModemServDb::STATE, JexModemServDb::kOnline);
    server_db->Update();
    if (server_db->Code() != 0) {
        Line(kText, "Listen(): update server record in VSDB failed\n");
        result = Fail(VSDB_UPD_ERROR, "", server_db.get());
        return false;
    }
    return true;
}
