// Tests of the Win32 error object: code, system text, id and severity.
#include "Hostsys/NTSystemError.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/winbase.h"

namespace {

// The layer's own text for `code`, as FormatMessageA gives it.
std::string SystemText(DWORD code) { return std::string(platform::Win32ErrorText(code)) + "\r\n"; }

TEST(NTSystemError, CarriesCodeAndSystemText) {
    const DWORD codes[] = {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE,
                           ERROR_ALREADY_EXISTS, WAIT_TIMEOUT};
    for (DWORD code : codes) {
        SCOPED_TRACE(code);
        CNTSystemError error(code);
        EXPECT_EQ(error.GetError(), code);
        EXPECT_EQ(error.GetMessage(), SystemText(code));
        EXPECT_EQ(error.GetMessageLength(), SystemText(code).size());
        EXPECT_EQ(error.GetMsgString(), SystemText(code) + " ID:None");
    }
}

TEST(NTSystemError, TakesLastErrorWhenGivenNoCode) {
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_EQ(CNTSystemError().GetError(), ERROR_ACCESS_DENIED);
    SetLastError(ERROR_INVALID_PARAMETER);
    EXPECT_EQ(CNTSystemError(0u).GetError(), ERROR_INVALID_PARAMETER);
    SetLastError(ERROR_FILE_NOT_FOUND);
    CNTSystemError named("OpenProcess", 0);
    EXPECT_EQ(named.GetError(), ERROR_FILE_NOT_FOUND);
}

TEST(NTSystemError, MsgStringEndsWithId) {
    CNTSystemError error("SetProcessAffinityMask", ERROR_INVALID_PARAMETER);
    EXPECT_EQ(error.GetMsgString(),
              SystemText(ERROR_INVALID_PARAMETER) + " ID:SetProcessAffinityMask");
    EXPECT_EQ(CNTSystemError(nullptr, ERROR_INVALID_PARAMETER).GetMsgString(),
              SystemText(ERROR_INVALID_PARAMETER) + " ID:None");
}

TEST(NTSystemError, UnknownCodeKeepsCodeWithFormatterFailureText) {
    const DWORD unknown = 0x20001234;
    ASSERT_EQ(platform::Win32ErrorText(unknown), nullptr);
    CNTSystemError error(unknown);
    EXPECT_EQ(error.GetError(), unknown);
    EXPECT_EQ(error.GetMessage(), SystemText(ERROR_MR_MID_NOT_FOUND));
}

TEST(NTSystemError, SeverityIsTopTwoBits) {
    struct Case {
        DWORD code;
        DWORD severity;
    };
    const Case cases[] = {
        {5, 0}, {0x40000001, 1}, {0x80000003, 2}, {0xC0000005, 3}, {0xFFFFFFFF, 3}};
    for (const Case& c : cases)
        EXPECT_EQ(CNTSystemError(c.code).GetSeverity(), c.severity) << c.code;
}

TEST(NTSystemError, CopiesOwnTheirTexts) {
    CNTSystemError* original = new CNTSystemError("id", ERROR_ACCESS_DENIED);
    CNTSystemError copy(*original);
    delete original;
    EXPECT_EQ(copy.GetMsgString(), SystemText(ERROR_ACCESS_DENIED) + " ID:id");
}

TEST(NTSystemError, RevisionJoinsSourceAndHeader) {
    EXPECT_EQ(CNTSystemError::getRevision(),
              "$Source: Hostsys/NTSystemError.cpp,v $ $Revision: 1.5 $ $Name:  $ "
              "$Source: Hostsys/NTSystemError.h,v $ $Revision: 1.3 $ $Name:  $");
}

}  // namespace
