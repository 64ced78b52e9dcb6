// JexSraServer: the server of the service-request application "Jex_Sra".
#include "jexlink/sra/JexSraServer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "jexlink/core/JexCommonRoutines.h"
#include "jexlink/core/JexConfig.h"
#include "jexlink/core/JexDataFilePath.h"
#include "jexlink/core/JexLogger.h"
#include "jexlink/core/JexTime.h"
#include "jexlink/core/JexTrace.h"
#include "jexlink/core/JexUtilities.h"
#include "jexlink/messages/JexTIE.h"
#include "jexlink/obligation/JexObligation.h"
#include "jexlink/session/JexAccessCheck.h"
#include "jexlink/sra/JexSraProtocol.h"
#include "jexlink/transport/JexGateway.h"

namespace {

constexpr const char* kTraceFile = "R:\\JexSra.cxx";

// Work-file record tags.
constexpr const char kTagContact[] = "\x01";
constexpr const char kTagRequest[] = "\x02";
constexpr const char kTagSubject[] = "\x04";
constexpr const char kTagBody[] = "\x05";
constexpr const char kTagDispatch[] = "\x06";

// Accept data of an augment and a review: no type letter.
constexpr int kSraAcceptUntyped = 0;
// Review accept data: the work-unit count as decimal text.
constexpr int kSraItemWorkUnitCount = '1';

// The route map and the key directory, computed once per process.
struct ServerPaths {
    JexString routeMap;
    JexString keyDir;
};

const ServerPaths& Paths() {
    static const ServerPaths paths = [] {
        ServerPaths p;
        p.routeMap = JexDataFilePath("File.RouteMap", "data\\jex_route_map.dat");
        const char* env = std::getenv("JEXCRYPTO_PATH");
        p.keyDir = env && *env ? JexString(env) : JexDataFilePath("File.KeyPath", "Keys\\");
        return p;
    }();
    return paths;
}

bool Present(const JexBuffer& item) { return item.Data() != nullptr; }

// An item's text converted as strtol with base 0 does (0 when absent or
// not numeric).
long ItemNumber(const JexBuffer& item) {
    const JexString text = JexSraText(item);
    return std::strtol(text.Text(), nullptr, 0);
}

int32_t Clamp32(int64_t value) {
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

// Encodes and sends one message; non-zero when it cannot be encoded or sent.
int Send(JexSraServerLink& link, const JexNetMsg& msg, int flags) {
    JexBuffer wire;
    if (msg.Encode(wire) != JexNetMsg::kEncoded) return -1;
    return link.PutMsg(wire, flags);
}

// After the last reply: the client ends the connection; answer its end.
void AwaitClientEnd(JexSraServerLink& link) {
    JexBuffer in;
    if (link.GetMsg(in, 0) == JexSession::SHUT) link.Disconnect();
}

}  // namespace

int JexSraBackEnd::LookupSrq(const JexString&, JexString&) { return JexObligation::NOT_VENDOR; }

int JexSraBackEnd::WorkUnits(const JexString&, JexFieldedString&) {
    return JexObligation::NOT_VENDOR;
}

int JexSraSessionLink::SetAttr(JexSession::Attribute attribute, const char* value) {
    return session_.SetAttr(attribute, value);
}

int JexSraSessionLink::GetAttr(JexSession::Attribute attribute, JexString& value) {
    return session_.GetAttr(attribute, value);
}

void JexSraSessionLink::FillLog(JexLogger& log) { log.GetFromSession(session_); }

void JexSraSessionLink::BoundWaits() {
    int seconds = 0;
    session_.GetAttr(JexSession::READ_TIMEOUT, seconds);
    session_.Gateway().SetReadTimeout(seconds > 0 ? seconds : 0);
}

JexSraServer::JexSraServer() {
    JexTrace trace(kTraceFile, "JexSraServer()", __LINE__);
    SetSuppress(1);
    logger_ = new JexLogger;
}

JexSraServer::~JexSraServer() {
    JexTrace trace(kTraceFile, "~JexSraServer()", __LINE__);
    delete logger_;
    logger_ = nullptr;
}

bool JexSraServer::ServesOnThisPlatform() const { return false; }

void JexSraServer::write_data(std::FILE* file, const char* tag, const char* label,
                              JexBuffer value) {
    JexTrace trace(kTraceFile, "write_data()", __LINE__);
    JexBuffer record{JexString(tag)};
    if (label) record += label;
    if (value.Length() > 0) record += static_cast<const JexBufferBase&>(value);
    record += '\n';
    std::fwrite(record.Data(), 1, static_cast<size_t>(record.Length()), file);
}

int JexSraServer::PlatformCode(const JexString& path) {
    JexFieldedString lines(path, '\n');
    JexFieldedString fields(lines[0], '|');
    JexFieldedString words(fields[1], ' ');
    JexString os = words[0];
    JexString arch = words[4];
    os.ToUpper();
    arch.ToUpper();
    os.SetCaseSensitive(1);
    arch.SetCaseSensitive(1);
    if (os.Compare("QVOS") == 0) return arch.Compare("TOVIK") == 0 ? 0 : 2;
    if (os.Compare("TARNIX") == 0) return 3;
    if (os.Compare("MORVEX") == 0) return 1;
    if (os.Compare("WINDOWS") == 0) return 4;
    if (os.Compare("WINDOWSNT") == 0) return arch.Compare("SORREL") == 0 ? 5 : 6;
    return 3;
}

JexString JexSraDateText(const char* text) {
    static const char* const kMonths[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                          "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
    time_t when = -1;
    const int status = text ? JexStrToTime(text, &when, nullptr) : 0;
    if (!status) {
        std::fprintf(stderr, "Status : %d\n", status);
        std::fprintf(stderr, "Error converting time\n");
        return JexString();
    }
    struct tm local {};
    if (!localtime_r(&when, &local)) return JexString();
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%d-%s-%d", local.tm_mday, kMonths[local.tm_mon % 12],
                  local.tm_year + 1900);
    return JexString(buffer);
}

bool JexSraServer::ListCommand(const JexNetMsg& connect, JexString& command, JexException& error) {
    static const char* const kLists[] = {"HELP", "SERVICE-CONTRACTS", "OPENCALLS", "CLOSEDCALLS"};
    const long type = ItemNumber(connect[kSraItemListType]);
    if (type < 0 || type > 3) {
        error.ExcSet(FAILURE, JexExcArgs("JexSraServer::Server() Not a valid list type"));
        return false;
    }
    command = kLists[type];
    const struct {
        int item;
        const char* qualifier;
    } dates[] = {{kSraItemBefore, "/before="}, {kSraItemSince, "/since="}};
    bool dated = false;
    for (const auto& date : dates) {
        if (!Present(connect[date.item])) continue;
        const JexString text = JexSraDateText(JexSraText(connect[date.item]).Text());
        if (!*text.Text()) {
            error.ExcSet(INVALIDDATE, JexExcArgs("JexSraServer::Server() Date conversion error"));
            return false;
        }
        command += date.qualifier;
        command += text.Text();
        dated = true;
    }
    if (dated) command += "/created";
    return true;
}

void JexSraServer::CloseFile(std::FILE*& file) {
    if (file) std::fclose(file);
    file = nullptr;
}

std::FILE* JexSraServer::CreateWorkFile(const JexString& acid) {
    // The access id comes from the client: only a short run of harmless
    // characters goes into the name.
    std::string safe;
    for (const char* c = acid.Text(); *c && safe.size() < kMaxAcidInName; ++c) {
        const unsigned char u = static_cast<unsigned char>(*c);
        const bool keep = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') ||
                          (u >= '0' && u <= '9') || u == '.' || u == '_' || u == '-';
        safe += keep ? static_cast<char>(u) : '_';
    }
    char name[128];
    std::snprintf(name, sizeof name, "jex_sra_%8.8x%10.10lld.%s", static_cast<unsigned>(::getpid()),
                  static_cast<long long>(std::time(nullptr)), safe.c_str());
    // Exclusive: two requests of one second never share a file.
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string path = name;
        if (attempt > 0) path += "_" + std::to_string(attempt);
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return nullptr;
        }
        std::FILE* file = ::fdopen(fd, "w");
        if (!file) {
            ::close(fd);
            ::unlink(path.c_str());
            return nullptr;
        }
        workFile_ = path.c_str();
        return file;
    }
    return nullptr;
}

int JexSraServer::RejectWith(JexSraServerLink& link, int code, const JexExcArgs& args,
                             JexException* cause) {
    ExcRaise(code, args, cause);
    if (logger_) logger_->GetFromException(this);
    JexNetMsg reject(kSraReject);
    JexTIELoadException(*this, reject);
    JexBuffer wire;
    if (reject.Encode(wire) == JexNetMsg::kEncoded) link.Reject(wire);
    return code;
}

int JexSraServer::FailureSequence(JexSraServerLink& link, int code) {
    JexNetMsg failure(kSraFailure);
    JexTIELoadException(*this, failure);
    if (logger_) logger_->GetFromException(this);
    JexBuffer wire;
    if (failure.Encode(wire) == JexNetMsg::kEncoded) {
        // Accepted: the failure reply reaches the client; not yet accepted:
        // the reject data does.
        link.PutMsg(wire, JexSession::kSynchronous);
        link.Reject(wire);
    }
    link.Disconnect();
    return code;
}

int JexSraServer::ClientEnded(JexSraServerLink& link, int summary, const char* who) {
    ExcSet(summary, JexExcArgs(who));
    ExcSetText("The client ended before the end of the request", JexExcArgs(who),
               link.Error().Code() != 0 ? &link.Error() : nullptr);
    Raise();
    if (logger_) logger_->GetFromException(this);
    return summary;
}

int JexSraServer::Fail(JexSraServerLink& link, int code, const JexExcArgs& args,
                       JexException* cause) {
    ExcRaise(code, args, cause);
    return FailureSequence(link, code);
}

int JexSraServer::Server(JexSession& session) {
    JexSraSessionLink link(session);
    return Serve(link);
}

int JexSraServer::Serve(JexSraServerLink& link) {
    JexTrace trace(kTraceFile, "Server()", __LINE__);
    link.SetSuppress(1);
    if (!ServesOnThisPlatform()) {
        ExcRaise(VERNOTSUPPORTED, JexExcArgs("JexSraServer::Server():  Server only runs on Qvos"));
        return VERNOTSUPPORTED;
    }
    JexBuffer data;
    if (const int rc = OpenConnection(link, data); rc != OK) return rc;
    trace.Ckpt("Server's Listen() completed");
    JexNetMsg connect;
    JexString acid("", 1);
    long kind = 0;
    if (const int rc = CheckRequest(link, data, connect, acid, kind); rc != OK) return rc;
    trace.Ckpt("Passed initial checks");
    if (const int rc = AcceptRequest(link, kind); rc != OK) return rc;

    // The work file is closed and deleted on every way out.
    std::FILE* file = nullptr;
    workFile_ = "";
    struct WorkFileGuard {
        std::FILE*& file;
        JexString& path;
        ~WorkFileGuard() {
            CloseFile(file);
            if (*path.Text()) JexDeleteFile(path.Text());
            path = "";
        }
    } guard{file, workFile_};
    if (kind != kSraKindReview) {
        file = CreateWorkFile(acid);
        if (!file) return Fail(link, FILEOPENERR, JexExcArgs("JexSra::Server()File open Error"));
    }

    trace.Ckpt("Dispatching to major function");
    return Dispatch(link, connect, kind, file);
}

int JexSraServer::OpenConnection(JexSraServerLink& link, JexBuffer& data) {
    if (logger_) {
        JexLogger& log = *logger_;
        log["Record-Type"] = "Metric";
        log["Current-Role"] = "Server";
        log["Application"] = kSraApplication;
        log["Description"] = "Connection request from Client";
        log["Exit-Status"] = "SUCCESSFUL";
    }
    const JexString domains = local_domain_list();
    const JexString nodes = local_node_list();
    const ServerPaths& paths = Paths();

    // A session that refuses its set-up fails this connection, never the
    // process that hosts the server.
    const struct {
        JexSession::Attribute attribute;
        const char* value;
        const char* text;
    } settings[] = {
        {JexSession::ROUTE_MAP, paths.routeMap.Text(), "JexSraServer::Server() ROUTE_MAP refused"},
        {JexSession::CRYPTO_PATH, paths.keyDir.Text(),
         "JexSraServer::Server() CRYPTO_PATH refused"},
        {JexSession::DST_NODE, nodes.Text(), "JexSraServer::Server() DST_NODE refused"},
    };
    for (const auto& setting : settings) {
        link.SetAttr(setting.attribute, setting.value);
        if (link.Code() != 0) {
            ExcRaise(SESSIONERR, JexExcArgs(setting.text), &link.Error());
            if (logger_) logger_->GetFromException(this);
            return SESSIONERR;
        }
    }

    if (link.Listen(kSraApplication, domains.Text(), data) != 0 || link.Code() != 0) {
        ExcRaise(LISTENERR, JexExcArgs("JexSraServer::Server() Listen failed"), &link.Error());
        if (logger_) logger_->GetFromException(this);
        return LISTENERR;
    }
    link.BoundWaits();
    if (logger_) link.FillLog(*logger_);
    return OK;
}

int JexSraServer::CheckRequest(JexSraServerLink& link, const JexBuffer& data, JexNetMsg& connect,
                               JexString& acid, long& kind) {
    // Checks before accepting.
    {
        JexString acids("", 1), srcNodes("", 1), user("", 1), application("", 1);
        link.GetAttr(JexSession::SRC_ACID, acids);
        link.GetAttr(JexSession::SRC_NODE, srcNodes);
        link.GetAttr(JexSession::SRC_USER, user);
        link.GetAttr(JexSession::APPLICATION, application);
        JexAccessCheck access(acids, srcNodes, user, application, "");
        if (!access.Permitted())
            return RejectWith(link, ACCESSFAIL, JexExcArgs("JexSra::Server() Not Authorized"));
    }
    connect.Decode(data);
    if (connect.Corrupt())
        return RejectWith(link, CONVERSIONERR, JexExcArgs("JexSra::Server() Conversion error"));
    if (link.GetAttr(JexSession::SRC_ACID, acid) != 0)
        return RejectWith(link, SESSIONERR, JexExcArgs("JexSraServer::Server() SRC_ACID unread"),
                          &link.Error());
    numeric_ =
        Present(connect[kSraItemNumeric]) ? connect[kSraItemNumeric].GetLong() : kDefaultNumeric;
    kind = ItemNumber(connect[kSraItemKind]);
    if (kind < kSraKindNew || kind > kSraKindListFetch)
        return RejectWith(link, NOTVALIDREQUEST,
                          JexExcArgs("JexSra::Server() Not a valid request"));
    const int32_t version = connect[kSraItemVersion].GetLong();
    std::fprintf(stderr, "Client's version is %d.\n", version);
    if (version < 20 || version > 29)
        return RejectWith(link, NOTVALIDVERSION,
                          JexExcArgs("JexSra::Server() Not a valid Version"));
    return OK;
}

int JexSraServer::AcceptRequest(JexSraServerLink& link, long kind) {
    JexNetMsg accept(kSraAccept);
    JexConfig config;
    limit_ = static_cast<uint32_t>(config.Value("SRA.MaxSubmitBytes", 0));
    if (kind == kSraKindNew) accept[kSraItemSizeLimit].SetLong(static_cast<int32_t>(limit_));
    if (kind == kSraKindNew || kind == kSraKindListFetch) {
        JexBuffer wire;
        if (accept.Encode(wire) != JexNetMsg::kEncoded || link.Accept(wire) != 0) {
            ExcRaise(SESSIONERR, JexExcArgs("JexSraServer::Server() Accept failed"), &link.Error());
            if (logger_) logger_->GetFromException(this);
            link.Disconnect();
            return SESSIONERR;
        }
    }
    return OK;
}

int JexSraServer::Dispatch(JexSraServerLink& link, const JexNetMsg& connect, long kind,
                           std::FILE*& file) {
    JexString path("", 1);
    link.GetAttr(JexSession::PATH, path);
    const int platform = PlatformCode(path);
    const uint32_t word = (static_cast<uint32_t>(numeric_) << 8) + static_cast<uint32_t>(platform);
    JexBuffer dispatch;
    dispatch.SetLong(kDispatchTag);
    JexBuffer wordBytes;
    wordBytes.SetLong(static_cast<int32_t>(word));
    dispatch += static_cast<const JexBufferBase&>(wordBytes);

    // Writes the header records, the request record being `request`.
    auto header = [&](const JexBuffer& request) {
        write_data(file, kTagContact, nullptr, connect[kSraItemContact]);
        write_data(file, kTagRequest, nullptr, request);
        write_data(file, kTagSubject, nullptr, connect[kSraItemSubject]);
        write_data(file, kTagDispatch, nullptr, dispatch);
    };
    auto missing = [&](int a, int b, int c) {
        return !Present(connect[a]) || !Present(connect[b]) || !Present(connect[c]);
    };
    switch (kind) {
        case kSraKindNew:
            if (missing(kSraItemContact, kSraItemAccessNumber, kSraItemSubject))
                return Fail(link, NODATAERR,
                            JexExcArgs("JexSra::Server(): Mandatory data not specified"));
            header(connect[kSraItemAccessNumber]);
            return NewSrq(link, connect, file);
        case kSraKindAugment: {
            if (missing(kSraItemContact, kSraItemRequestNumber, kSraItemSubject))
                return Fail(link, NODATAERR,
                            JexExcArgs("JexSra::Server()Mandatory data not specified"));
            JexBuffer request(JexString("SRQ$"));
            request += static_cast<const JexBufferBase&>(connect[kSraItemRequestNumber]);
            header(request);
            return AugSrq(link, connect, file);
        }
        case kSraKindReview: return ReviewSrq(link, connect);
        default: {
            if (missing(kSraItemContact, kSraItemListType, kSraItemSubject))
                return Fail(link, NODATAERR,
                            JexExcArgs("JexSra::Server()Mandatory data not specified"));
            JexString command("", 1);
            if (!ListCommand(connect, command, *this)) {
                Raise();
                return FailureSequence(link, Code());
            }
            header(JexBuffer(command));
            return FetchSrqList(link, connect, file);
        }
    }
}

int JexSraServer::ReadBody(JexSraServerLink& link, std::FILE* file, bool withHeaders,
                           const char* who, const char* conversionText) {
    const JexString protocolText = JexString(who) + " Protocol error";
    // Never wraps: at most one item (under 16 MB) past a 32-bit limit.
    int64_t total = 0;
    for (;;) {
        JexBuffer in;
        if (link.GetMsg(in, 0) != 0) return -1;
        JexNetMsg msg;
        msg.Decode(in);
        if (msg.Corrupt()) return Fail(link, CONVERSIONERR, JexExcArgs(conversionText));
        if (msg.Type() == kSraEnd) return 0;
        if (msg.Type() != kSraData)
            return Fail(link, PROTOCOLERR, JexExcArgs(protocolText.Text()), &link.Error());
        const JexBuffer& line = msg[kSraItemLine];
        if (Present(line)) {
            total += line.Length();
            if (limit_ != 0 && total > static_cast<int64_t>(limit_))
                return Fail(link, BYTELIMITERR,
                            JexExcArgs(who, Clamp32(total), static_cast<int32_t>(limit_)),
                            &link.Error());
            write_data(file, kTagBody, nullptr, line);
        }
        if (!withHeaders) continue;
        const struct {
            int item;
            const char* label;
        } headers[] = {
            {kSraItemOsInfo, "Operating System Info : "},
            {kSraItemSoftwareInfo, "Software Info : "},
            {kSraItemHardwareInfo, "Hardware Info : "},
        };
        for (const auto& h : headers)
            if (Present(msg[h.item])) write_data(file, kTagBody, h.label, msg[h.item]);
    }
}

int JexSraServer::Finish(JexSraServerLink& link, std::FILE*& file, bool augment) {
    CloseFile(file);
    const int summary = augment ? PROBAUGFAIL : PROBSUBFAIL;
    const char* summaryText = augment ? "Problem augmentation failed" : "Problem submission failed";
    if (!backEnd_) return Fail(link, summary, JexExcArgs(summaryText));

    ExcSet(OK);
    JexString number("", 1);
    const int status = augment ? backEnd_->Augment(workFile_.Text(), *this)
                               : backEnd_->Submit(workFile_.Text(), number, *this);
    if (status != OK) {
        if (Code() == OK) ExcSet(summary, JexExcArgs(summaryText));
        Raise();
        return FailureSequence(link, status);
    }
    JexNetMsg reply;
    JexSraBuildSuccess(number, reply);
    if (Send(link, reply, JexSession::kSynchronous) != 0) {
        ExcRaise(PUTMSGERR, JexExcArgs("JexSraServer::Server() PutMsg error"), &link.Error());
        if (logger_) logger_->GetFromException(this);
        link.Disconnect();
        return PUTMSGERR;
    }
    number_ = number;
    AwaitClientEnd(link);
    ExcSet(OK);
    return OK;
}

int JexSraServer::ValidateSrq(JexObligation& map, const JexString& acid, const JexString& srq) {
    if (backEnd_) {
        JexString owner("", 1);
        const int found = backEnd_->LookupSrq(srq, owner);
        if (found != JexObligation::NOT_VENDOR) {
            if (found != 0) return found;
            owner.SetCaseSensitive(0);
            owner.Trim();
            return owner.Compare(acid) == 0 ? 0 : static_cast<int>(JexObligation::CHS_NOMATCH);
        }
    }
    return map.JexValidateSrq(acid, srq);
}

int JexSraServer::NewSrq(JexSraServerLink& link, JexNetMsg connect, std::FILE*& file) {
    JexTrace trace(kTraceFile, "NewSrq()", __LINE__);
    (void)connect;
    const int body = ReadBody(link, file, true, "JexSraServer::NewSrq()",
                              "JexSraServer::NewSrq() corrupt message received");
    if (body > 0) return body;
    // The client is gone: no one to answer.
    if (body < 0) return ClientEnded(link, PROBSUBFAIL, "JexSraServer::NewSrq()");
    return Finish(link, file, false);
}

int JexSraServer::AugSrq(JexSraServerLink& link, JexNetMsg connect, std::FILE*& file) {
    JexTrace trace(kTraceFile, "AugSrq()", __LINE__);
    JexObligation map;
    JexString acid("", 1);
    link.GetAttr(JexSession::SRC_ACID, acid);
    const JexString srq = JexSraText(connect[kSraItemRequestNumber]);
    const int valid = ValidateSrq(map, acid, srq);
    if (valid != 0) {
        std::fprintf(stderr, "AccessNo-SRQID mismatch;Error - %d.\n", valid);
        return RejectWith(link, INVALIDSRQID, JexExcArgs("", srq));
    }
    JexNetMsg accept(kSraAcceptUntyped);
    accept[kSraItemSizeLimit].SetLong(static_cast<int32_t>(limit_));
    JexBuffer wire;
    if (accept.Encode(wire) == JexNetMsg::kEncoded) link.Accept(wire);

    const int body =
        ReadBody(link, file, false, "JexSraServer::AugSrq()",
                 "JexSraServer::AugSrq()Conversion from JexBuffer to JexNetMsg failed");
    if (body > 0) return body;
    if (body < 0) return ClientEnded(link, PROBAUGFAIL, "JexSraServer::AugSrq()");
    return Finish(link, file, true);
}

int JexSraServer::ReviewSrq(JexSraServerLink& link, JexNetMsg connect) {
    JexTrace trace(kTraceFile, "ReviewSrq()", __LINE__);
    JexObligation map;
    JexString acid("", 1);
    link.GetAttr(JexSession::SRC_ACID, acid);
    const JexString srq = JexSraText(connect[kSraItemRequestNumber]);
    // A review that names no request finds none.
    const int valid = Present(connect[kSraItemRequestNumber])
                          ? ValidateSrq(map, acid, srq)
                          : static_cast<int>(JexObligation::CHS_NOSRQ);
    if (valid != 0) {
        std::fprintf(stderr, "AccessNo-SRQID mismatch;Error - %d.\n", valid);
        return RejectWith(link, INVALIDSRQID, JexExcArgs("", srq));
    }

    JexFieldedString units('\0');
    int found = backEnd_ ? backEnd_->WorkUnits(srq, units) : JexObligation::NOT_VENDOR;
    if (found == JexObligation::NOT_VENDOR) {
        JexString answer("", 1);
        found = map.CheckReview(srq, answer);
    }
    if (found != 0)
        return RejectWith(
            link, FAILURE,
            JexExcArgs("JexSraServer::ReviewSrq() Error fetching from JexObligation class"));

    const int count = units.Count();
    JexNetMsg accept(kSraAcceptUntyped);
    char countText[16];
    std::snprintf(countText, sizeof countText, "%d", count);
    JexSraSetText(accept[kSraItemWorkUnitCount], JexString(countText));
    JexBuffer wire;
    if (accept.Encode(wire) == JexNetMsg::kEncoded) link.Accept(wire);

    JexNetMsg line;
    JexNetMsg end;
    JexSraBuildEnd(end);
    for (;;) {
        JexBuffer in;
        if (link.GetMsg(in, 0) != 0) return PROTOCOLERR;
        JexNetMsg query;
        query.Decode(in);
        if (query.Corrupt())
            return Fail(
                link, CONVERSIONERR,
                JexExcArgs(
                    "JexSraServer::ReviewSrq() Conversion from JexBuffer to JexNetMsg failed"),
                &link.Error());
        if (query.Type() == kSraEnd) {
            link.Disconnect();
            ExcSet(OK);
            return OK;
        }
        if (query.Type() != kSraQuery)
            return Fail(link, PROTOCOLERR, JexExcArgs("JexSraServer::ReviewSrq() Protocol error"),
                        &link.Error());
        const long n = ItemNumber(query[kSraItemWorkUnit]);
        if (n < 1 || n > count)
            return Fail(link, WORKUNITNOTEXIST,
                        JexExcArgs("JexSraServer::ReviewSrq() range check", Clamp32(n)));
        JexFieldedString lines(units[static_cast<int>(n - 1)], '\n');
        for (int i = 0; i < lines.Count(); ++i) {
            JexSraBuildLine(lines[i], line);
            if (Send(link, line, 0) != 0)
                return Fail(link, PUTMSGERR, JexExcArgs("JexSraServer::ReviewSrq() PutMsg error"),
                            &link.Error());
        }
        if (Send(link, end, JexSession::kSynchronous) != 0)
            return Fail(link, PUTMSGERR, JexExcArgs("JexSraServer::ReviewSrq() PutMsg error"),
                        &link.Error());
    }
}

int JexSraServer::FetchSrqList(JexSraServerLink& link, JexNetMsg connect, std::FILE*& file) {
    JexTrace trace(kTraceFile, "FetchSrqList()", __LINE__);
    (void)connect;
    CloseFile(file);
    const char* text = "JexSraServer::FetchSrqList() list not available";
    if (!backEnd_) return Fail(link, LISTNOTAVAIL, JexExcArgs(text));
    ExcSet(OK);
    JexFieldedString lines('\n');
    const int status = backEnd_->FetchList(workFile_.Text(), lines, *this);
    if (status != OK) {
        if (Code() == OK) ExcSet(LISTNOTAVAIL, JexExcArgs(text));
        Raise();
        return FailureSequence(link, status);
    }
    JexNetMsg line;
    for (int i = 0; i < lines.Count(); ++i) {
        JexSraBuildLine(lines[i], line);
        if (Send(link, line, 0) != 0)
            return Fail(link, PUTMSGERR, JexExcArgs("JexSraServer::FetchSrqList() PutMsg error"),
                        &link.Error());
    }
    JexNetMsg end;
    JexSraBuildEnd(end);
    if (Send(link, end, JexSession::kSynchronous) != 0)
        return Fail(link, PUTMSGERR, JexExcArgs("JexSraServer::FetchSrqList() PutMsg error"),
                    &link.Error());
    AwaitClientEnd(link);
    ExcSet(OK);
    return OK;
}
