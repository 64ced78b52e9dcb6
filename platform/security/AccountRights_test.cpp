// Tests of account look-up and the account-rights store.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/RegKey.h"
#include "platform/winlsa.h"

namespace {

std::string ThisUser() {
    passwd* entry = getpwuid(getuid());
    return entry ? entry->pw_name : "";
}

LSA_UNICODE_STRING Text(const std::u16string& text) {
    return {static_cast<USHORT>(text.size() * 2), static_cast<USHORT>(text.size() * 2 + 2),
            const_cast<char16_t*>(text.c_str())};
}

class AccountRightsTest : public ::testing::Test {
protected:
    void SetUp() override {
        LSA_OBJECT_ATTRIBUTES attributes{};
        ASSERT_EQ(LsaOpenPolicy(nullptr, &attributes, POLICY_ALL_ACCESS, &m_policy),
                  STATUS_SUCCESS);
        DWORD sidSize = sizeof m_sid;
        char domain[256];
        DWORD domainSize = sizeof domain;
        SID_NAME_USE use;
        ASSERT_TRUE(LookupAccountNameA(nullptr, ThisUser().c_str(), m_sid, &sidSize, domain,
                                       &domainSize, &use))
            << GetLastError();
        EXPECT_EQ(use, SidTypeUser);
    }
    void TearDown() override { LsaClose(m_policy); }

    std::vector<std::u16string> Rights() {
        PLSA_UNICODE_STRING rights = nullptr;
        ULONG count = 0;
        std::vector<std::u16string> out;
        m_status = LsaEnumerateAccountRights(m_policy, m_sid, &rights, &count);
        for (ULONG i = 0; i < count; ++i) out.emplace_back(rights[i].Buffer, rights[i].Length / 2);
        LsaFreeMemory(rights);
        std::sort(out.begin(), out.end());
        return out;
    }

    LSA_HANDLE m_policy = nullptr;
    unsigned char m_sid[64] = {};
    NTSTATUS m_status = STATUS_SUCCESS;
};

TEST_F(AccountRightsTest, LookupGivesTheUsersIdentifierAndAsksForRoom) {
    DWORD sidSize = 4;
    DWORD domainSize = 1;
    unsigned char sid[4];
    char domain[1];
    SID_NAME_USE use;
    std::string prefixed = ".\\" + ThisUser();
    EXPECT_FALSE(
        LookupAccountNameA(nullptr, prefixed.c_str(), sid, &sidSize, domain, &domainSize, &use));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(sidSize, 16u);
    EXPECT_GT(domainSize, 1u);

    std::vector<unsigned char> grown(sidSize);
    std::vector<char> grownDomain(domainSize);
    ASSERT_TRUE(LookupAccountNameA(nullptr, prefixed.c_str(), grown.data(), &sidSize,
                                   grownDomain.data(), &domainSize, &use));
    EXPECT_EQ(std::vector<unsigned char>(m_sid, m_sid + 16), grown);
    EXPECT_EQ(grown[7], 22) << "authority of the system's users";
}

TEST_F(AccountRightsTest, UnknownAccountIsNotMapped) {
    DWORD sidSize = sizeof m_sid;
    char domain[64];
    DWORD domainSize = sizeof domain;
    SID_NAME_USE use;
    EXPECT_FALSE(LookupAccountNameA(nullptr, "no-such-account-here", m_sid, &sidSize, domain,
                                    &domainSize, &use));
    EXPECT_EQ(GetLastError(), ERROR_NONE_MAPPED);
}

TEST_F(AccountRightsTest, RightsAreAddedFoundAndRemoved) {
    EXPECT_TRUE(Rights().empty());
    EXPECT_EQ(m_status, STATUS_OBJECT_NAME_NOT_FOUND);

    std::u16string logon = u"SeServiceLogonRight";
    std::u16string batch = u"sebatchlogonright";
    LSA_UNICODE_STRING both[] = {Text(logon), Text(batch)};
    ASSERT_EQ(LsaAddAccountRights(m_policy, m_sid, both, 2), STATUS_SUCCESS);
    ASSERT_EQ(LsaAddAccountRights(m_policy, m_sid, both, 1), STATUS_SUCCESS);
    std::vector<std::u16string> rights = Rights();
    EXPECT_EQ(rights, (std::vector<std::u16string>{u"SeBatchLogonRight", u"SeServiceLogonRight"}));

    // Another process's view: the registry store.
    platform::RegKey key;
    ASSERT_EQ(key.Open("SECURITY\\Policy\\Accounts\\S-1-22-1-" + std::to_string(getuid())),
              ERROR_SUCCESS);
    EXPECT_EQ(key.GetDword("SeServiceLogonRight"), 1u);
    key.Close();

    ASSERT_EQ(LsaRemoveAccountRights(m_policy, m_sid, FALSE, both, 1), STATUS_SUCCESS);
    EXPECT_EQ(Rights(), (std::vector<std::u16string>{u"SeBatchLogonRight"}));
    ASSERT_EQ(LsaRemoveAccountRights(m_policy, m_sid, TRUE, nullptr, 0), STATUS_SUCCESS);
    EXPECT_TRUE(Rights().empty());
    EXPECT_EQ(key.Open("SECURITY\\Policy\\Accounts\\S-1-22-1-" + std::to_string(getuid())),
              ERROR_FILE_NOT_FOUND);
}

TEST_F(AccountRightsTest, BadRequestsGiveTheirStatus) {
    std::u16string unknown = u"SeNoSuchRight";
    LSA_UNICODE_STRING right = Text(unknown);
    EXPECT_EQ(LsaAddAccountRights(m_policy, m_sid, &right, 1), STATUS_NO_SUCH_PRIVILEGE);
    unsigned char bad[16] = {9};
    std::u16string logon = u"SeServiceLogonRight";
    LSA_UNICODE_STRING good = Text(logon);
    EXPECT_EQ(LsaAddAccountRights(m_policy, bad, &good, 1), STATUS_INVALID_PARAMETER);
    int notAPolicy = 0;
    EXPECT_EQ(LsaAddAccountRights(&notAPolicy, m_sid, &good, 1), STATUS_INVALID_HANDLE);
    EXPECT_EQ(LsaRemoveAccountRights(m_policy, m_sid, FALSE, &good, 1),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST(LsaNtStatusToWinError, TranslatesTheStoresStatuses) {
    struct Case {
        NTSTATUS status;
        ULONG error;
    } cases[] = {
        {STATUS_SUCCESS, ERROR_SUCCESS},
        {STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE},
        {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
        {STATUS_NO_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
        {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
        {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
        {STATUS_NO_SUCH_PRIVILEGE, ERROR_NO_SUCH_PRIVILEGE},
        {STATUS_NONE_MAPPED, ERROR_NONE_MAPPED},
        {STATUS_INTERNAL_DB_ERROR, ERROR_BADDB},
        {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
    };
    for (const Case& c : cases) EXPECT_EQ(LsaNtStatusToWinError(c.status), c.error) << c.status;
}

}  // namespace
