// JexModem: the status class of the modem transport, with its table of 94 codes.
#pragma once

#include "jexlink/core/JexBuffer.h"
#include "jexlink/core/JexException.h"
#include "jexlink/core/JexString.h"
#include "jexlink/transport/JexModemClient.h"

// Codes 0 to 93, without a gap. Many name conditions of the modem daemon's
// dialer, wire and line layers, which only the daemon detects; their texts
// take no arguments. Rows are never renumbered: the codes travel as results
// between the connection and its callers.
#define JEXMODEM_TEXTS(JEX_TEXT)                                                                  \
    JEX_TEXT(0, OK, "Operation successful")                                                       \
    JEX_TEXT(1, ANSWER_FAIL, "Error answering modem call")                                        \
    JEX_TEXT(2, API_COMMBOX_ERROR, "Error creating API's commbox")                                \
    JEX_TEXT(3, APPL_NO_RESPOND, "Application is no longer responding")                           \
    JEX_TEXT(4, ATTACH_FAIL, "Cannot attach to modem line")                                       \
    JEX_TEXT(5, ATTRNOTINT, "Attribute is not an integer")                                        \
    JEX_TEXT(6, ATTRNOTSTRING, "Attribute is not a string")                                       \
    JEX_TEXT(7, ATTRREADONLY, "Attribute is read-only")                                           \
    JEX_TEXT(8, BADAPPL, "Application not specified for server")                                  \
    JEX_TEXT(9, BADATTR, "Invalid attribute specified")                                           \
    JEX_TEXT(10, BADATTRVALUE, "Invalid attribute value specified")                               \
    JEX_TEXT(11, BAD_FRAME_TYPE, "Frame type %1$d is invalid for Class 2 service, rcvd at %2$s")  \
    JEX_TEXT(12, BAD_NET_ADDR, "Invalid network address")                                         \
    JEX_TEXT(13, BADNAME, "Invalid name specified")                                               \
    JEX_TEXT(14, CALL_ERROR, "Error placing modem call, retryable")                               \
    JEX_TEXT(15, CALL_BACK_ERROR, "Callback is not implemented yet")                              \
    JEX_TEXT(16, CANTATTACH, "Cannot attach to requestor's commbox <%1$s>.")                      \
    JEX_TEXT(17, CARRIER_LOST, "Modem carrier lost")                                              \
    JEX_TEXT(18, CLIENT_DISCONNECT, "Normal disconnect initiated by client")                      \
    JEX_TEXT(19, COMMBOX_ERROR, "Error using daemon's commbox")                                   \
    JEX_TEXT(20, CORRUPT_DATA_FRAME, "TP2 data frame is corrupted")                               \
    JEX_TEXT(21, DAEMON_LINK_FULL, "Daemon already has max links")                                \
    JEX_TEXT(22, DAEMON_DISCONNECT, "Disconnect initiated by daemon management")                  \
    JEX_TEXT(23, DATA_OVERRUN, "Data overrun on modem line")                                      \
    JEX_TEXT(24, DESTUFF_ERROR, "Error destuffing received frame")                                \
    JEX_TEXT(25, DEVERR, "Error on device %1$s")                                                  \
    JEX_TEXT(26, DIAL_BACK, "Remote modem requests dial back")                                    \
    JEX_TEXT(27, DIAL_ERROR, "Error dialing modem, not retryable")                                \
    JEX_TEXT(28, DIAL_LAYER_FAIL, "Failure in modem dialer layer")                                \
    JEX_TEXT(29, DISCONNECTED, "Connection not established")                                      \
    JEX_TEXT(30, DOUBLE_INIT, "API object already initialized before")                            \
    JEX_TEXT(31, ED_INVALID, "Expeditated data (*,%1$d) not supported, at %2$s, message ignored") \
    JEX_TEXT(32, EVENT_NOT_HANDLED,                                                               \
             "Line %1$s event %2$s not handled in state %3$s, mode %4$s/%5$s")                    \
    JEX_TEXT(33, FAILURE, "Operation failed")                                                     \
    JEX_TEXT(34, FCS_ERROR, "Frame check sequence error")                                         \
    JEX_TEXT(35, HANDSHAKE_ERROR, "Modem handshake error")                                        \
    JEX_TEXT(36, INVALID_DATA_FIELD, "Invalid data field in frame")                               \
    JEX_TEXT(37, INVALID_DEVICE, "Device %1$s not found in modem device file")                    \
    JEX_TEXT(38, IPC_READ_ERROR, "Error reading from API's commbox")                              \
    JEX_TEXT(39, IPC_WRITE_ERROR, "Error writing to daemon's commbox")                            \
    JEX_TEXT(40, LINE_BUSY, "Remote modem line is busy")                                          \
    JEX_TEXT(41, LINE_FAILURE, "Failure with use of modem line")                                  \
    JEX_TEXT(42, LINE_STATE_ERROR,                                                                \
             "Line %1$s state error;\n\tevent %2$s, state %3$s, mode(a) %4$s, mode(c) %5$s")      \
    JEX_TEXT(43, LINK_ABORT, "Data link aborted by session entity")                               \
    JEX_TEXT(44, LINK_EVENT_NOT_HANDLED, "Link (%3$d,%4$d) event %1$s not handled in state %2$s") \
    JEX_TEXT(45, LINK_FAILURE, "Data link heartbeat is stopped")                                  \
    JEX_TEXT(46, LINK_PROTOCOL_ERROR,                                                             \
             "Link protocol error; event %1$s while in state %2$s for link (%3$d,%4$d)")          \
    JEX_TEXT(47, LINK_STATE_ERROR,                                                                \
             "Link state error; event %1$s while in state %2$s for link (%3$d,%4$d)")             \
    JEX_TEXT(48, LINK_STATE_INFO, "Link (%1$d,%2$d) current state is %3$s.")                      \
    JEX_TEXT(49, LINK_STATE_NOT_HANDLED,                                                          \
             "Link (%3$d,%4$d) state %2$s not handled with event %1$s")                           \
    JEX_TEXT(50, LINKS_STILL_ACTIVE, "Links are still active on the line")                        \
    JEX_TEXT(51, LISTEN_FAIL, "Error listening for modem call")                                   \
    JEX_TEXT(52, QORCLIENT_DOWN, "Qor Client not available")                                      \
    JEX_TEXT(53, MEMORY_ERROR, "Memory allocation error")                                         \
    JEX_TEXT(54, MISSING_PARAMETER, "Missing parameter %1$s, it is required for this object")     \
    JEX_TEXT(55, QORSERVER_DOWN, "Qor Server not available")                                      \
    JEX_TEXT(56, NO_ANSWER, "Remote modem does not answer")                                       \
    JEX_TEXT(57, NO_CONNECTION, "No connection established yet")                                  \
    JEX_TEXT(58, NO_CURR_LINK,                                                                    \
             "Message received for unknown link (%1$d,%2$d) at %3$s, message ignored")            \
    JEX_TEXT(59, NO_DEVICE_AVAIL, "No modem device available")                                    \
    JEX_TEXT(60, NO_DEVICE_FILE, "Modem device file %1$s is missing")                             \
    JEX_TEXT(61, NO_LINE_AVAIL, "No qualified modem line available")                              \
    JEX_TEXT(62, OPERATION_NOT_ALLOWED, "Operation is not allowed by the line mode")              \
    JEX_TEXT(63, OPTION_NOT_SUPPORTED, "TP2 option is not supported")                             \
    JEX_TEXT(64, ORIGINATE_FAIL, "Error originating modem call")                                  \
    JEX_TEXT(65, PROGRAM_ERROR, "Internal program error")                                         \
    JEX_TEXT(66, PROTOCOL_ERROR, "Protocol Error with event %1$s in state %2$s")                  \
    JEX_TEXT(67, READ_ERROR, "Error occurred during read from %1$s at %2$s")                      \
    JEX_TEXT(68, REFERENCE_ID_ERROR, "The reference id's do not match")                           \
    JEX_TEXT(69, REJECTED, "Connection request rejected")                                         \
    JEX_TEXT(70, SCRIPT_ERROR, "Error with or in dialer script file %1$s")                        \
    JEX_TEXT(71, SERVER_LINK_FULL, "Server already has maximum links")                            \
    JEX_TEXT(72, SERVER_NOT_CONNECTED, "Remote daemon can't run/connect to server")               \
    JEX_TEXT(73, SERVER_NOT_DEFINED, "Server is not defined in database")                         \
    JEX_TEXT(74, SERVER_NOT_RIGHT, "Connecting to a wrong server")                                \
    JEX_TEXT(75, SERVER_DISCONNECT, "Normal disconnect initiated by server")                      \
    JEX_TEXT(76, STATE_ERROR, "State Error, event %1$s is illegal when in state %2$s")            \
    JEX_TEXT(77, STATE_NOT_HANDLED,                                                               \
             "Line %1$s state %3$s not handled by program,\n\twhen event %2$s occurred in mode "  \
             "%4$s/%5$s")                                                                         \
    JEX_TEXT(78, SUBS_OPEN_ERROR, "Error opening modem subsystem")                                \
    JEX_TEXT(79, SYNC_FAIL, "Modem synchronization failed")                                       \
    JEX_TEXT(80, SYSERR, "Operating system routine error")                                        \
    JEX_TEXT(81, TASK_ALREADY_EXISTS, "%1$s Task is already in existance")                        \
    JEX_TEXT(82, TERMINATED, "Connection terminated")                                             \
    JEX_TEXT(83, TIMEOUT, "Operation timed out")                                                  \
    JEX_TEXT(84, UNKNOWN_TRANSPORT, "Unknown transport type")                                     \
    JEX_TEXT(85, UNKNOWN_REASON, "Unknown reason code in DR message")                             \
    JEX_TEXT(86, UNSUPPORTED, "Operation is not supported")                                       \
    JEX_TEXT(87, VLDB_REG_ERROR, "Virtual Line Database registration error")                      \
    JEX_TEXT(88, VLDB_UPD_ERROR, "Virtual Line Database update error")                            \
    JEX_TEXT(89, VSDB_REG_ERROR, "Virtual Server Database registration error")                    \
    JEX_TEXT(90, VSDB_UPD_ERROR, "Virtual Server Database update error")                          \
    JEX_TEXT(91, WIRE_LAYER_FAIL, "Failure in modem wire layer")                                  \
    JEX_TEXT(92, WRITE_ERROR, "Error occurred during write to modem line")                        \
    JEX_TEXT(93, WRONG_STATE, "Operation is not valid in the current state")

// Status of the modem transport, and the connection operations that the
// modem connection overrides; through this class the connection is the
// modem endpoint's client. A failure is recorded (ExcSet) and its code
// returned as the operation's result; the suppress flag is set, so Raise
// returns at once and never ends the process. In this class every
// connection operation answers FAILURE (33) and records nothing.
// Threading: the status is guarded by the exception base's mutex.
class JexModem : public JexModemClient {
public:
    enum : int { JEXMODEM_TEXTS(JEX_TEXT_CODE) };
    static const JexTextRow kTextTable[];

    JexModem();
    ~JexModem() override;

    // Receives one message; flags bit 0 bounds the wait to `seconds`.
    int GetMsg(JexBuffer& out, int flags, int seconds) override;
    // Sends one message.
    int PutMsg(JexBuffer& message, int flags) override;
    int GetAttr(int attribute, JexString& out) override;
    int GetAttr(int attribute, int& out) override;
    int SetAttr(int attribute, const char* value) override;
    int SetAttr(int attribute, int value) override;
    int Connect(const char* address, int speed) override;
    int Listen(const char* name) override;
    int Disconnect() override;

protected:
    // For the connection, which names its own class.
    explicit JexModem(const char* className);
};
