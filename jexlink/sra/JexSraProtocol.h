// The "Jex_Sra" conversation: message types, items, and the builders and readers of its messages.
#pragma once

#include <cstdint>

#include "jexlink/core/JexFieldedString.h"
#include "jexlink/core/JexNetMsg.h"
#include "jexlink/core/JexString.h"

// The application a service-request client connects to.
inline constexpr char kSraApplication[] = "Jex_Sra";
// The protocol version this client sends; a server takes 20 to 29.
inline constexpr int32_t kSraVersion = 20;

// Message types (one byte each).
inline constexpr int kSraConnect = 'C';  // client: connect data
inline constexpr int kSraAccept = 'A';   // server: accept data of kinds 0 and 3
inline constexpr int kSraData = 'D';     // header field or one line of text
inline constexpr int kSraEnd = 'Z';      // end of a request, work unit or list
inline constexpr int kSraSuccess = 'K';  // server: success reply
inline constexpr int kSraFailure = 'F';  // failure reply or notice, with an error image
inline constexpr int kSraReject = 'R';   // server: reject data, with an error image
inline constexpr int kSraQuery = 'Q';    // review query

// Request kinds (item kSraItemKind, as decimal text).
inline constexpr int kSraKindNew = 0;
inline constexpr int kSraKindAugment = 1;
inline constexpr int kSraKindReview = 2;
inline constexpr int kSraKindListFetch = 3;

// Items. Integers are four bytes, least significant first; texts are their
// bytes without a terminator.
inline constexpr int kSraItemKind = 'R';           // connect: kind, decimal text
inline constexpr int kSraItemVersion = 'V';        // connect: integer
inline constexpr int kSraItemSubject = 'b';        // connect
inline constexpr int kSraItemNumeric = 'n';        // connect: integer, 2 when absent
inline constexpr int kSraItemAccessNumber = 'p';   // connect, kind 0: upper case
inline constexpr int kSraItemRequestNumber = 'q';  // connect, kinds 1 and 2
inline constexpr int kSraItemContact = 'r';        // connect
inline constexpr int kSraItemListType = 'j';       // connect, kind 3: decimal text
inline constexpr int kSraItemBefore = 'i';         // connect, kind 3, when set
inline constexpr int kSraItemSince = 'g';          // connect, kind 3, when set
inline constexpr int kSraItemSizeLimit = 'z';      // accept: integer, 0 or absent: none
inline constexpr int kSraItemOsInfo = 'o';         // header
inline constexpr int kSraItemHardwareInfo = 'h';   // header
inline constexpr int kSraItemSoftwareInfo = 's';   // header
inline constexpr int kSraItemLine = 'D';           // line, and the success reply's number
inline constexpr int kSraItemWorkUnit = 't';       // review query: decimal text from 1

// What a connect message carries. Texts travel as given (the create
// client upper-cases the access number before it builds the message).
struct JexSraConnectItems {
    int kind = kSraKindNew;
    JexString subject;
    int32_t numeric = 2;
    JexString contact;
    JexString accessNumber;   // kind 0
    JexString requestNumber;  // kinds 1 and 2
    int listType = 0;         // kind 3
    JexString before;         // kind 3, sent when not empty
    JexString since;          // kind 3, sent when not empty
};

// The message becomes the connect message (type kSraConnect) of the items.
void JexSraBuildConnect(const JexSraConnectItems& items, JexNetMsg& msg);
// The message becomes a header message: type kSraData with the one item.
void JexSraBuildHeader(int item, const JexString& text, JexNetMsg& msg);
// The message becomes a line message: type kSraData with item kSraItemLine,
// which travels in the raw form ('d' and the line's bytes).
void JexSraBuildLine(const JexString& line, JexNetMsg& msg);
// The message becomes the end message: type kSraEnd, no items.
void JexSraBuildEnd(JexNetMsg& msg);
// The message becomes accept data (type kSraAccept) with the size limit.
void JexSraBuildAccept(uint32_t limit, JexNetMsg& msg);
// The message becomes the success reply (type kSraSuccess) with the number.
void JexSraBuildSuccess(const JexString& number, JexNetMsg& msg);

// An item holding text: its bytes, present even when empty.
void JexSraSetText(JexBuffer& item, const JexString& text);
// The text of an item (empty when absent).
JexString JexSraText(const JexBuffer& item);

// The size limit of accept data: item kSraItemSizeLimit read as an unsigned
// 32-bit value (fewer than four bytes give what is there); 0 when absent.
uint32_t JexSraSizeLimit(const JexNetMsg& accept);
// True when a text of `length` bytes exceeds the limit; a limit of 0 is none.
bool JexSraOverLimit(int64_t length, uint32_t limit);

// The lines a text is sent as: split at every line feed, empty lines kept
// (so "\nx\n" is "", "x", ""); carriage returns stay in the lines. An empty
// text gives no line.
void JexSraSplitLines(const JexString& text, JexFieldedString& lines);

// What a reply is, by its type byte alone.
enum class JexSraReply { kSuccess, kFailure, kProtocolError, kUndecodable };
JexSraReply JexSraClassifyReply(const JexNetMsg& reply);
