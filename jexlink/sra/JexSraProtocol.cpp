// The "Jex_Sra" conversation: message types, items, and the builders and readers of its messages.
#include "jexlink/sra/JexSraProtocol.h"

#include <cstdio>
#include <cstring>

#include "jexlink/core/JexThread.h"

namespace {

void SetDecimal(JexBuffer& item, int value) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", value);
    item = JexBuffer(text);
}

void SetInteger(JexBuffer& item, int32_t value) { item.SetLong(value); }

}  // namespace

void JexSraSetText(JexBuffer& item, const JexString& text) {
    // JexBuffer(const char*) keeps storage for an empty text: the item is
    // present, as the server requires.
    item = JexBuffer(text.Text());
}

JexString JexSraText(const JexBuffer& item) {
    if (!item.Data()) return JexString("", 1);
    JexString text = JexString::FromBytes(item.Data(), item.Length());
    text.SetCaseSensitive(1);
    return text;
}

void JexSraBuildConnect(const JexSraConnectItems& items, JexNetMsg& msg) {
    msg.Clear();
    msg.Type(kSraConnect);
    SetDecimal(msg[kSraItemKind], items.kind);
    SetInteger(msg[kSraItemVersion], kSraVersion);
    JexSraSetText(msg[kSraItemSubject], items.subject);
    SetInteger(msg[kSraItemNumeric], items.numeric);
    JexSraSetText(msg[kSraItemContact], items.contact);
    switch (items.kind) {
        case kSraKindNew: JexSraSetText(msg[kSraItemAccessNumber], items.accessNumber); break;
        case kSraKindAugment:
        case kSraKindReview: JexSraSetText(msg[kSraItemRequestNumber], items.requestNumber); break;
        case kSraKindListFetch:
            SetDecimal(msg[kSraItemListType], items.listType);
            if (*items.before.Text()) JexSraSetText(msg[kSraItemBefore], items.before);
            if (*items.since.Text()) JexSraSetText(msg[kSraItemSince], items.since);
            break;
        default: break;
    }
}

void JexSraBuildHeader(int item, const JexString& text, JexNetMsg& msg) {
    msg.Clear();
    msg.Type(kSraData);
    JexSraSetText(msg[item], text);
}

void JexSraBuildLine(const JexString& line, JexNetMsg& msg) {
    JexSraBuildHeader(kSraItemLine, line, msg);
}

void JexSraBuildEnd(JexNetMsg& msg) {
    msg.Clear();
    msg.Type(kSraEnd);
}

void JexSraBuildAccept(uint32_t limit, JexNetMsg& msg) {
    msg.Clear();
    msg.Type(kSraAccept);
    SetInteger(msg[kSraItemSizeLimit], static_cast<int32_t>(limit));
}

void JexSraBuildSuccess(const JexString& number, JexNetMsg& msg) {
    msg.Clear();
    msg.Type(kSraSuccess);
    JexSraSetText(msg[kSraItemLine], number);
}

uint32_t JexSraSizeLimit(const JexNetMsg& accept) {
    return static_cast<uint32_t>(accept[kSraItemSizeLimit].GetLong());
}

bool JexSraOverLimit(int64_t length, uint32_t limit) { return limit != 0 && length > limit; }

void JexSraSplitLines(const JexString& text, JexFieldedString& lines) {
    lines.SetSeparator('\n');
    lines.Parse(text.Text());
}

JexSraReply JexSraClassifyReply(const JexNetMsg& reply) {
    if (reply.Corrupt()) return JexSraReply::kUndecodable;
    switch (reply.Type()) {
        case kSraSuccess: return JexSraReply::kSuccess;
        case kSraFailure: return JexSraReply::kFailure;
        default: return JexSraReply::kProtocolError;
    }
}
