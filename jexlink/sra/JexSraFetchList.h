// JexSraFetchList: the client that fetches one of the lists of "Jex_Sra".
#pragma once

#include "jexlink/sra/JexSraClient.h"

class JexSession;

// Asks the server for one list (the list type: 0 help topics, 1 service
// contracts, 2 open requests, 3 closed requests; sent unchecked), bounded
// by the dates in SRQ_BEFORE and SRQ_SINCE when the caller sets them, over
// a session that the caller owns and keeps alive longer than the client.
//
// The constructor reads "Local.Domain", "Local.Node", "Remote.Domain" and
// "Remote.Node" and starts the history-log record; the destructor writes
// it. Errors and events of the client and its session are only recorded
// (suppress flags). No wait on the server lasts longer than the setting
// "SRA.ReplyTimeout" (seconds, 300 by default).
class JexSraFetchList : public JexSraClient {
public:
    JexSraFetchList(JexSession* session, int listType);
    ~JexSraFetchList() override;

    // Runs the fetch exchange: 0 with every line of the list in `list`,
    // each followed by a line feed; else INVALIDDATE (a date the parser
    // refuses, found before any network activity, or a list without text),
    // SESSIONERR (no session, or it refused an attribute), CONNECTFAIL,
    // CONVERSIONERR, GETMSGERR (the connection ended before the list's
    // end), LISTFETCHFAIL (the server's failure reply) or PROTOCOLERR. The
    // error state is then FETCHFAIL with the failure beneath it. After a
    // failure before or at the connect `list` is as the caller left it,
    // after a later one it is empty. Every return after a connect attempt
    // leaves the session disconnected.
    int Fetch(JexString& list);

private:
    // The end of the failures after the connect: FETCHFAIL stacked on the
    // client's error, the history-log record given it, the failure notice
    // sent when `notice` is set, `list` emptied, the session disconnected.
    int Fail(int status, bool notice, JexString& list);

    int listType_;
};
