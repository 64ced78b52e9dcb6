// JexSraServer: the server of the service-request application "Jex_Sra".
#pragma once

#include <cstdint>
#include <cstdio>

#include "jexlink/core/JexBuffer.h"
#include "jexlink/core/JexFieldedString.h"
#include "jexlink/core/JexNetMsg.h"
#include "jexlink/core/JexString.h"
#include "jexlink/session/JexSession.h"
#include "jexlink/sra/JexSra.h"

class JexLogger;
class JexObligation;

// What the server does with a finished request: the service back-end that
// the server's owner may give it. The server hands it the closed work file
// of a new request, an augmentation or a list fetch, and answers the client
// with what it returns. Each call returns 0 (JexSra::OK), or a JexSra code
// after recording the error on `error` (ExcSet); that error goes to the
// client in the failure reply. The work file is deleted when the call
// returns.
class JexSraBackEnd {
public:
    virtual ~JexSraBackEnd() = default;

    // A new request: its number for the success reply.
    virtual int Submit(const char* workFile, JexString& number, JexException& error) = 0;
    // Text added to an existing request.
    virtual int Augment(const char* workFile, JexException& error) = 0;
    // The lines of the list that the work file's list command names.
    virtual int FetchList(const char* workFile, JexFieldedString& lines, JexException& error) = 0;

    // The look-ups of the call-handling system, which this platform does not
    // reach; a back-end that keeps its own records answers them.
    // The access id that service request `srq` belongs to: 0, or a code of
    // JexObligation (13, NOT_VENDOR: the back-end keeps no such record, and
    // the obligation map decides).
    virtual int LookupSrq(const JexString& srq, JexString& acid);
    // The work units of `srq`, one field each (lines separated by line
    // feeds): 0, or a JexObligation code as above.
    virtual int WorkUnits(const JexString& srq, JexFieldedString& units);
};

// What the server needs of its session. In service it is the session
// itself (JexSraSessionLink); the fuzz target gives a scripted stand-in.
class JexSraServerLink {
public:
    virtual ~JexSraServerLink() = default;
    virtual void SetSuppress(int flag) = 0;
    virtual int SetAttr(JexSession::Attribute attribute, const char* value) = 0;
    virtual int GetAttr(JexSession::Attribute attribute, JexString& value) = 0;
    // The session's error code, and the session as the cause of an error.
    virtual int Code() = 0;
    virtual JexException& Error() = 0;
    virtual void FillLog(JexLogger& log) = 0;
    // Bounds every later wait for the client by the session's READ_TIMEOUT.
    virtual void BoundWaits() = 0;
    virtual int Listen(const char* application, const char* acids, JexBuffer& connectData) = 0;
    virtual int Accept(const JexBuffer& acceptData) = 0;
    virtual int Reject(const JexBuffer& rejectData) = 0;
    virtual int PutMsg(const JexBuffer& data, int flags) = 0;
    virtual int GetMsg(JexBuffer& data, int flags) = 0;
    virtual int Disconnect() = 0;
};

// The link that is a session.
class JexSraSessionLink : public JexSraServerLink {
public:
    explicit JexSraSessionLink(JexSession& session) : session_(session) {}
    void SetSuppress(int flag) override { session_.SetSuppress(flag); }
    int SetAttr(JexSession::Attribute attribute, const char* value) override;
    int GetAttr(JexSession::Attribute attribute, JexString& value) override;
    int Code() override { return session_.Code(); }
    JexException& Error() override { return session_; }
    void FillLog(JexLogger& log) override;
    void BoundWaits() override;
    int Listen(const char* application, const char* acids, JexBuffer& connectData) override {
        return session_.Listen(application, acids, connectData);
    }
    int Accept(const JexBuffer& acceptData) override { return session_.Accept(acceptData); }
    int Reject(const JexBuffer& rejectData) override { return session_.Reject(rejectData); }
    int PutMsg(const JexBuffer& data, int flags) override { return session_.PutMsg(data, flags); }
    int GetMsg(JexBuffer& data, int flags) override { return session_.GetMsg(data, flags); }
    int Disconnect() override { return session_.Disconnect(); }

private:
    JexSession& session_;
};

// Serves one connection of "Jex_Sra" per call of Server on a session that
// the caller owns: listens, checks the client (access, connect data, kind,
// version), accepts or rejects it, writes the request's header into a work
// file and runs the handler of the request kind (new request, augment,
// review, list fetch).
//
// The server runs on Qvos only: on this platform Server records
// VERNOTSUPPORTED (44) and returns 44 without touching the session.
//
// Work files "jex_sra_<pid><time>.<access id>" lie in the current directory;
// the access id is reduced to letters, digits, '.', '_' and '-' (others
// become '_', at most kMaxAcidInName of them), the file is created
// exclusively (mode 0600) and it is closed and deleted before Server
// returns.
//
// After the end of a new or augmented request the server hands the closed
// work file to the back-end and answers K with the back-end's number, or F
// with its error (without a back-end: F with PROBSUBFAIL or PROBAUGFAIL); a
// list fetch gets the back-end's lines and Z, or F with LISTNOTAVAIL.
//
// Waits for the client are bounded by the session's READ_TIMEOUT seconds.
// Errors are recorded on the object (suppress flag), never raised to a
// handler; the history-log record, one per object, is written when the
// object ends. One object serves one connection at a time; several objects
// may serve on several threads.
class JexSraServer : public JexSra {
public:
    JexSraServer();
    ~JexSraServer() override;
    JexSraServer(const JexSraServer&) = delete;
    JexSraServer& operator=(const JexSraServer&) = delete;

    // Serves one connection on the session; the handler's status or the
    // code of the check that refused the client.
    int Server(JexSession& session);

    // Not owned; null: no back-end.
    void SetBackEnd(JexSraBackEnd* backEnd) { backEnd_ = backEnd; }

    // Appends one work-file record: the tag byte, the label (may be null),
    // the value's bytes and a line feed.
    static void write_data(std::FILE* file, const char* tag, const char* label, JexBuffer value);

    // The client platform code of a session's PATH attribute.
    static int PlatformCode(const JexString& path);
    // The list command of a list-fetch connect message; false (error
    // recorded on `error`) for a list type outside 0 to 3 or a date that
    // does not convert.
    static bool ListCommand(const JexNetMsg& connect, JexString& command, JexException& error);

    static constexpr int kMaxAcidInName = 64;
    static constexpr int kDispatchTag = 200;

protected:
    // Whether this platform serves; only Qvos does.
    virtual bool ServesOnThisPlatform() const;
    // Server over any link (the session itself in Server).
    int Serve(JexSraServerLink& link);

private:
    // The steps of Serve: the session set up and listening (the connect
    // data in `data`); the client and its request checked (rejected when
    // they fail); the request accepted where its kind is answered at once;
    // the request handed to its kind's handler after the work file's
    // header records.
    int OpenConnection(JexSraServerLink& link, JexBuffer& data);
    int CheckRequest(JexSraServerLink& link, const JexBuffer& data, JexNetMsg& connect,
                     JexString& acid, long& kind);
    int AcceptRequest(JexSraServerLink& link, long kind);
    int Dispatch(JexSraServerLink& link, const JexNetMsg& connect, long kind, std::FILE*& file);

    int NewSrq(JexSraServerLink& link, JexNetMsg connect, std::FILE*& file);
    int AugSrq(JexSraServerLink& link, JexNetMsg connect, std::FILE*& file);
    int ReviewSrq(JexSraServerLink& link, JexNetMsg connect);
    int FetchSrqList(JexSraServerLink& link, JexNetMsg connect, std::FILE*& file);

    // Records the code, raises it (suppressed), the history-log record takes
    // it, the reject data carries it to the client; returns the code.
    int RejectWith(JexSraServerLink& link, int code, const JexExcArgs& args,
                   JexException* cause = nullptr);
    // The client ended before the end of its request: the summary code with
    // that as cause is recorded, raised (suppressed) and taken by the
    // history-log record; nothing is sent. Returns the summary code.
    int ClientEnded(JexSraServerLink& link, int summary, const char* who);
    // The failure sequence: the recorded error in a failure message sent
    // synchronously, the same to Reject, then Disconnect; returns the code.
    int FailureSequence(JexSraServerLink& link, int code);
    int Fail(JexSraServerLink& link, int code, const JexExcArgs& args,
             JexException* cause = nullptr);
    // Reads the body of a new or augmented request into the work file.
    // 0 at the end message; a failure's code (reply sent); or -1 when the
    // receive failed.
    int ReadBody(JexSraServerLink& link, std::FILE* file, bool withHeaders, const char* who,
                 const char* conversionText);
    // Closes the work file and answers the end of a request through the
    // back-end.
    int Finish(JexSraServerLink& link, std::FILE*& file, bool augment);
    // Whether the client's access id owns the request: 0, or the look-up's code.
    int ValidateSrq(JexObligation& map, const JexString& acid, const JexString& srq);
    std::FILE* CreateWorkFile(const JexString& acid);
    static void CloseFile(std::FILE*& file);

    JexSraBackEnd* backEnd_ = nullptr;
    JexString workFile_;
    uint32_t limit_ = 0;
};

// A date in any form the date parser reads as day-MON-year (5-MAR-2001);
// empty, after the converter's two lines on standard error, when it does
// not convert.
JexString JexSraDateText(const char* text);
