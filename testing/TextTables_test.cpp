// What every class's error and status table promises: the reserved rows around the class's own,
// unique codes, names qualified by the class, a text for every row and texts the formatter reads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <ostream>
#include <set>
#include <string>

#include "jexlink/cli/JexFileName.h"
#include "jexlink/cli/JexPCLI.h"
#include "jexlink/core/JexAlarmClock.h"
#include "jexlink/core/JexBuffer.h"
#include "jexlink/core/JexDataFile.h"
#include "jexlink/core/JexLogger.h"
#include "jexlink/core/JexResourceLock.h"
#include "jexlink/core/JexVBPrintF.h"
#include "jexlink/mail/JexEmail.h"
#include "jexlink/mail/JexMailer.h"
#include "jexlink/messages/JexMsg.h"
#include "jexlink/modem/JexIpc.h"
#include "jexlink/modem/JexModem.h"
#include "jexlink/modem/JexModemLineDb.h"
#include "jexlink/modem/JexModemServDb.h"
#include "jexlink/modem/JexTp2Frame.h"
#include "jexlink/obligation/JexObligation.h"
#include "jexlink/session/JexCrypto.h"
#include "jexlink/session/JexK2.h"
#include "jexlink/session/JexSession.h"
#include "jexlink/sra/JexSra.h"
#include "jexlink/transport/JexCompressionBase.h"
#include "jexlink/transport/JexGateway.h"
#include "jexlink/transport/JexNetStats.h"
#include "jexlink/transport/JexProtocol.h"
#include "jexlink/transport/JexRouteMap.h"
#include "jexlink/transport/JexTransport.h"

namespace {

struct Table {
    const char* className;
    const JexTextRow* rows;
};

// Every class of the library with a table of its own.
const Table kTables[] = {
    {"JexAlarmClock", JexAlarmClock::kTextTable},
    {"JexCompressionBase", JexCompressionBase::kTextTable},
    {"JexCrypto", JexCrypto::kTextTable},
    {"JexDataFile", JexDataFile::kTextTable},
    {"JexEmail", JexEmail::kTextTable},
    {"JexFileName", JexFileName::kTextTable},
    {"JexGateway", JexGateway::kTextTable},
    {"JexIpc", JexIpc::kTextTable},
    {"JexK2", JexK2::kTextTable},
    {"JexLoggerException", JexLoggerException::kTextTable},
    {"JexMailer", JexMailer::kTextTable},
    {"JexModem", JexModem::kTextTable},
    {"JexModemLineDb", JexModemLineDb::kTextTable},
    {"JexModemServDb", JexModemServDb::kTextTable},
    {"JexMsg", JexMsg::kTextTable},
    {"JexNetStats", JexNetStats::kTextTable},
    {"JexObligation", JexObligation::kTextTable},
    {"JexPCLI", JexPCLI::kTextTable},
    {"JexProtocol", JexProtocol::kTextTable},
    {"JexResourceLock", JexResourceLock::kTextTable},
    {"JexRouteMap", JexRouteMap::kTextTable},
    {"JexSession", JexSession::kTextTable},
    {"JexSra", JexSra::kTextTable},
    {"JexTp2Frame", JexTp2Frame::kTextTable},
    {"JexTransport", JexTransport::kTextTable},
};

void PrintTo(const Table& table, std::ostream* out) { *out << table.className; }

// Rows far beyond any table: a table without its end row is a fault.
constexpr int kMaxRows = 10000;

bool IsName(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text)
        if (!std::isupper(static_cast<unsigned char>(c)) &&
            !std::isdigit(static_cast<unsigned char>(c)) && c != '_')
            return false;
    return true;
}

class TextTables : public testing::TestWithParam<Table> {};

TEST_P(TextTables, OpenWithTheReservedRowsAndEndWithTheEndRow) {
    const JexTextRow* rows = GetParam().rows;
    EXPECT_EQ(rows[0].code, JexException::kExternalMessage);
    EXPECT_STREQ(rows[0].name, "JexException::EXC_EXTERNAL_MESSAGE");
    EXPECT_STREQ(rows[0].text, "Your message here");
    EXPECT_EQ(rows[1].code, JexException::kInfiniteLoop);
    EXPECT_STREQ(rows[1].name, "JexException::EXC_INFINITE_LOOP");
    EXPECT_STREQ(rows[1].text, "Infinite exception loop detected");
    int end = 2;
    while (end < kMaxRows && rows[end].code != JexException::kEndOfTable) ++end;
    ASSERT_LT(end, kMaxRows) << "no end row";
    EXPECT_STREQ(rows[end].name, "JexException::EXC_END_OF_TEXT_TABLE");
    EXPECT_EQ(rows[end].text, nullptr);
}

TEST_P(TextTables, ClassRowsHaveUniqueCodesQualifiedNamesAndReadableTexts) {
    const std::string prefix = std::string(GetParam().className) + "::";
    std::set<int> codes;
    std::set<std::string> names;
    const JexExcArgs args("x", 1, 2, 3, 4, 5, 6, 7, 8, 9);
    for (const JexTextRow* row = GetParam().rows + 2; row->code != JexException::kEndOfTable;
         ++row) {
        SCOPED_TRACE(row->name ? row->name : "(null name)");
        ASSERT_NE(row->name, nullptr);
        const std::string name = row->name;
        EXPECT_TRUE(codes.insert(row->code).second) << "code " << row->code << " twice";
        EXPECT_TRUE(names.insert(name).second) << "name twice";
        // Negative codes are the base's; the class's own are 0 and up.
        EXPECT_GE(row->code, 0);
        EXPECT_EQ(name.compare(0, prefix.size(), prefix), 0);
        EXPECT_TRUE(IsName(name.substr(std::min(prefix.size(), name.size()))));
        ASSERT_NE(row->text, nullptr);
        JexBuffer out;
        EXPECT_GE(JexVBPrintF(out, row->text, args.Buffers()), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Library, TextTables, testing::ValuesIn(kTables),
                         [](const testing::TestParamInfo<Table>& table) {
                             return std::string(table.param.className);
                         });

}  // namespace
