// Tests of the wizard's text procedures: label cutting, field tests, dates, encodings, settings
// items.
#include "wizard/WizardText.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace wizard {
namespace {

TEST(ValueAfterDelimiter, GivesWhatFollowsTheFirstOccurrence) {
    struct Case {
        const char* text;
        const char* delimiter;
        const char* expected;
    } cases[] = {
        {"SERVER=mail.example.com", "=", "mail.example.com"},
        {"SERVER=a=b", "=", "a=b"},
        {"Customer: Acme Ltd", "Customer:", " Acme Ltd"},
        {"no delimiter here", "=", ""},
        {"Acme Ltd without label", "Customer:", ""},
        {"=first", "=", "first"},
        {"Customer:", "Customer:", ""},
        {"", "=", ""},
        {"abc", "", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ValueAfterDelimiter(c.text, c.delimiter), c.expected)
            << c.text << " / " << c.delimiter;
    }
}

TEST(FieldTests, CommaNumberAndEmailForms) {
    EXPECT_TRUE(CheckForComma("Acme, Inc"));
    EXPECT_TRUE(CheckForComma(","));
    EXPECT_FALSE(CheckForComma(""));
    EXPECT_FALSE(CheckForComma("Acme Inc"));

    struct Case {
        const char* text;
        bool numeric;
    } numbers[] = {
        {"5", true},    {"  42  ", true}, {"-3", true},   {"+3.5", true},   {"0.25", true},
        {".5", true},   {"5.", true},     {"1e3", true},  {"1.5E-2", true}, {"\t7\t", true},
        {"12a", false}, {"", false},      {"   ", false}, {".", false},     {"1.2.3", false},
        {"1e", false},  {"e5", false},    {"--1", false}, {"1 2", false},   {"0x10", false},
        {"$5", false},  {"1,000", false}, {"+", false},   {"1e+", false},
    };
    for (const Case& c : numbers) EXPECT_EQ(IsNumeric(c.text), c.numeric) << '"' << c.text << '"';

    struct EmailCase {
        const char* text;
        bool ok;
    } emails[] = {
        {"a@b.c", true}, {".@", true},   {"first.last@host", true}, {"a.b@", true},
        {"a@b", false},  {"a.b", false}, {"plain", false},
    };
    for (const EmailCase& c : emails) EXPECT_EQ(HasEmailForm(c.text), c.ok) << c.text;
}

TEST(GeneralDate, IsTheUsFormWithTwelveHourClock) {
    auto at = [](int year, int month, int day, int hour, int minute, int second) {
        std::tm t{};
        t.tm_year = year - 1900;
        t.tm_mon = month - 1;
        t.tm_mday = day;
        t.tm_hour = hour;
        t.tm_min = minute;
        t.tm_sec = second;
        return GeneralDate(t);
    };
    EXPECT_EQ(at(2026, 3, 7, 13, 5, 9), "3/7/2026 1:05:09 PM");
    EXPECT_EQ(at(2026, 12, 31, 0, 0, 0), "12/31/2026 12:00:00 AM");
    EXPECT_EQ(at(2026, 1, 1, 12, 30, 59), "1/1/2026 12:30:59 PM");
    EXPECT_EQ(at(2026, 10, 10, 11, 59, 59), "10/10/2026 11:59:59 AM");
}

TEST(FileText, Utf8StaysAndOtherBytesAreWindows1252) {
    EXPECT_EQ(TextFromFileBytes("plain"), "plain");
    EXPECT_EQ(TextFromFileBytes("M\xC3\xBCller"), "M\xC3\xBCller");
    EXPECT_EQ(TextFromFileBytes("M\xFCller"), "M\xC3\xBCller");
    EXPECT_EQ(TextFromFileBytes("\x80 \x93q\x94"), "\xE2\x82\xAC \xE2\x80\x9Cq\xE2\x80\x9D");
    EXPECT_EQ(TextFromFileBytes("\x81"), "\xC2\x81");
    EXPECT_FALSE(IsUtf8("\xC0\xAF"));          // overlong
    EXPECT_FALSE(IsUtf8("\xED\xA0\x80"));      // surrogate
    EXPECT_FALSE(IsUtf8("\xE2\x82"));          // cut short
    EXPECT_FALSE(IsUtf8("\xF4\x90\x80\x80"));  // above U+10FFFF
    EXPECT_TRUE(IsUtf8("\xF0\x9F\x98\x80"));
    EXPECT_TRUE(IsUtf8(std::string("a\0b", 3)));
}

TEST(SettingsItems, SplitAtLineEndsAndCommasOutsideQuotes) {
    struct Case {
        const char* name;
        std::string text;
        std::vector<std::string> items;
    } cases[] = {
        {"CR LF lines", "a\r\nb\r\n", {"a", "b", ""}},
        {"LF and lone CR", "a\nb\rc", {"a", "b", "c"}},
        {"empty line is an empty item", "a\r\n\r\nc\r\n", {"a", "", "c"}},
        {"comma splits", "Customer:Acme, Inc\r\nx", {"Customer:Acme", "Inc", "x"}},
        {"quoted item keeps its comma", "\"a, b\"\r\nc", {"a, b", "c", ""}},
        {"text after closing quote dropped", "\"a\" tail\r\nc", {"a", "c", ""}},
        {"unclosed quote ends at the line", "\"abc\r\nd", {"abc", "d", ""}},
        {"blanks around an item", "  a b  \r\n", {"a b", "", ""}},
        {"inner quotes kept", "TO=\"x\"\r\n", {"TO=\"x\"", "", ""}},
        {"no line end at all", "only", {"only", "", ""}},
        {"nothing", "", {"", "", ""}},
        {"trailing comma", "a,\r\nb", {"a", "", "b"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ReadSettingsItems(c.text, 3), c.items) << c.name;
    }
    std::string nul("a\0b\r\nc", 6);
    EXPECT_EQ(ReadSettingsItems(nul, 2), (std::vector<std::string>{std::string("a\0b", 3), "c"}));
    std::string huge(3 * 1024 * 1024, 'x');
    EXPECT_EQ(ReadSettingsItems(huge + "\r\ny", 2)[1], "y");
}

TEST(SettingsItems, SerialLineSplitsAtTheColonAndTheNameLabel) {
    struct Case {
        const char* item;
        const char* serial;
        const char* name;
    } cases[] = {
        {"System S/N:SN-123   System Name:host1", "SN-123", "host1"},
        {"System S/N:   System Name:", "", ""},
        {"System S/N:   System Name:  spaced name  ", "", "spaced name"},
        {"System S/N:ABC", "", "ABC"},
        {"System Name:only name", "", "only name"},
        {"", "", ""},
        {"short", "", ""},
        {"System S/N:A:B   System Name:n", "A:B", "n"},
    };
    for (const Case& c : cases) {
        SerialAndName split = SplitSerialLine(c.item);
        EXPECT_EQ(split.serial, c.serial) << c.item;
        EXPECT_EQ(split.name, c.name) << c.item;
    }
}

}  // namespace
}  // namespace wizard
