// Tests of the modem status class: its code table and the six operations of a bare object.
#include "jexlink/modem/JexModem.h"

#include <gtest/gtest.h>

#include <iterator>
#include <string>

namespace {

// Every row: its name, and its text where the text is fixed (null where
// only a non-empty one-line text is asked for).
struct Row {
    int code;
    const char* name;
    const char* text;
};

const Row kRows[] = {
    {0, "OK", "Operation successful"},
    {1, "ANSWER_FAIL", nullptr},
    {2, "API_COMMBOX_ERROR", "Error creating API's commbox"},
    {3, "APPL_NO_RESPOND", "Application is no longer responding"},
    {4, "ATTACH_FAIL", nullptr},
    {5, "ATTRNOTINT", "Attribute is not an integer"},
    {6, "ATTRNOTSTRING", "Attribute is not a string"},
    {7, "ATTRREADONLY", "Attribute is read-only"},
    {8, "BADAPPL", "Application not specified for server"},
    {9, "BADATTR", "Invalid attribute specified"},
    {10, "BADATTRVALUE", "Invalid attribute value specified"},
    {11, "BAD_FRAME_TYPE", "Frame type %1$d is invalid for Class 2 service, rcvd at %2$s"},
    {12, "BAD_NET_ADDR", "Invalid network address"},
    {13, "BADNAME", nullptr},
    {14, "CALL_ERROR", "Error placing modem call, retryable"},
    {15, "CALL_BACK_ERROR", "Callback is not implemented yet"},
    {16, "CANTATTACH", "Cannot attach to requestor's commbox <%1$s>."},
    {17, "CARRIER_LOST", nullptr},
    {18, "CLIENT_DISCONNECT", "Normal disconnect initiated by client"},
    {19, "COMMBOX_ERROR", nullptr},
    {20, "CORRUPT_DATA_FRAME", "TP2 data frame is corrupted"},
    {21, "DAEMON_LINK_FULL", "Daemon already has max links"},
    {22, "DAEMON_DISCONNECT", "Disconnect initiated by daemon management"},
    {23, "DATA_OVERRUN", nullptr},
    {24, "DESTUFF_ERROR", nullptr},
    {25, "DEVERR", "Error on device %1$s"},
    {26, "DIAL_BACK", nullptr},
    {27, "DIAL_ERROR", "Error dialing modem, not retryable"},
    {28, "DIAL_LAYER_FAIL", nullptr},
    {29, "DISCONNECTED", "Connection not established"},
    {30, "DOUBLE_INIT", "API object already initialized before"},
    {31, "ED_INVALID", "Expeditated data (*,%1$d) not supported, at %2$s, message ignored"},
    {32, "EVENT_NOT_HANDLED", "Line %1$s event %2$s not handled in state %3$s, mode %4$s/%5$s"},
    {33, "FAILURE", "Operation failed"},
    {34, "FCS_ERROR", nullptr},
    {35, "HANDSHAKE_ERROR", nullptr},
    {36, "INVALID_DATA_FIELD", nullptr},
    {37, "INVALID_DEVICE", "Device %1$s not found in modem device file"},
    {38, "IPC_READ_ERROR", "Error reading from API's commbox"},
    {39, "IPC_WRITE_ERROR", "Error writing to daemon's commbox"},
    {40, "LINE_BUSY", "Remote modem line is busy"},
    {41, "LINE_FAILURE", "Failure with use of modem line"},
    {42, "LINE_STATE_ERROR",
     "Line %1$s state error;\n\tevent %2$s, state %3$s, mode(a) %4$s, mode(c) %5$s"},
    {43, "LINK_ABORT", "Data link aborted by session entity"},
    {44, "LINK_EVENT_NOT_HANDLED", "Link (%3$d,%4$d) event %1$s not handled in state %2$s"},
    {45, "LINK_FAILURE", "Data link heartbeat is stopped"},
    {46, "LINK_PROTOCOL_ERROR",
     "Link protocol error; event %1$s while in state %2$s for link (%3$d,%4$d)"},
    {47, "LINK_STATE_ERROR",
     "Link state error; event %1$s while in state %2$s for link (%3$d,%4$d)"},
    {48, "LINK_STATE_INFO", "Link (%1$d,%2$d) current state is %3$s."},
    {49, "LINK_STATE_NOT_HANDLED", "Link (%3$d,%4$d) state %2$s not handled with event %1$s"},
    {50, "LINKS_STILL_ACTIVE", nullptr},
    {51, "LISTEN_FAIL", nullptr},
    {52, "QORCLIENT_DOWN", "Qor Client not available"},
    {53, "MEMORY_ERROR", "Memory allocation error"},
    {54, "MISSING_PARAMETER", "Missing parameter %1$s, it is required for this object"},
    {55, "QORSERVER_DOWN", "Qor Server not available"},
    {56, "NO_ANSWER", "Remote modem does not answer"},
    {57, "NO_CONNECTION", "No connection established yet"},
    {58, "NO_CURR_LINK", "Message received for unknown link (%1$d,%2$d) at %3$s, message ignored"},
    {59, "NO_DEVICE_AVAIL", nullptr},
    {60, "NO_DEVICE_FILE", "Modem device file %1$s is missing"},
    {61, "NO_LINE_AVAIL", "No qualified modem line available"},
    {62, "OPERATION_NOT_ALLOWED", "Operation is not allowed by the line mode"},
    {63, "OPTION_NOT_SUPPORTED", "TP2 option is not supported"},
    {64, "ORIGINATE_FAIL", nullptr},
    {65, "PROGRAM_ERROR", nullptr},
    {66, "PROTOCOL_ERROR", "Protocol Error with event %1$s in state %2$s"},
    {67, "READ_ERROR", "Error occurred during read from %1$s at %2$s"},
    {68, "REFERENCE_ID_ERROR", "The reference id's do not match"},
    {69, "REJECTED", nullptr},
    {70, "SCRIPT_ERROR", "Error with or in dialer script file %1$s"},
    {71, "SERVER_LINK_FULL", "Server already has maximum links"},
    {72, "SERVER_NOT_CONNECTED", "Remote daemon can't run/connect to server"},
    {73, "SERVER_NOT_DEFINED", "Server is not defined in database"},
    {74, "SERVER_NOT_RIGHT", "Connecting to a wrong server"},
    {75, "SERVER_DISCONNECT", "Normal disconnect initiated by server"},
    {76, "STATE_ERROR", "State Error, event %1$s is illegal when in state %2$s"},
    {77, "STATE_NOT_HANDLED",
     "Line %1$s state %3$s not handled by program,\n\twhen event %2$s occurred in mode %4$s/%5$s"},
    {78, "SUBS_OPEN_ERROR", nullptr},
    {79, "SYNC_FAIL", nullptr},
    {80, "SYSERR", "Operating system routine error"},
    {81, "TASK_ALREADY_EXISTS", "%1$s Task is already in existance"},
    {82, "TERMINATED", "Connection terminated"},
    {83, "TIMEOUT", "Operation timed out"},
    {84, "UNKNOWN_TRANSPORT", nullptr},
    {85, "UNKNOWN_REASON", "Unknown reason code in DR message"},
    {86, "UNSUPPORTED", nullptr},
    {87, "VLDB_REG_ERROR", nullptr},
    {88, "VLDB_UPD_ERROR", nullptr},
    {89, "VSDB_REG_ERROR", "Virtual Server Database registration error"},
    {90, "VSDB_UPD_ERROR", "Virtual Server Database update error"},
    {91, "WIRE_LAYER_FAIL", nullptr},
    {92, "WRITE_ERROR", nullptr},
    {93, "WRONG_STATE", nullptr},
};

TEST(JexModem, TableHoldsTheNinetyFourCodesInOrder) {
    ASSERT_EQ(std::size(kRows), 94u);
    JexModem modem;
    for (const Row& row : kRows) {
        const std::string name = std::string("JexModem::") + row.name;
        SCOPED_TRACE(name);
        EXPECT_STREQ(modem.CodeName(row.code).Text(), name.c_str());
        EXPECT_EQ(modem.CodeFromName(name.c_str()), row.code);
        const JexString text = modem.Text(row.code);
        if (row.text) {
            EXPECT_STREQ(text.Text(), row.text);
            continue;
        }
        // A one-line text of its own, without arguments.
        EXPECT_GT(std::string(text.Text()).size(), 0u);
        EXPECT_EQ(std::string(text.Text()).find_first_of("\n%"), std::string::npos);
        EXPECT_EQ(std::string(text.Text()).find("Unknown JexModem"), std::string::npos);
    }
    // After the reserved rows, codes 0 to 93 follow without a gap up to the
    // end row (the rows every table has: testing/TextTables_test.cpp).
    const JexTextRow* table = JexModem::kTextTable;
    for (int i = 0; i < 94; ++i) EXPECT_EQ(table[2 + i].code, i);
    EXPECT_EQ(table[96].code, JexException::kEndOfTable);
    EXPECT_STREQ(modem.Text(94).Text(), "Unknown JexModem exception value: 94");
}

TEST(JexModem, NamesAndTextsTakeTheirArguments) {
    JexModem modem;
    EXPECT_STREQ(modem.CodeName(52).Text(), "JexModem::QORCLIENT_DOWN");
    EXPECT_EQ(JexModem::QORCLIENT_DOWN, 52);

    struct Case {
        int code;
        JexExcArgs args;
        const char* formatted;
    } cases[] = {
        {JexModem::TASK_ALREADY_EXISTS, JexExcArgs("Listen()", "Heartbeat"),
         "Heartbeat Task is already in existance"},
        {JexModem::CANTATTACH, JexExcArgs("", "ab12cd34"),
         "Cannot attach to requestor's commbox <ab12cd34>."},
        {JexModem::LINK_STATE_INFO, JexExcArgs("", 3, 4, "Open"),
         "Link (3,4) current state is Open."},
        {JexModem::LINK_EVENT_NOT_HANDLED, JexExcArgs("", "DR", "Idle", 7, 8),
         "Link (7,8) event DR not handled in state Idle"},
        {JexModem::TERMINATED, JexExcArgs("DR received"), "Connection terminated"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        modem.ExcSet(c.code, c.args);
        EXPECT_STREQ(modem.FormattedText(0).Text(), c.formatted);
    }
}

TEST(JexModem, BareObjectAnswersEveryOperationWithFailure) {
    JexModem modem;
    JexBuffer buffer("data");
    JexString text("kept");
    int value = 17;
    EXPECT_EQ(modem.GetMsg(buffer, 1, 1), JexModem::FAILURE);
    EXPECT_EQ(modem.PutMsg(buffer, 0), JexModem::FAILURE);
    EXPECT_EQ(modem.GetAttr(8, text), JexModem::FAILURE);
    EXPECT_EQ(modem.GetAttr(8, value), JexModem::FAILURE);
    EXPECT_EQ(modem.SetAttr(18, "x"), JexModem::FAILURE);
    EXPECT_EQ(modem.SetAttr(18, 128), JexModem::FAILURE);
    // Nothing recorded, nothing touched.
    EXPECT_EQ(modem.Code(), JexModem::OK);
    EXPECT_TRUE(buffer == "data");
    EXPECT_STREQ(text.Text(), "kept");
    EXPECT_EQ(value, 17);
}

TEST(JexModem, RaiseAfterExcSetReturnsAndTheProcessGoesOn) {
    JexModem modem;
    EXPECT_EQ(modem.Suppress(), 1);
    modem.ExcSet(JexModem::SYSERR, JexExcArgs("write()"));
    EXPECT_EQ(modem.Raise(), 0);
    EXPECT_EQ(modem.ExcRaise(JexModem::TIMEOUT, JexExcArgs("GetMsg()")), 0);
    EXPECT_EQ(modem.Code(), JexModem::TIMEOUT);
}

}  // namespace
