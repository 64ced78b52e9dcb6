// Tests of the service-request base: its status and event table and its attributes.
#include "jexlink/sra/JexSra.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// A request whose read-only attributes a subclass has filled, as the
// clients' constructors and exchanges do.
class FilledRequest : public JexSra {
public:
    FilledRequest() {
        accessNumber_ = "ACC-201";
        text_ = "work 202";
        subject_ = "subject 203";
        number_ = "SR-204";
    }
    // Hands the request its own field, as a subclass may.
    int SetFromOwnField(int attribute) { return SetAttr(attribute, contact_.Text()); }
    int GetIntoOwnField(int attribute) { return GetAttr(attribute, contact_); }
    const JexString& Contact() const { return contact_; }
};

TEST(JexSra, TableRows) {
    struct Row {
        int code;
        const char* name;
        const char* text;
    };
    const Row rows[] = {
        {0, "JexSra::OK", "Operation successful"},
        {1, "JexSra::ACCESSFAIL", "Remote access failed"},
        {2, "JexSra::ACIDSRQMISMATCH", "AccessNo-SRQID mismatch;Error - %1$d."},
        {3, "JexSra::BYTELIMITERR",
         "Your submission of %1$d bytes exceeds the size limit of %2$d bytes"},
        {4, "JexSra::CLIENTVERSION", "Client's version is %1$d."},
        {5, "JexSra::CONNECTFAIL", "Connection to server failed"},
        {6, "JexSra::CONNECTNOTESTAB",
         "Connection to server not established \n Press Review button to make the connection"},
        {7, "JexSra::CONVERSIONERR", "Conversion from JexNetMsg to JexBuffer failed"},
        {8, "JexSra::ERRCONVTIME", "Error converting time"},
        {9, "JexSra::ERRFETCHWUCNT", "Error fetching Work-unit count"},
        {10, "JexSra::FAILURE", "Operation failed"},
        {11, "JexSra::FETCHFAIL", "Failed to fetch the requested list."},
        {12, "JexSra::FILEOPENERR", "File opening error"},
        {13, "JexSra::FISFAIL", "Image symbol (%1$s) lookup failure"},
        {14, "JexSra::GETMSGERR", "Socket GetMsg error"},
        {15, "JexSra::INVALIDDATE", "Invalid beginning or ending date"},
        {16, "JexSra::INVALIDSRQID", "Invalid service request number %1$s"},
        {17, "JexSra::LISTENERR", "Socket Listen error"},
        {18, "JexSra::LISTFETCHFAIL", "Failed to fetch the list"},
        {19, "JexSra::LISTNOTAVAIL", "The requested list type is not available at this site"},
        {20, "JexSra::MAILERR", "CC mail was not delivered successfully"},
        {21, "JexSra::NOCLOSEDSRQ", "No closed service requests"},
        {22, "JexSra::NODATAERR", "Mandatory data not given"},
        {23, "JexSra::NODSTACID", "Destination access number not specified"},
        {24, "JexSra::NOITEMCODE", "Item code does not exist"},
        {25, "JexSra::NOOPENSRQ", "No open service requests"},
        {26, "JexSra::NOPRODUCTS", "No product information found"},
        {27, "JexSra::NOROUTINGCODES", "No routing codes are available"},
        {29, "JexSra::NOTVALIDREQUEST", "Not a valid request"},
        {30, "JexSra::NOTVALIDVERSION", "Not a valid version"},
        {31, "JexSra::NOWORKUNITZERO", "Workunit number 0 does not exist"},
        {32, "JexSra::PROBAUGFAIL", "Problem augmentation failed"},
        {33, "JexSra::PROBSUBFAIL", "Problem submission failed"},
        {34, "JexSra::PROTOCOLERR", "Protocol error"},
        {35, "JexSra::PSSSTATUSIS", "Status from PSS is %1$d"},
        {36, "JexSra::PUTMSGERR", "Socket PutMsg error"},
        {37, "JexSra::REMOTEFAIL", "Failure detected by server"},
        {38, "JexSra::REVFAIL", "Failed to fetch work units for the specified service request."},
        {39, "JexSra::REVIEWFAIL", "Reviewing of service request failed"},
        {40, "JexSra::SENDMAIL", "Click on Mail to have a confirmation mail message\nsent to: "},
        {41, "JexSra::SESSIONERR", "Session error"},
        {42, "JexSra::STATUSIS", "Status : %1$d"},
        {43, "JexSra::UNKNOWNROUTINGCODE", "Unknown routing code"},
        {44, "JexSra::VERNOTSUPPORTED", "Version not supported"},
        {45, "JexSra::WORKUNITNOTEXIST", "Workunit number %1$d does not exist"},
        {46, "JexSra::NOWUS", "Service request has no viewable workunits"},
        {0x1001, "JexSra::EVT_CONNHOST", "Connecting to target %2$s.%1$s.jex, please wait..."},
        {0x1002, "JexSra::EVT_CONNESTAB", "Connection established"},
        {0x1003, "JexSra::EVT_REQUEST", "Submitting request to host..."},
        {0x1004, "JexSra::EVT_WAITING", "Waiting for response from host..."},
        {0x1005, "JexSra::EVT_RESPONSE", "Response received by host"},
        {0x1006, "JexSra::EVT_SUCCESS_CRE",
         "Request accepted by host.\r\n\r\n\tYour new service request number is %1$s\r\n"},
        {0x1007, "JexSra::EVT_SUCCESS_CRE_MAIL",
         "Click Mail to have a confirmation message sent to: %1$s"},
        {0x1008, "JexSra::EVT_SUCCESS_AUG", "Service request %1$s successfully augmented"},
        {0x1009, "JexSra::EVT_SUCCESS_REV", "Service request %1$s work unit %2$d is loading"},
        {0x100A, "JexSra::EVT_SUCCESS_REVOK", "Service request %1$s work unit %2$d is loaded"},
        {0x100B, "JexSra::EVT_SUCCESS_FET", "Requested list has been loaded"},
    };
    JexSra sra;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_STREQ(sra.CodeName(row.code).Text(), row.name);
        EXPECT_STREQ(sra.Text(row.code).Text(), row.text);
        EXPECT_EQ(sra.CodeFromName(row.name), row.code);
    }
    // The table holds exactly these rows between the reserved rows and its
    // end row (which every table has: testing/TextTables_test.cpp).
    int count = 0;
    while (JexSra::kTextTable[2 + count].code != JexException::kEndOfTable) ++count;
    EXPECT_EQ(count, static_cast<int>(std::size(rows)));
    // 28 was never assigned.
    EXPECT_STREQ(sra.Text(28).Text(), "Unknown JexSra exception value: 28");
}

TEST(JexSra, TextsTakeTheirArgumentsNotTheContext) {
    struct Case {
        int code;
        JexExcArgs args;
        const char* text;
    } cases[] = {
        {JexSra::FISFAIL, JexExcArgs("ctx", "sym"), "Image symbol (sym) lookup failure"},
        {JexSra::PSSSTATUSIS, JexExcArgs("ctx", 17), "Status from PSS is 17"},
        {JexSra::BYTELIMITERR, JexExcArgs("JexSraCreateSrq::Create()", 3000, 2048),
         "Your submission of 3000 bytes exceeds the size limit of 2048 bytes"},
        {JexSra::EVT_CONNHOST, JexExcArgs("", "SUPPORT", "hub7", "Jex_Sra"),
         "Connecting to target hub7.SUPPORT.jex, please wait..."},
        {JexSra::EVT_SUCCESS_CRE, JexExcArgs("worked ok", "SR-42"),
         "Request accepted by host.\r\n\r\n\tYour new service request number is SR-42\r\n"},
        {JexSra::EVT_SUCCESS_REV, JexExcArgs("", "SR-42", 3),
         "Service request SR-42 work unit 3 is loading"},
    };
    for (const Case& c : cases) {
        JexSra sra;
        sra.ExcSet(c.code, c.args);
        EXPECT_STREQ(sra.FormattedText(0).Text(), c.text);
    }
}

TEST(JexSra, FreshRequestIsSuppressedWithDefaults) {
    JexSra sra;
    EXPECT_EQ(sra.Suppress(), 1);
    EXPECT_EQ(sra.Code(), JexSra::OK);
    EXPECT_EQ(sra.Session(), nullptr);
    // A raised error is only recorded: the process goes on.
    EXPECT_EQ(sra.ExcRaise(JexSra::PROTOCOLERR, JexExcArgs("here")), 0);
    EXPECT_EQ(sra.Code(), JexSra::PROTOCOLERR);

    int32_t numeric = 0;
    EXPECT_EQ(sra.GetAttr(JexSra::SRQ_NUMERIC, numeric), JexSra::OK);
    EXPECT_EQ(numeric, 2);
    for (int attribute : {10, 11, 24, 25, 201, 202, 203, 204, 205, 207, 208, 209, 210, 211, 212}) {
        JexString out("stale", 0);
        EXPECT_EQ(sra.GetAttr(attribute, out), JexSra::OK) << attribute;
        EXPECT_STREQ(out.Text(), "") << attribute;
        EXPECT_EQ(out.CaseSensitive(), 1) << attribute;
    }
}

// Every attribute, by number, through both forms of SetAttr and GetAttr.
TEST(JexSra, AttributeTable) {
    constexpr int kNo = JexSra::NOITEMCODE;
    struct Case {
        int attribute;
        int set_text;         // result of SetAttr(attribute, "new")
        int get_text;         // result of GetAttr(attribute, JexString&)
        const char* initial;  // what GetAttr gives before the set
        int set_int;          // result of SetAttr(attribute, 77)
        int get_int;          // result of GetAttr(attribute, int&)
    } cases[] = {
        {0, kNo, kNo, nullptr, kNo, kNo},
        {1, kNo, kNo, nullptr, kNo, kNo},
        {JexSra::DST_ACID, 0, 0, "", kNo, kNo},
        {JexSra::DST_NODE, 0, 0, "", kNo, kNo},
        {12, kNo, kNo, nullptr, kNo, kNo},
        {JexSra::LANGUAGE, kNo, kNo, nullptr, kNo, kNo},  // no session held
        {22, kNo, kNo, nullptr, kNo, kNo},
        {JexSra::SRC_ACID, 0, 0, "", kNo, kNo},
        {JexSra::SRC_NODE, 0, 0, "", kNo, kNo},
        {28, kNo, kNo, nullptr, kNo, kNo},
        {200, kNo, kNo, nullptr, kNo, kNo},
        {JexSra::SRQ_ACCESS_NUMBER, kNo, 0, "ACC-201", kNo, kNo},
        {JexSra::SRQ_TEXT, kNo, 0, "work 202", kNo, kNo},
        {JexSra::SRQ_SUBJECT, kNo, 0, "subject 203", kNo, kNo},
        {JexSra::SRQ_NUMBER, kNo, 0, "SR-204", kNo, kNo},
        {JexSra::SRQ_CONTACT, 0, 0, "", kNo, kNo},
        {JexSra::SRQ_WORK_UNIT_COUNT, kNo, kNo, nullptr, kNo, kNo},
        {JexSra::SRQ_BEFORE, 0, 0, "", kNo, kNo},
        {JexSra::SRQ_SINCE, 0, 0, "", kNo, kNo},
        {JexSra::SRQ_OS_INFO, 0, 0, "", kNo, kNo},
        {JexSra::SRQ_HARDWARE_INFO, 0, 0, "", kNo, kNo},
        {JexSra::SRQ_SOFTWARE_INFO, 0, 0, "", kNo, kNo},
        {JexSra::SRQ_CC_ADDRESS, 0, 0, "", kNo, kNo},
        {JexSra::SRQ_NUMERIC, kNo, kNo, nullptr, 0, 0},
        {214, kNo, kNo, nullptr, kNo, kNo},
        {-1, kNo, kNo, nullptr, kNo, kNo},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.attribute);
        FilledRequest sra;
        JexString out("untouched", 0);
        EXPECT_EQ(sra.GetAttr(c.attribute, out), c.get_text);
        EXPECT_STREQ(out.Text(), c.initial ? c.initial : "untouched");

        EXPECT_EQ(sra.SetAttr(c.attribute, "new"), c.set_text);
        out = "untouched";
        sra.GetAttr(c.attribute, out);
        const char* after = c.set_text == 0 ? "new" : c.initial ? c.initial : "untouched";
        EXPECT_STREQ(out.Text(), after);

        int32_t value = -5;
        EXPECT_EQ(sra.GetAttr(c.attribute, value), c.get_int);
        EXPECT_EQ(value, c.get_int == 0 ? 2 : -5);
        EXPECT_EQ(sra.SetAttr(c.attribute, 77), c.set_int);
        sra.GetAttr(c.attribute, value);
        EXPECT_EQ(value, c.set_int == 0 ? 77 : c.get_int == 0 ? 2 : -5);

        // Attribute calls never record an error.
        EXPECT_EQ(sra.Code(), JexSra::OK);
    }
}

TEST(JexSra, TextSetKeepsTheFieldsCaseFlagAndGetCopiesIt) {
    JexSra sra;
    ASSERT_EQ(sra.SetAttr(JexSra::SRQ_CONTACT, "Someone@Host"), 0);
    JexString out("x", 0);
    ASSERT_EQ(sra.GetAttr(JexSra::SRQ_CONTACT, out), 0);
    EXPECT_STREQ(out.Text(), "Someone@Host");
    EXPECT_EQ(out.CaseSensitive(), 1);

    // A null text empties the attribute.
    EXPECT_EQ(sra.SetAttr(JexSra::SRQ_CONTACT, nullptr), 0);
    sra.GetAttr(JexSra::SRQ_CONTACT, out);
    EXPECT_STREQ(out.Text(), "");
}

TEST(JexSra, AttributeGivenItsOwnTextOrField) {
    FilledRequest sra;
    ASSERT_EQ(sra.SetAttr(JexSra::SRQ_CONTACT, "me@here"), 0);
    EXPECT_EQ(sra.SetFromOwnField(JexSra::SRQ_CONTACT), 0);
    EXPECT_STREQ(sra.Contact().Text(), "me@here");
    EXPECT_EQ(sra.GetIntoOwnField(JexSra::SRQ_CONTACT), 0);
    EXPECT_STREQ(sra.Contact().Text(), "me@here");
    // Another field read into the contact field replaces it.
    EXPECT_EQ(sra.GetIntoOwnField(JexSra::SRQ_NUMBER), 0);
    EXPECT_STREQ(sra.Contact().Text(), "SR-204");
}

TEST(JexSra, HugeAndEmptyTexts) {
    const std::string huge(4 << 20, 'h');
    JexSra sra;
    ASSERT_EQ(sra.SetAttr(JexSra::SRQ_OS_INFO, huge.c_str()), 0);
    JexString out;
    ASSERT_EQ(sra.GetAttr(JexSra::SRQ_OS_INFO, out), 0);
    EXPECT_EQ(std::string(out.Text()), huge);
    ASSERT_EQ(sra.SetAttr(JexSra::SRQ_OS_INFO, ""), 0);
    ASSERT_EQ(sra.GetAttr(JexSra::SRQ_OS_INFO, out), 0);
    EXPECT_STREQ(out.Text(), "");
}

TEST(JexSra, DeletedThroughTheExceptionBase) {
    JexException* held = new FilledRequest;
    held->ExcSet(JexSra::PROBSUBFAIL, JexExcArgs("Problem submission failed"));
    delete held;  // the sanitizer build checks that every text is freed
}

}  // namespace
