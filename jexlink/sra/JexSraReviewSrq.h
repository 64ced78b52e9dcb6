// JexSraReviewSrq: the client that reads back the work units of a service request from "Jex_Sra".
#pragma once

#include <cstdint>
#include <map>

#include "jexlink/sra/JexSraClient.h"

class JexSession;

// Reads the work units (numbered from 1) of the service request that
// SRQ_NUMBER names, over a session that the caller owns and keeps alive
// longer than the request. GetWorkUnitCount connects and learns the count
// (SRQ_WORK_UNIT_COUNT of GetAttr); each Review asks for one work unit over
// that one connection and keeps its text in a cache; once every work unit
// is cached the client disconnects and answers from the cache alone.
//
// The working constructor reads "Local.Domain", "Local.Node",
// "Remote.Domain" and "Remote.Node" and starts the history-log record; the
// destructor writes it. Errors and events of the request and its session
// are only recorded (suppress flags). No wait on the server lasts longer
// than the setting "SRA.ReplyTimeout" (seconds, 300 by default).
//
// After a failure that disconnected the session the request stays broken:
// it answers cached work units and fails the others. A caller that wants to
// go on builds a new request on a new session.
class JexSraReviewSrq : public JexSraClient {
public:
    // A request without a session or history-log record: it can only be
    // destroyed (its operations fail with SESSIONERR).
    JexSraReviewSrq();
    JexSraReviewSrq(JexSession* session, const char* number);
    ~JexSraReviewSrq() override;

    // Connects and learns the count: 0 (also at once once the review is
    // complete), ACCESSFAIL (the server refused the connection),
    // CONNECTFAIL, NOWUS (no work units, or a count below 1; the session
    // stays connected) or SESSIONERR (no session, or it refused an
    // attribute). While connected it answers from the count it learnt
    // instead of connecting again.
    int GetWorkUnitCount();

    // The text of work unit `unit` (1 to the count), every line followed by
    // a line feed: 0, or REVIEWFAIL (or the server's code from its reject
    // data) when the count could not be learnt, NOWUS, WORKUNITNOTEXIST
    // (out of range: nothing is sent), PUTMSGERR, CONVERSIONERR,
    // GETMSGERR (the connection failed before the work unit's end),
    // PROTOCOLERR (the server answered with another message, such as its
    // failure reply) or INVALIDSRQID (the work unit is empty). On every
    // failure but the range check the text is left empty or as it was.
    int Review(int32_t unit, JexString& text);

    int32_t WorkUnitCount() const { return count_; }

private:
    // SRQ_WORK_UNIT_COUNT of JexSra::GetAttr: the count after
    // GetWorkUnitCount, or FAILURE after it failed.
    int CountAttribute(int32_t& out) override;
    // The end of Review's failures after the connection: the own code set
    // and raised, REVIEWFAIL stacked on it, the history-log record given the
    // error (unless `record` is false), the failure notice sent (when
    // `notice` is set), the session disconnected and the text emptied.
    int ReviewFail(int status, const char* summary, bool record, bool notice, JexString& text);
    // The implicit count of Review after a failure: the record given the
    // request's error; its code.
    int Record();

    // Work unit i's text once read. Only units that arrived take room, so a
    // server's count never sizes the cache.
    std::map<int32_t, JexString> cache_;
    int32_t count_ = 0;
    int connected_ = 0;
    int complete_ = 0;
};
