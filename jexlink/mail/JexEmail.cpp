// JexEmail: the library's mail message, its checks, dispatch and local delivery.
#include "jexlink/mail/JexEmail.h"

#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>

#include "jexlink/core/JexCommonRoutines.h"
#include "jexlink/core/JexConfig.h"
#include "jexlink/core/JexDataFilePath.h"
#include "jexlink/core/JexPlatform.h"
#include "jexlink/core/JexPrivLock.h"
#include "jexlink/core/JexTrace.h"
#include "jexlink/core/JexUtilities.h"
#include "jexlink/mail/JexLocatorExport.h"
#include "jexlink/mail/JexMailer.h"
#include "jexlink/session/JexAuthCheck.h"

#define JEX_TEXT_CLASS JexEmail
const JexTextRow JexEmail::kTextTable[] = JEX_TEXT_TABLE(JEXEMAIL_TEXTS);
#undef JEX_TEXT_CLASS

namespace {

constexpr const char* kTraceFile = "JexEmail";
constexpr const char* kVersion = "T2.2-EFT8";

// The class-wide paths that remote delivery reads.
std::mutex paths_mutex;
JexString routeMapPath("");
JexString keyDirectory("");

struct SenderClass {
    const char* address;
    const char* setting;
};
constexpr SenderClass kSenderClasses[] = {
    {"jexlink-flash", "Mail.Flash"},
    {"jexlink-info", "Mail.Informative"},
    {"jexlink-biz", "Mail.Marketing"},
    {"jexlink-survey", "Mail.Surveys"},
};

const char* YesNo(int flag) { return flag ? "Yes" : "No"; }

unsigned AddressWord(const void* p) {
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p));
}

bool HasLineBreak(const char* text) { return std::strpbrk(text ? text : "", "\r\n") != nullptr; }

// Handler on a substituted copy: every error it raises becomes this mail's.
int CopyErrorHandler(JexException* raised, void* context) {
    auto* owner = static_cast<JexEmail*>(context);
    const JexString message = raised->ExternalMessage();
    owner->ExcSet(raised->Code(), raised->Args(), raised->Cause());
    if (raised->Code() == JexException::kExternalMessage) owner->SetExternalMessage(message);
    owner->Raise();
    return 0;
}

// Restores an error saved with CopyChain.
void RestoreError(JexException& target, JexException& saved) {
    target.ExcSet(saved.Code(), saved.Args(), saved.Cause());
    if (saved.Code() == JexException::kExternalMessage)
        target.SetExternalMessage(saved.ExternalMessage());
}

}  // namespace

JexString JexEmail::RouteMapPath() {
    std::lock_guard<std::mutex> hold(paths_mutex);
    return JexString(routeMapPath.Text());
}

JexString JexEmail::KeyDirectory() {
    std::lock_guard<std::mutex> hold(paths_mutex);
    return JexString(keyDirectory.Text());
}

JexEmail::JexEmail(int secondary)
    : JexException(kTextTable, "JexEmail"), SecondaryInvoke(secondary) {
    JexTrace trace(kTraceFile, "JexEmail()", __LINE__);
    SetSuppress(1);
    LocUserName = JexGetUserName();
    JexFieldedString platform = JexPlatform();
    PfmNode = platform.Field(1);
    const int dot = PfmNode.FindChar('.');
    if (dot >= 0) PfmNode = PfmNode.Left(dot);
    get_trace_flags();

    JexConfig config;
    ForwardsAllowed = config.Value("Mail.ForwardingEnabled", 0);
    {
        const JexString routeMap = JexDataFilePath("File.RouteMap", "data\\jex_route_map.dat");
        const JexString keys = JexStringOrDefault(JexGetEnv("JEXCRYPTO_PATH", ""),
                                                  JexDataFilePath("File.KeyPath", "Keys\\"));
        std::lock_guard<std::mutex> hold(paths_mutex);
        routeMapPath = routeMap;
        keyDirectory = keys;
    }

    if (SecondaryInvoke) History.SetSuppress(1);
    History["Record-Type"] = "Metric";
    History["Current-Role"] = "Client";
    History["Application"] = kApplication;
    History["Description"] = "Mail";
    History["Exit-Status"] = "OK";

    LocDomList.Parse(local_domain_list().LowerCopy());
    if (LocDomList.Count() == 0) {
        ExcRaise(NOPARAM, JexExcArgs("Getting local domain list", "Local.Domain"));
        History.GetFromException(this);
        return;
    }
    LocNodList.Parse(local_node_list().LowerCopy());
    if (LocNodList.Count() == 0) {
        ExcRaise(NOPARAM, JexExcArgs("Getting local node list", "Local.Node"));
        History.GetFromException(this);
        return;
    }
    SrcAcid = LocDomList[0];
    SrcNode = LocNodList[0];

    JexAuthCheck check(SrcAcid.Text(), SrcNode.Text(), LocUserName.Text(), kApplication, "");
    if (!check.Permitted()) {
        AuthRefused = 1;
        ExcSet(kExternalMessage, JexExcArgs("authcheck in constructor"));
        SetExternalMessage("AUTHFAIL");
        Raise();
        History.GetFromException(this);
    }
}

JexEmail::~JexEmail() {
    JexTrace trace(kTraceFile, "~JexEmail()", __LINE__);
    if (AnythingToSend) Send();
}

void JexEmail::get_trace_flags() {
    TraceAdding = TraceHeader = TraceBody = TraceD = TraceLocal = TraceRemote = 0;
    const JexString value = JexGetEnv("JEXMAIL_TRACE", "");
    for (const char* p = value.Text(); *p; ++p) {
        switch (*p) {
            case '*':
                TraceAdding = TraceHeader = TraceBody = TraceD = TraceLocal = TraceRemote = 1;
                break;
            case 'A':
            case 'a': TraceAdding = 1; break;
            case 'H':
            case 'h': TraceHeader = 1; break;
            case 'B':
            case 'b': TraceBody = 1; break;
            case 'D':
            case 'd': TraceD = 1; break;
            case 'L':
            case 'l': TraceLocal = 1; break;
            case 'R':
            case 'r': TraceRemote = 1; break;
            default: break;
        }
    }
}

int JexEmail::AddLine(const char* line) {
    if (TraceAdding) {
        std::fprintf(stderr, "<a> JexEmail adding line:\n\t%s\n", line ? line : "");
        std::fflush(stderr);
    }
    Body[LineCount] = line ? line : "";
    ++LineCount;
    AnythingToSend = 1;
    return 0;
}

int JexEmail::AppendFile(const char* path, int piece, bool asAddLine) {
    FILE* file = JexPrivLock::fopen(path, "r");
    if (!file) return -1;
    // Lines of any length, in pieces of at most `piece` bytes; a CR before
    // the line end goes with it.
    std::string line;
    bool more = true;
    while (more) {
        line.clear();
        int c;
        while ((c = std::getc(file)) != EOF && c != '\n') line += static_cast<char>(c);
        more = c != EOF;
        if (!more && line.empty()) break;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t at = 0;
        do {
            const std::string part = line.substr(at, static_cast<size_t>(piece));
            if (asAddLine)
                AddLine(part.c_str());
            else
                Body[LineCount++] = part.c_str();
            at += static_cast<size_t>(piece);
        } while (at < line.size());
    }
    JexPrivLock::fclose(file);
    return 0;
}

int JexEmail::AddFile(const char* path) {
    JexTrace trace(kTraceFile, "AddFile()", __LINE__);
    if (AppendFile(path, 255, true) == 0) return 0;
    ExcRaise(OPENFAIL, JexExcArgs("fopen()", path));
    return OPENFAIL;
}

int JexEmail::EraseLine() {
    Body.Clear();
    LineCount = 0;
    AnythingToSend = 0;
    return 0;
}

int JexEmail::Is_Us(const char* acid) {
    for (int i = 0; i < LocDomList.Count(); ++i)
        if (LocDomList[i].Compare(acid ? acid : "") == 0) return 1;
    return 0;
}

void JexEmail::Apply_Defaults() {
    Sender = BuildEMailLocator(LocUserName.Text(), SrcNode.Text(), SrcAcid.Text(), 2);
    if (!*ReplyTo.Text()) ReplyTo = Sender;
}

JexString JexEmail::trim(const char* text) {
    const char* blanks = " \t\n\v\f\r";
    const char* p = text ? text : "";
    while (*p && std::strchr(blanks, *p)) ++p;
    const char* end = p + std::strlen(p);
    while (end > p && std::strchr(blanks, end[-1])) --end;
    return JexString::FromBytes(p, static_cast<int>(end - p));
}

bool JexEmail::FieldsClean(const JexFieldedString& destinations) {
    struct Field {
        const char* text;
        const char* name;
    };
    const Field fields[] = {
        {Subject.Text(), "Subject"},
        {SrcPers.Text(), "Personal Name"},
        {ReplyTo.Text(), "Reply To"},
    };
    const char* bad = nullptr;
    for (const Field& f : fields)
        if (!bad && HasLineBreak(f.text)) bad = f.name;
    JexFieldedString list(destinations);
    for (int i = 0; !bad && i < list.Count(); ++i)
        if (HasLineBreak(list[i].Text())) bad = "Destination Address";
    if (!bad) return true;
    ExcRaise(BADATTR, JexExcArgs("send check", bad));
    return false;
}

int JexEmail::Send() {
    JexTrace trace(kTraceFile, "Send()", __LINE__);
    if (TraceLocal && TraceRemote) std::fprintf(stderr, "JexEmail::Send(%s)\n", DstAddr.Text());

    if (AuthRefused) {
        // A mail the local authorization refused is never delivered.
        AnythingToSend = 0;
        ExcSet(FAILURE, JexExcArgs("authcheck refused"), this);
        History.GetFromException(this);
        Raise();
        return FAILURE;
    }
    if (!AnythingToSend) {
        ExcRaise(NOTHING_TO_SEND, JexExcArgs("send check"));
        return NOTHING_TO_SEND;
    }
    const struct {
        const JexString& value;
        const char* name;
    } required[] = {
        {DstAddr, "Destination Address"}, {SrcAcid, "Source Domain"}, {Subject, "Subject"}};
    for (const auto& r : required) {
        if (*r.value.Text()) continue;
        ExcRaise(NOATTR, JexExcArgs("send check", r.name));
        return NOATTR;
    }

    JexFieldedString list(DstAddr, ';');
    if (list.Count() == 0) {
        ExcRaise(NOATTR, JexExcArgs("send check", "Destination Address(es)"));
        return NOATTR;
    }
    if (*CC.Text()) list.Parse(DstAddr + ";" + CC);
    for (int i = 0; i < list.Count(); ++i) list[i] = trim(list[i].Text());
    if (!FieldsClean(list)) return NOATTR;

    Apply_Defaults();
    History["Mail-Send-To"] = DstAddr;
    History["Mail-Reply-To"] = ReplyTo;
    History["Mail-Sender"] = Sender;
    History["Mail-Subject"] = Subject;
    History["Mail-CC"] = CC;

    if (!SecondaryInvoke && !viaAdded_) {
        JexString text(" (via ");
        text += kApplication;
        text += " ";
        text += kVersion;
        text += "; sender ";
        text += Sender;
        text += ")\n\n";
        for (int i = 0; i < LineCount; ++i) {
            if (i) text += '\n';
            text += Body[i];
        }
        Body.Parse(text);
        LineCount = Body.Count();
        viaAdded_ = 1;
    }
    if (AtchSig) {
        const JexString signature =
            JexDataFilePath("File.Mail.Signature", "data\\jex_mail_signature.txt");
        if (*signature.Text()) AppendFile(signature.Text(), 254, false);  // absent: skipped
    }
    if (TraceHeader) DumpHeader();
    if (TraceBody) DumpBody();

    AllOk = 1;
    LastFailed = 0;
    SendCount = 0;
    for (int i = 0; i < list.Count(); ++i) {
        // An empty entry (as after a trailing ";") names no destination.
        if (!*list[i].Text()) continue;
        LastFailed = Send_One(list[i].Text()) != 0;
        if (LastFailed) AllOk = 0;
        ++SendCount;
    }
    if (LastFailed && !SecondaryInvoke) ExcSetViaClone(X, JexExcArgs("send complete"));

    AnythingToSend = 0;
    int result = OK;
    if (!AllOk) {
        if (!SecondaryInvoke) {
            // The results so far lie beneath the summary: the object's own
            // entry too, unless it is only the announcement's reset.
            const bool reset = Code() == OK && Args()[0] == "reset to OK";
            ExcSet(FAILURE, JexExcArgs("failed on one or more messages"), reset ? Cause() : this);
        } else if (Code() == OK && Cause()) {
            JexException* first = Cause()->CopyChain();
            RestoreError(*this, *first);
            delete first;
        }
        History.GetFromException(this);
        result = FAILURE;
    }
    Raise();
    return result;
}

int JexEmail::Send_One(const char* address) {
    JexTrace trace(kTraceFile, "Send_One()", __LINE__);
    if (TraceLocal && TraceRemote) std::fprintf(stderr, "JexEmail::Send_One(%s)\n", address);
    JexString prefix(""), nodes(""), acids("");
    int method = 0, scope = 0;
    ParseEMailLocator(address, prefix, nodes, acids, method, scope);
    nodes.ToLower();
    acids.ToLower();
    if (scope == 0) return Send_Local(address);
    if (Is_Us(acids.Text())) return Send_Local(prefix.Text());
    return Send_Remote(address);
}

void JexEmail::Announce(int event, const char* context, const char* address) {
    if (SendCount < 1) {
        ExcRaise(event, JexExcArgs(context, address));
        ExcSet(OK, JexExcArgs("reset to OK", "-reset-"));
        return;
    }
    JexException* saved = CopyChain();
    ExcRaise(event, JexExcArgs(context, address));
    RestoreError(*this, *saved);
    delete saved;
}

void JexEmail::RecordSuccess(const char* context, const char* address) {
    if (SendCount == 0) {
        ExcSet(OK, JexExcArgs(context, address));
        return;
    }
    if (LastFailed) ExcSetViaClone(X, JexExcArgs("separator"));
    ExcSetViaClone(OK, JexExcArgs(context, address));
}

int JexEmail::Send_Local(const char* address) {
    JexTrace trace(kTraceFile, "Send_Local()", __LINE__);
    Announce(EVT_SENDING_LOCAL, "local send", address);
    if (TraceLocal) std::fprintf(stderr, "JexEmail::Send_Local(%s)\n", address);

    JexString working(address);
    for (const SenderClass& c : kSenderClasses) {
        if (JexStrCaseCmp(address, c.address) != 0) continue;
        JexConfig config;
        JexFieldedString values = config.ValueList(c.setting, JexFieldedString(address, ':'));
        values.SetSeparator(';');
        working = values.Text();
        break;
    }

    if (JexStrCaseCmp(working.Text(), address) == 0) {
        JexMailer mailer(ReplyTo, SrcPers, JexString(address), Subject);
        for (int i = 0; i < LineCount; ++i) mailer.AddLine(Body[i].Text());
        const int sent = mailer.Send();
        if (sent == 0 && mailer.Code() == 0) {
            RecordSuccess("Local send worked OK", address);
            return OK;
        }
        if (!SecondaryInvoke) ExcSetViaClone(X, JexExcArgs("separator"));
        ExcSetViaClone(HANDLER_ERROR, JexExcArgs("local send returned error"), &mailer);
        return HANDLER_ERROR;
    }

    if (TraceLocal)
        std::fprintf(stderr, "* Address substitution has occurred:\n\tFrom: '%s'\n\t  To: '%s'\n",
                     address, working.Text());
    JexEmail copy(SecondaryInvoke);
    JexHandlerScope handler(&copy, &CopyErrorHandler, this);
    copy.DstAddr = working;
    copy.Subject = Subject;
    copy.SrcPers = SrcPers;
    copy.SrcAcid = SrcAcid;
    copy.SrcNode = SrcNode;
    copy.ReplyTo = ReplyTo;
    copy.CC = "";
    copy.AtchSig = 0;
    copy.Compress = Compress;
    copy.Encrypt = Encrypt;
    // The lines already carry this message's via line and signature.
    copy.viaAdded_ = 1;
    for (int i = 0; i < LineCount; ++i) copy.AddLine(Body[i].Text());
    const int result = copy.Send();
    return result;
}

void JexEmail::DumpHeader() {
    std::fprintf(stderr, "\n<h> Header of JexEmail message to be sent:\n%s\n",
                 std::string(42, '=').c_str());
    std::fprintf(stderr, "  Object ID:  %%x%8.8x\n", AddressWord(this));
    std::fprintf(stderr, "  DstAddr: %s\n", DstAddr.Text());
    std::fprintf(stderr, "  Subject: %s\n", Subject.Text());
    std::fprintf(stderr, "  SrcPers: %s\n", SrcPers.Text());
    std::fprintf(stderr, "  SrcAcid: %s\n", SrcAcid.Text());
    std::fprintf(stderr, "  SrcNode: %s\n", SrcNode.Text());
    std::fprintf(stderr, "  ReplyTo: %s\n", ReplyTo.Text());
    std::fprintf(stderr, "       CC: %s\n", CC.Text());
    std::fprintf(stderr, "  AtchSig: %s\n", YesNo(AtchSig));
    std::fprintf(stderr, "\n");
    std::fprintf(stderr, "  Derived Src Addr: %s\n", Sender.Text());
    std::fprintf(stderr, "  Send Count sofar: %d\n", SendCount);
    std::fprintf(stderr, "  Sofar are all OK: %s\n", YesNo(AllOk));
    std::fprintf(stderr, "  Last Send Failed: %s\n", YesNo(LastFailed));
    std::fprintf(stderr, "  Anything To Send: %s\n", YesNo(AnythingToSend));
    std::fprintf(stderr, "  Secondary Invoke: %s\n", YesNo(SecondaryInvoke));
    std::fprintf(stderr, "  Forwards Allowed: %s\n", YesNo(ForwardsAllowed));
    std::fprintf(stderr, "\n");
    std::fflush(stderr);
}

void JexEmail::DumpBody() {
    std::fprintf(stderr, "\n<b> Body of JexEmail message to be sent:\n%s\n",
                 std::string(40, '=').c_str());
    for (int i = 0; i < LineCount; ++i) std::fprintf(stderr, "%3.3d: %s\n", i, Body[i].Text());
    std::fprintf(stderr, "=============End of Body Dump===========\n\n");
    std::fflush(stderr);
}

void JexEmail::Dump() {
    Apply_Defaults();
    std::fprintf(stderr, "Dump of Email Message Object %8.8x\n", AddressWord(this));
    std::fprintf(stderr, "%s\n", std::string(37, '=').c_str());
    std::fprintf(stderr, "    LocUserName: %s\n", LocUserName.Text());
    std::fprintf(stderr, "     LocDomList: %s\n", LocDomList.Text().Text());
    std::fprintf(stderr, "     LocNodList: %s\n", LocNodList.Text().Text());
    std::fprintf(stderr, "        PfmNode: %s\n", PfmNode.Text());
    std::fprintf(stderr, "        SrcAcid: %s\n", SrcAcid.Text());
    std::fprintf(stderr, "        SrcNode: %s\n", SrcNode.Text());
    std::fprintf(stderr, "         Sender: %s\n", Sender.Text());
    std::fprintf(stderr, "  Personal Name: %s\n", SrcPers.Text());
    std::fprintf(stderr, "    Destination: %s\n", DstAddr.Text());
    std::fprintf(stderr, "             CC: %s\n", CC.Text());
    std::fprintf(stderr, "        Subject: %s\n", Subject.Text());
    std::fprintf(stderr, "       Reply To: %s\n", ReplyTo.Text());
    std::fprintf(stderr, "     Attach Sig: %d\n", AtchSig);
    std::fprintf(stderr, "       Compress: %d\n", Compress);
    std::fprintf(stderr, "        Encrypt: %d\n", Encrypt);
    std::fprintf(stderr, " AnythingToSend: %d\n", AnythingToSend);
    std::fprintf(stderr, "\nMessage body:\n-------------\n");
    for (int i = 0; i < LineCount; ++i) std::fprintf(stderr, "%s\n", Body[i].Text());
    std::fprintf(stderr, "[end of message, %d lines]\n\n", LineCount);
    std::fflush(stderr);
}
