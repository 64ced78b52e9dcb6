// Tests of the library message table: its rows, their order and the texts given for them.
#include "jexlink/messages/JexMsg.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "jexlink/messages/JexCommonRoutines.h"

namespace {

// The class's own rows, by code and name, in table order.
const char* const kRows =
    "0 OK, 1 CLISYNTAX, 2 CLTBLBAD, 3 CLTBLFNF, 4 CLTBLVER, 5 INVCMD, 6 CONNWAIT, "
    "7 CONNWAIT2, 8 CONNESTAB, 9 NETEXSTAT, 10 NETEXDONE, 11 CANNOTDELETE, 12 OPENERR, "
    "13 ACCESSFAIL, 14 JACKETMSGCORRUPT, 15 APPLNOTGIVEN, 16 APPLNOTKNOWN, 17 MGMTCMDNOTAVL, "
    "18 NETEXPATHHEAD, 19 NETEXPATHHOP, 20 CONNLISTEN, 21 CONNFAIL, 23 AUTHFAIL, "
    "24 AUGSUCCESS, 25 AUGFAIL, 26 SENDREQUESTTOPSS, 27 WAITFORPSSRESP, 28 NOSRQID, "
    "29 NODESCRIPTION, 30 NOSUBJECT, 31 NOTVALIDUSER, 32 CREATESUCCESS, 33 SRQNUMBER, "
    "34 REPLYTOMAILERR, 35 CREATEFAIL, 36 REPLYTOSUBJECT, 37 NOROUTINGCODE, 38 MAILERR, "
    "39 FETCHNOLIST, 40 FETCHFAIL, 41 FETSUCCESS, 42 REVNOWUS, 43 REVFAIL, 44 REVSUCCESS, "
    "45 ITSCHECKAUTH, 49 ITSESTABCONN, 48 ITSESTABCONNMSG, 50 ITSSESSFAIL, "
    "51 ITSSESSSUCCESS, 52 ITSCLIENTTXTPROMPT, 53 ITSCLIENTTXTPROMPTQVOS, 54 ITSWELCOMEMSG, "
    "55 ITSENTERCOMMAND, 56 ITSEMPTYQUAL, 57 ITSOK, 58 ITSINVALIDVERB, 59 ITSAMBVERB, "
    "60 ITSAVLNODEALLOCFAIL, 61 ITSDONE, 62 ITSGETARTICLE, 63 ITSCACHESTRTOOLONG, "
    "64 ITSMAILSUBJECT, 65 ITSDBLISTABSENT, 66 ITSOPENINGMSG, 67 ITSERROPENINGDB, "
    "68 ITSSHOWONLYONEDB, 69 ITSILLEGALCOMBO, 70 ITSERRCLOSINGDB, 71 ITSSHOWDBERR, "
    "72 ITSCLOSING, 73 ITSNOFILENAME, 74 ITSNOTITLELIST, 75 ITSIOERR, 76 ITSTTLCACHEINCONST, "
    "77 ITSNOREADINPROG, 78 ITSBADSERVERSTATUS, 79 ITSINVALIDARTNUM, 80 ITSNODATA, "
    "81 ITSUNKNOWNMSGTYPE, 82 ITSINVINTERTYPE, 83 ITSMEMALLOCFAIL, 84 ITSAMBIGQUERY, "
    "85 ITSNOSEARCH, 86 ITSNOPRIORREAD, 87 ITSNOBACK, 88 ITSNOMATCHESFOUND, "
    "89 ITSGETTINGARTICLE, 90 ITSINACTIVETIMEOUT, 91 ITSTIMEOUTSHUTDOWN, "
    "92 ITSINVALIDDATESYNT, 93 ITSNODBOPEN, 94 ITSNOCURRTITLELIST, 95 ITSNUMINCURTITLIST, "
    "96 ITSMAILADDRPROMPT, 97 ITSWINDOWSETUP, 98 ITSWDWSETUPDONE, 99 ITSRETRIEVEDLINES, "
    "100 ITSRETRIEVEDARTICLES, 101 ITSTIMEOUTASTERLINE, 102 ITSTIMEOUTLINE1, "
    "103 ITSTIMEOUTLINE2, 104 ITSTIMEOUTLINE3, 105 ITSDBALREADYOPEN, 106 ITSDBNOTOPEN, "
    "107 ITSINVDBNAME, 108 ITSDBNOTAVAIL, 109 ITSDBLISTTOOLONG, 110 ITSSPECIFYFEWERDB, "
    "111 ITSCANTCLOSEREQ, 112 ITSCANTCLOSESURVEY, 113 ITSCANTFETCHWIDDESC, "
    "114 ITSCANTOPENHIERARCHY, 115 ITSCANTREGISCALLBACKS, 116 ITSCLOSEALLFAIL, "
    "117 ITSFULLDBDESCIGNORED, 118 ITSBLANKDBNAMEIGNORED, 119 ITSMUSTENTERFILE, "
    "120 ITSMUSTENTERMEDIA, 121 ITSMUSTENTERMAILADDR, 122 ITSMUSTENTERVALUE, "
    "123 ITSMUSTSELECTARTICLE, 124 ITSSELECTVALIDMEDIA, 125 ITSERRDURSURVEY, "
    "126 ITSCONNECTSUCCESS, 127 ITSCONNECTFAILURE, 128 ITSGETAVAILDB, 129 ITSDELTMPFILE, "
    "130 ITSTECHREVANDSIZE, 131 ITSRETTOCONTINUE, 132 ITSSPACETOCONTINUE, 133 ITSNOTTOGGLE, "
    "134 ITSINVALIDCOLUMNNUM, 135 ITSADDBEGINDATE, 136 ITSADDENDDATE, 137 ITSNOPARAM, "
    "139 ITSININOTFOUND, 138 ITSPROCINIFILE, 140 ITSINIMSG, 141 ITSRETURNTOEXIT, "
    "142 FILEWUSTATMSG, 143 FILEWUSUCCMSG, 144 FILETOOLSTATMSG, 145 FILETOOLSUCCMSG, "
    "146 FILEMAILSTATMSG, 147 FILEMAILSUCCESSMSG, 148 FILEDISPSTAT, 149 SIGFAILURE, "
    "150 FILECOPYFAIL, 151 FILECOPYDONE, 152 MUSTBEPROVIDED, 153 FILEGUIVALSRCTGT, "
    "154 FILECOPYSTAT, 155 FILECOPYSTAT1, 156 FILEMAILSUB, 157 FILEMAILMSGSUCCESS, "
    "158 FILEMAILMSGFAIL, 159 FILEMAILBODYMSG1, 160 FILEMAILBODYMSG2, 161 FILEDELETEMAILMSG, "
    "162 FILEWUERRMSG, 163 COPYRQLINE1, 164 COPYRQLINE2, 165 COPYRQLINE3, 166 WORD_YES, "
    "167 WORD_NO, 168 FILEERR, 169 FILETOOLERRMSG, 170 FILETOOLMAILMSG, 171 FILETOOLSUBJMSG, "
    "172 FILEMAILERRMSG, 173 FILEABORTMSG, 174 FNF, 175 FILETOOLACCESSFAIL, "
    "176 FILETOOLNOTFOUND, 177 FILENOSRQID, 178 FILETEMPFAIL, 179 SRQINVALID, 180 FILEEXIST, "
    "181 FILENODISKSPACE, 182 FILESIZELIMIT, 183 FILENOOVERRIDE, 184 FILEGUIVALSRC, "
    "185 FILEGUIVALTGT, 186 FILENODIRFILENAME, 187 FILEGUIVALTOOL, 188 FILEGUIVALDELETE, "
    "189 FILESERVERVERBOSE, 190 FILECLIENTVERBOSE, 191 FILETOOLINFO1, 192 FILETOOLINFO2, "
    "193 FILEEXIT, 194 FILENUMBEREXCEED, 195 NOAUTOADDRESSES, 196 NOPRIV, 197 FCPTRYV20, "
    "198 FCPTRYV22, 199 QVOSMAILACKSUBJ, 200 QVOSMAILACKCSC, 201 QVOSMAILACKACID, "
    "202 QVOSMAILACKRC, 203 QVOSMAILACKDESC, 204 QVOSMAILACKRECVD1, 205 QVOSMAILACKRECVD2, "
    "206 FILECOPYHOST2CUST, 207 FILECOPYMAILSUB, 208 LISTNOTALLOWED, 209 DOMAINNOTME";

struct Row {
    int code;
    std::string name;
};

std::vector<Row> ExpectedRows() {
    std::vector<Row> rows;
    std::istringstream in(kRows);
    std::string item;
    while (std::getline(in, item, ',')) {
        std::istringstream fields(item);
        Row row;
        fields >> row.code >> row.name;
        row.name = "JexMsg::" + row.name;
        rows.push_back(row);
    }
    return rows;
}

// The reserved rows around these, unique codes and readable texts are
// checked for every table by testing/TextTables_test.cpp.
TEST(JexMsgTable, HoldsEveryRowInOrder) {
    const JexTextRow* table = JexMsg::kTextTable;
    const std::vector<Row> rows = ExpectedRows();
    ASSERT_EQ(rows.size(), 207u);
    for (size_t i = 0; i < rows.size(); ++i) {
        const JexTextRow& row = table[i + 2];
        EXPECT_EQ(row.code, rows[i].code) << rows[i].name;
        EXPECT_EQ(row.name, rows[i].name) << rows[i].code;
        ASSERT_NE(row.text, nullptr) << rows[i].name;
        EXPECT_NE(row.text[0], '\0') << rows[i].name;
    }
    EXPECT_EQ(table[rows.size() + 2].code, JexException::kEndOfTable);
}

TEST(JexMsgTable, RowsStoredOutOfOrderAreFoundByCodeAndName) {
    const JexTextRow* table = JexMsg::kTextTable;
    int at48 = -1, at49 = -1, at138 = -1, at139 = -1;
    for (int i = 0; table[i].code != -2; ++i) {
        if (table[i].code == 48) at48 = i;
        if (table[i].code == 49) at49 = i;
        if (table[i].code == 138) at138 = i;
        if (table[i].code == 139) at139 = i;
    }
    EXPECT_EQ(at48, at49 + 1);
    EXPECT_EQ(at138, at139 + 1);

    JexMsg msg;
    EXPECT_EQ(msg.CodeFromName("JexMsg::ITSESTABCONNMSG"), 48);
    EXPECT_EQ(msg.CodeFromName("JexMsg::ITSPROCINIFILE"), 138);
    EXPECT_STREQ(msg.CodeName(48).Text(), "JexMsg::ITSESTABCONNMSG");
    EXPECT_STREQ(msg.Text(48).Text(), "Establishing ITS connection to domain %s at node %s.");
    EXPECT_STREQ(msg.CodeName(139).Text(), "JexMsg::ITSININOTFOUND");
    // Codes the table leaves out.
    for (int code : {22, 46, 47, 210})
        EXPECT_EQ(std::string(msg.CodeName(code).Text()), "JexMsg::" + std::to_string(code));
}

TEST(JexMsgTable, QuotedRowsHaveTheirTextsExactly) {
    struct Case {
        int code;
        const char* text;
    } cases[] = {
        {0, "Operation successful"},
        {1, "Command syntax error."},
        {6, "Connecting to target %1$s.%2$s.jex.  Please wait..."},
        {7, "Connecting to target %1$s.  Please wait..."},
        {9, "Stats: M%1$d/%2$d/%3$d/%4$d   B%5$d/%6$d/%7$d/%8$d   C%9$d    "},
        {10,
         "Testing complete.\n\tMessages Sent: %1$8d\n\tMessages Read: %2$8d\n\tMessages Good: "
         "%3$8d\n\tMessages Bad:  %4$8d\n\tBytes Sent:    %5$8d\n\tBytes Read:    %6$8d\n\t"
         "Bytes Good:    %7$8d\n\tBytes Bad:     %8$8d\n\tBPS:           %9$8d"},
        {12, "Error %1$d while opening file %2$s."},
        {19,
         "  Encounter #%1$d\n    System ID:      %2$s\n    System Information:    %3$s\n    "
         "Inbound Link:   %4$s\n    Outbound Link:  %5$s\n"},
        {21, "Connection to target failed."},
        {32, "FERRAND has received your service request."},
        {33, "The service request number is: "},
        {36, "Acknowledgement Mail from JEXlink Service Request"},
        {48, "Establishing ITS connection to domain %s at node %s."},
        {95, "%d articles are in current title list.\n\n"},
        {154, "%1d%% of current file copied. %2d%% of all files copied."},
        {170, "FILETOOLMAILMSG: %1s %2s %3s %4s %5s"},
        {182, "File %1$s \n\texceeds the file size limit of %2$d bytes\n\tset on %3$s.%4$s.jex."},
        {190,
         "\nFile Copy Client Parameters\n---------------------------\nSource File Name:       "
         "%1$s\nTarget File Name:       %2$s\nNotification Address:   %3$s\nNotification "
         "Subject:   %4$s\nService Request Number: %5$s\nToolName:               %6$s\nAccess "
         "Number:          %7$s\nVersion:                %8$s\nFile Size:              %9$d "
         "bytes\n"},
        {196, "Insufficient privilege to perform operation\r\n\trequired privileges are %1$s"},
        {204, "FERRAND has received your service request."},
        {205, "The service request number is: %1$s"},
    };
    JexMsg msg;
    for (const Case& c : cases) EXPECT_STREQ(msg.Text(c.code).Text(), c.text) << c.code;
}

TEST(JexMsg, FormatsItsArgumentsThroughTheMessageRoutines) {
    struct Case {
        int code;
        JexExcArgs args;
        const char* text;
    } cases[] = {
        {JexMsg::OPENERR, JexExcArgs("ReadFile", 2, "x"), "Error 2 while opening file x."},
        {JexMsg::CONNWAIT, JexExcArgs("c", "d", "n"),
         "Connecting to target d.n.jex.  Please wait..."},
        {JexMsg::FILECOPYSTAT, JexExcArgs("c", 50, 75),
         "50% of current file copied. 75% of all files copied."},
        {JexMsg::ITSESTABCONNMSG, JexExcArgs("c", "dom", "node"),
         "Establishing ITS connection to domain dom at node node."},
        {JexMsg::FILETOOLMAILMSG, JexExcArgs("c", "a", "b", "c", "d", "e"),
         // "%2s" is a width, not a position.
         "FILETOOLMAILMSG: a  b   c    d     e"},
        {JexMsg::NETEXSTAT, JexExcArgs("c", 1, 2, 3, 4, 5, 6, 7, 8, 9),
         "Stats: M1/2/3/4   B5/6/7/8   C9    "},
    };
    for (const Case& c : cases) {
        JexMsg msg(c.code, c.args);
        EXPECT_EQ(msg.Code(), c.code);
        EXPECT_STREQ(git_nm(msg).Text(), c.text) << c.code;
    }
}

TEST(JexMsg, NeverRaisesAndKeepsItsCause) {
    JexMsg cause(JexMsg::CONNFAIL);
    JexMsg msg(JexMsg::CLISYNTAX, JexExcArgs("parse fail"), &cause);
    EXPECT_EQ(msg.Suppress(), 1);
    EXPECT_EQ(msg.Raise(), 0);  // suppressed: no default handler, no exit
    ASSERT_NE(msg.Cause(), nullptr);
    EXPECT_EQ(msg.Cause()->Code(), JexMsg::CONNFAIL);
    EXPECT_STREQ(msg.ClassName().Text(), "JexMsg");
}

}  // namespace
