// Tests of the create-request adapter's status conversion and error text.
#include "jexlink/sra/JexCreateSrq.h"

#include <gtest/gtest.h>

#include <climits>

#include "jexlink/messages/JexTIE.h"
#include "jexlink/sra/JexSra.h"

namespace {

TEST(JexConvertSraStatusToSrqStatus, Table) {
    struct Case {
        int status;
        int result;
    } cases[] = {
        {JexSra::OK, 0},
        {JexSra::BYTELIMITERR, 8},
        {JexSra::CONNECTFAIL, 6},
        {JexSra::CONVERSIONERR, 6},
        {JexSra::GETMSGERR, 6},
        {JexSra::PROTOCOLERR, 6},
        {JexSra::PUTMSGERR, 6},
        {JexSra::UNKNOWNROUTINGCODE, 6},
        {JexSra::EVT_CONNHOST, 0},
        {JexSra::EVT_CONNESTAB, 0},
        {JexSra::EVT_REQUEST, 0},
        {JexSra::EVT_WAITING, 0},
        {JexSra::EVT_RESPONSE, 0},
        {JexSra::EVT_SUCCESS_CRE, 0},
        // Everything else falls to the default.
        {JexSra::EVT_SUCCESS_CRE_MAIL, 8},
        {JexSra::EVT_SUCCESS_FET, 8},
        {JexSra::REMOTEFAIL, 8},
        {JexSra::PROBSUBFAIL, 8},
        {JexSra::ACCESSFAIL, 8},
        {JexSra::SESSIONERR, 8},
        {JexSra::NOITEMCODE, 8},
        {28, 8},
        {JexException::kReraised, 8},
        {0x100C, 8},
        {-1, 8},
        {-2, 8},
        {INT_MIN, 8},
        {INT_MAX, 8},
    };
    for (const Case& c : cases)
        EXPECT_EQ(JexConvertSraStatusToSrqStatus(c.status), c.result) << c.status;
}

// An error class of another node, whose names the request's table lacks.
#define FOREIGN_TEXTS(JEX_TEXT) JEX_TEXT(20, REJECT, "Rejected at 100%% by %1$s")
#define JEX_TEXT_CLASS JexForeign
const JexTextRow kForeignTable[] = JEX_TEXT_TABLE(FOREIGN_TEXTS);
#undef JEX_TEXT_CLASS

class JexForeign : public JexException {
public:
    enum : int { FOREIGN_TEXTS(JEX_TEXT_CODE) };
    JexForeign() : JexException(kForeignTable, "JexForeign") { SetSuppress(1); }
};

TEST(JexFormatErrorMsg, DescribesTheCarriedChain) {
    JexForeign session;
    session.ExcSet(JexForeign::REJECT, JexExcArgs("JexForeign::Connect", "hub"));
    JexSra request;
    request.ExcSet(JexSra::CONNECTFAIL, JexExcArgs("JexSraCreateSrq::Create() Connect failed"),
                   &session);
    request.ExcSet(JexSra::PROBSUBFAIL, JexExcArgs("Problem submission failed"), &request);
    JexNetMsg out;
    ASSERT_EQ(JexTIELoadException(request, out), 1);

    const JexString text = JexFormatErrorMsg(out);
    EXPECT_STREQ(text.Text(),
                 "--- JexSra::PROBSUBFAIL, Problem submission failed\n"
                 "  - JexSra::CONNECTFAIL, Connection to server failed\n"
                 "  - JexForeign::REJECT, Rejected at 100% by hub");
    EXPECT_EQ(text.CaseSensitive(), 1);
}

TEST(JexFormatErrorMsg, SizeLimitShowsBothNumbers) {
    JexSra request;
    request.ExcSet(JexSra::BYTELIMITERR, JexExcArgs("JexSraCreateSrq::Create()", 5000, 4096));
    request.ExcSet(JexSra::PROBSUBFAIL, JexExcArgs("Problem submission failed"), &request);
    JexNetMsg out;
    JexTIELoadException(request, out);
    EXPECT_STREQ(JexFormatErrorMsg(out).Text(),
                 "--- JexSra::PROBSUBFAIL, Problem submission failed\n"
                 "  - JexSra::BYTELIMITERR, Your submission of 5000 bytes exceeds the size limit "
                 "of 4096 bytes");
}

TEST(JexFormatErrorMsg, MessageWithoutAnErrorGivesTheHoldersOwnState) {
    JexNetMsg empty;
    EXPECT_STREQ(JexFormatErrorMsg(empty).Text(), "--- JexSra::OK, Operation successful");
}

}  // namespace
