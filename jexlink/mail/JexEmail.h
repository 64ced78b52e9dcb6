// JexEmail: the library's mail message, delivered locally by SMTP or remotely over a session.
#pragma once

#include <cstdio>

#include "jexlink/core/JexException.h"
#include "jexlink/core/JexFieldedString.h"
#include "jexlink/core/JexLogger.h"
#include "jexlink/core/JexString.h"

#define JEXEMAIL_TEXTS(JEX_TEXT)                                                        \
    JEX_TEXT(0, OK, "Mail sent to <%1$s>")                                              \
    JEX_TEXT(1, BADATTR, "Attribute '%1$s' contains a bad value")                       \
    JEX_TEXT(2, CANTFORWARD, "Forwarding mail thru JEXlink is disabled at system %1$s") \
    JEX_TEXT(3, CONNECT_FAIL, "Connection to server failed")                            \
    JEX_TEXT(4, CORRUPT_MESSAGE, "Received message is corrupted")                       \
    JEX_TEXT(5, FAILURE, "Failed delivering to one or more recipients")                 \
    JEX_TEXT(6, GETMSGERR, "Error reading response from server")                        \
    JEX_TEXT(7, HANDLER_ERROR, "Mail handler rejected message")                         \
    JEX_TEXT(8, NOATTR, "Attribute '%1$s' has no value")                                \
    JEX_TEXT(9, NOPARAM, "No value found for configuration parameter %1$s")             \
    JEX_TEXT(10, NOTHING_TO_SEND, "There is nothing to be sent")                        \
    JEX_TEXT(11, OPENFAIL, "Error opening file <%1$s>")                                 \
    JEX_TEXT(12, PROTOCOL_ERROR, "Protocol Error")                                      \
    JEX_TEXT(13, PUTMSGERR, "Error sending message to server")                          \
    JEX_TEXT(14, REMOTE_SEND_FAIL, "Unable to send remote message to <%1$s>")           \
    JEX_TEXT(15, UNABLE_TO_SAVE, "Unable to save to file <%1$s>")                       \
    JEX_TEXT(16, UNAVAILABLE, "The JEXlink Mail application is not available")          \
    JEX_TEXT(17, X, "-------------------------------------")                            \
    JEX_TEXT(4097, EVT_SENDING_LOCAL, "Sending local mail to %1$s")                     \
    JEX_TEXT(4098, EVT_SENDING_REMOTE, "Sending remote mail to %1$s")

// One mail message: header fields, body lines and the sender derived from
// the local configuration, delivered by Send to every destination of DstAddr
// and CC (e-mail locator texts separated by ";"). A destination of Local
// scope, or whose access id is one of this system's domains, goes to the
// SMTP mailer (Send_Local); any other to the application "Jex_Mail" of its
// node over a session (Send_Remote). The first destination's result
// replaces the object's error; later ones are appended to its cause chain.
//
// The constructor runs the local authorization check; a refused mail is
// never delivered: Send records FAILURE over "AUTHFAIL" and returns 5.
// Errors are only recorded until a caller clears the suppress flag or
// registers a handler. One object serves one thread.
class JexEmail : public JexException {
public:
    enum : int { JEXEMAIL_TEXTS(JEX_TEXT_CODE) };
    static const JexTextRow kTextTable[];
    static constexpr const char* kApplication = "Jex_Mail";

    explicit JexEmail(int secondary = 0);
    ~JexEmail() override;

    void get_trace_flags();
    int AddLine(const char* line);
    int AddFile(const char* path);
    int EraseLine();
    int Is_Us(const char* acid);
    void Apply_Defaults();
    // 0, 5 (a destination failed), 8 (a field missing or bad; nothing sent)
    // or 10 (nothing to send).
    int Send();
    int Send_One(const char* address);
    int Send_Local(const char* address);
    int Send_Remote(const char* address);
    static JexString trim(const char* text);
    void Dump();

    // The route-map path and the key-file directory that remote delivery
    // uses, as the latest constructor found them.
    static JexString RouteMapPath();
    static JexString KeyDirectory();

    JexString DstAddr{""};
    JexString Subject{""};
    JexString SrcPers{""};
    JexString SrcAcid{""};
    JexString SrcNode{""};
    JexString ReplyTo{""};
    JexString CC{""};
    int AtchSig = 1;
    int Compress = 1;
    int Encrypt = 0;
    JexString Sender{"-- not yet formed --"};
    int TraceAdding = 0;
    int TraceHeader = 0;
    int TraceBody = 0;
    int TraceD = 0;
    int TraceLocal = 0;
    int TraceRemote = 0;
    int SendCount = 0;
    int AllOk = 1;
    int LastFailed = 0;
    int AnythingToSend = 0;
    JexFieldedString Body{'\n'};
    int LineCount = 0;
    JexLogger History;
    JexString PfmNode{""};
    JexString LocUserName{""};
    JexFieldedString LocDomList{','};
    JexFieldedString LocNodList{','};
    int SecondaryInvoke = 0;
    int ForwardsAllowed = 0;
    // 1 when the local authorization check refused the mail.
    int AuthRefused = 0;

private:
    // Records BADATTR for a field holding a line break; true when clean.
    bool FieldsClean(const JexFieldedString& destinations);
    // Appends the lines of a file, in pieces of at most `piece` bytes.
    int AppendFile(const char* path, int piece, bool asAddLine);
    // Announces a delivery with its event, keeping earlier results.
    void Announce(int event, const char* context, const char* address);
    // Records a delivery's success: replaces the error for the first
    // destination, appends it for later ones.
    void RecordSuccess(const char* context, const char* address);
    void DumpHeader();
    void DumpBody();

    // Set on a copy whose lines already carry the via line.
    int viaAdded_ = 0;
};
