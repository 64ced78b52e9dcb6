// JexSra: base of the service-request objects: status and event table, request attributes.
#pragma once

#include <cstdint>
#include <span>

#include "jexlink/core/JexAttribute.h"
#include "jexlink/core/JexException.h"
#include "jexlink/core/JexString.h"

class JexLogger;
class JexSession;

// Statuses below 4097; from 0x1001 on the progress events that the clients
// record while they work. Rows are never renumbered: the code names travel
// inside error images between client and server.
#define JEXSRA_TEXTS(JEX_TEXT)                                                                 \
    JEX_TEXT(0, OK, "Operation successful")                                                    \
    JEX_TEXT(1, ACCESSFAIL, "Remote access failed")                                            \
    JEX_TEXT(2, ACIDSRQMISMATCH, "AccessNo-SRQID mismatch;Error - %1$d.")                      \
    JEX_TEXT(3, BYTELIMITERR,                                                                  \
             "Your submission of %1$d bytes exceeds the size limit of %2$d bytes")             \
    JEX_TEXT(4, CLIENTVERSION, "Client's version is %1$d.")                                    \
    JEX_TEXT(5, CONNECTFAIL, "Connection to server failed")                                    \
    JEX_TEXT(6, CONNECTNOTESTAB,                                                               \
             "Connection to server not established \n Press Review button to make the "        \
             "connection")                                                                     \
    JEX_TEXT(7, CONVERSIONERR, "Conversion from JexNetMsg to JexBuffer failed")                \
    JEX_TEXT(8, ERRCONVTIME, "Error converting time")                                          \
    JEX_TEXT(9, ERRFETCHWUCNT, "Error fetching Work-unit count")                               \
    JEX_TEXT(10, FAILURE, "Operation failed")                                                  \
    JEX_TEXT(11, FETCHFAIL, "Failed to fetch the requested list.")                             \
    JEX_TEXT(12, FILEOPENERR, "File opening error")                                            \
    JEX_TEXT(13, FISFAIL, "Image symbol (%1$s) lookup failure")                                \
    JEX_TEXT(14, GETMSGERR, "Socket GetMsg error")                                             \
    JEX_TEXT(15, INVALIDDATE, "Invalid beginning or ending date")                              \
    JEX_TEXT(16, INVALIDSRQID, "Invalid service request number %1$s")                          \
    JEX_TEXT(17, LISTENERR, "Socket Listen error")                                             \
    JEX_TEXT(18, LISTFETCHFAIL, "Failed to fetch the list")                                    \
    JEX_TEXT(19, LISTNOTAVAIL, "The requested list type is not available at this site")        \
    JEX_TEXT(20, MAILERR, "CC mail was not delivered successfully")                            \
    JEX_TEXT(21, NOCLOSEDSRQ, "No closed service requests")                                    \
    JEX_TEXT(22, NODATAERR, "Mandatory data not given")                                        \
    JEX_TEXT(23, NODSTACID, "Destination access number not specified")                         \
    JEX_TEXT(24, NOITEMCODE, "Item code does not exist")                                       \
    JEX_TEXT(25, NOOPENSRQ, "No open service requests")                                        \
    JEX_TEXT(26, NOPRODUCTS, "No product information found")                                   \
    JEX_TEXT(27, NOROUTINGCODES, "No routing codes are available")                             \
    /* 28 is an unused number. */                                                              \
    JEX_TEXT(29, NOTVALIDREQUEST, "Not a valid request")                                       \
    JEX_TEXT(30, NOTVALIDVERSION, "Not a valid version")                                       \
    JEX_TEXT(31, NOWORKUNITZERO, "Workunit number 0 does not exist")                           \
    JEX_TEXT(32, PROBAUGFAIL, "Problem augmentation failed")                                   \
    JEX_TEXT(33, PROBSUBFAIL, "Problem submission failed")                                     \
    JEX_TEXT(34, PROTOCOLERR, "Protocol error")                                                \
    JEX_TEXT(35, PSSSTATUSIS, "Status from PSS is %1$d")                                       \
    JEX_TEXT(36, PUTMSGERR, "Socket PutMsg error")                                             \
    JEX_TEXT(37, REMOTEFAIL, "Failure detected by server")                                     \
    JEX_TEXT(38, REVFAIL, "Failed to fetch work units for the specified service request.")     \
    JEX_TEXT(39, REVIEWFAIL, "Reviewing of service request failed")                            \
    JEX_TEXT(40, SENDMAIL, "Click on Mail to have a confirmation mail message\nsent to: ")     \
    JEX_TEXT(41, SESSIONERR, "Session error")                                                  \
    JEX_TEXT(42, STATUSIS, "Status : %1$d")                                                    \
    JEX_TEXT(43, UNKNOWNROUTINGCODE, "Unknown routing code")                                   \
    JEX_TEXT(44, VERNOTSUPPORTED, "Version not supported")                                     \
    JEX_TEXT(45, WORKUNITNOTEXIST, "Workunit number %1$d does not exist")                      \
    JEX_TEXT(46, NOWUS, "Service request has no viewable workunits")                           \
    JEX_TEXT(0x1001, EVT_CONNHOST, "Connecting to target %2$s.%1$s.jex, please wait...")       \
    JEX_TEXT(0x1002, EVT_CONNESTAB, "Connection established")                                  \
    JEX_TEXT(0x1003, EVT_REQUEST, "Submitting request to host...")                             \
    JEX_TEXT(0x1004, EVT_WAITING, "Waiting for response from host...")                         \
    JEX_TEXT(0x1005, EVT_RESPONSE, "Response received by host")                                \
    JEX_TEXT(0x1006, EVT_SUCCESS_CRE,                                                          \
             "Request accepted by host.\r\n\r\n\tYour new service request number is %1$s\r\n") \
    JEX_TEXT(0x1007, EVT_SUCCESS_CRE_MAIL,                                                     \
             "Click Mail to have a confirmation message sent to: "                             \
             "%1$s")                                                                           \
    JEX_TEXT(0x1008, EVT_SUCCESS_AUG, "Service request %1$s successfully augmented")           \
    JEX_TEXT(0x1009, EVT_SUCCESS_REV, "Service request %1$s work unit %2$d is loading")        \
    JEX_TEXT(0x100A, EVT_SUCCESS_REVOK, "Service request %1$s work unit %2$d is loaded")       \
    JEX_TEXT(0x100B, EVT_SUCCESS_FET, "Requested list has been loaded")

// Base of every service-request object (the clients and the server), and on
// its own a holder into which an error received over the network is
// rebuilt. It keeps the request's attributes, a session that its caller
// owns and keeps alive longer than the request, and the history-log record
// that a subclass creates and owns.
//
// The constructor sets the suppress flag: errors and events recorded on a
// request are never offered to handlers and never end the process; callers
// read the returned status and the recorded error. An object belongs to
// the one thread that runs its operation.
class JexSra : public JexException {
public:
    enum : int { JEXSRA_TEXTS(JEX_TEXT_CODE) };
    static const JexTextRow kTextTable[];

    // Attribute numbers: 10 to 25 are the session's (same numbers and
    // names), 201 on the service-request application's own.
    enum Attribute : int {
        DST_ACID = 10,
        DST_NODE = 11,
        LANGUAGE = 15,
        SRC_ACID = 24,
        SRC_NODE = 25,
        SRQ_ACCESS_NUMBER = 201,
        SRQ_TEXT = 202,
        SRQ_SUBJECT = 203,
        SRQ_NUMBER = 204,
        SRQ_CONTACT = 205,
        SRQ_WORK_UNIT_COUNT = 206,
        SRQ_BEFORE = 207,
        SRQ_SINCE = 208,
        SRQ_OS_INFO = 209,
        SRQ_HARDWARE_INFO = 210,
        SRQ_SOFTWARE_INFO = 211,
        SRQ_CC_ADDRESS = 212,
        SRQ_NUMERIC = 213,
    };

    // The value of SRQ_NUMERIC until it is set.
    static constexpr int32_t kDefaultNumeric = 2;

    JexSra();
    ~JexSra() override;

    // SRQ_NUMERIC takes the value: OK. Any other attribute: NOITEMCODE,
    // nothing changed.
    // The attribute rows (JexAttribute.h) its GetAttr and SetAttr check against.
    static std::span<const JexAttrRow> AttributeRows();
    int SetAttr(int attribute, int32_t value);
    // The settable texts (DST_ACID, DST_NODE, SRC_ACID, SRC_NODE,
    // SRQ_CONTACT, SRQ_BEFORE to SRQ_CC_ADDRESS) take a copy of the text
    // (null empties it) and keep their case flag: OK. Any other attribute,
    // the read-only SRQ_ACCESS_NUMBER to SRQ_NUMBER among them: NOITEMCODE,
    // nothing changed. Neither form records an error.
    int SetAttr(int attribute, const char* text);

    // SRQ_NUMERIC: its value and OK. SRQ_WORK_UNIT_COUNT on a review
    // request: its GetWorkUnitCount, then the count and OK, or FAILURE (the
    // error handed to the history-log record and, as reject data, to the
    // session). Any other (SRQ_WORK_UNIT_COUNT on any other request among
    // them): NOITEMCODE, out untouched.
    int GetAttr(int attribute, int32_t& out);
    // Every text attribute: out takes its text and case flag, OK. LANGUAGE
    // is the held session's answer, OK whatever it answered; a request that
    // holds no session answers NOITEMCODE. Any other: NOITEMCODE, out
    // untouched.
    int GetAttr(int attribute, JexString& out);

    JexSession* Session() const { return session_; }

protected:
    // The text field of an attribute, or null for one that is not a text.
    JexString* TextField(int attribute);
    // SRQ_WORK_UNIT_COUNT: NOITEMCODE but on a request that knows a count.
    virtual int CountAttribute(int32_t& out);

    static const JexAttrRow kAttributes[];

private:
    // 0, or NOITEMCODE when `attribute` cannot be read (or set) as a `kind`.
    static int AttrCheck(int attribute, JexAttrKind kind, JexAttrAccess access);
    // LANGUAGE, answered by the held session.
    int SessionLanguage(JexString& out);

protected:
    JexString number_;                   // SRQ_NUMBER
    JexString src_acid_;                 // SRC_ACID
    JexString src_node_;                 // SRC_NODE
    JexString dst_acid_;                 // DST_ACID
    JexString dst_node_;                 // DST_NODE
    JexString contact_;                  // SRQ_CONTACT
    JexString accessNumber_;             // SRQ_ACCESS_NUMBER
    JexString subject_;                  // SRQ_SUBJECT
    JexString text_;                     // SRQ_TEXT
    JexString since_;                    // SRQ_SINCE
    JexString before_;                   // SRQ_BEFORE
    JexString listText_;                 // kept by the list-fetch client
    JexString osInfo_;                   // SRQ_OS_INFO
    JexString hardwareInfo_;             // SRQ_HARDWARE_INFO
    JexString softwareInfo_;             // SRQ_SOFTWARE_INFO
    JexString ccAddress_;                // SRQ_CC_ADDRESS
    JexString mailContact_;              // the configured contact mail address
    int32_t numeric_ = kDefaultNumeric;  // SRQ_NUMERIC
    JexSession* session_ = nullptr;      // not owned
    JexLogger* logger_ = nullptr;        // owned by the subclass that creates it
};
