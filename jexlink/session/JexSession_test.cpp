// Tests of the session object without a peer: attributes, states, texts, the message CRC, the
// start message's encoding, key blocks, signing chains and the set-up of methods.
#include "jexlink/session/JexSession.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>

#include "jexlink/core/JexPlatform.h"
#include "jexlink/core/JexUtilities.h"
#include "jexlink/session/JexCrypto.h"
#include "testing/support/TempDir.h"

namespace {

using tavro::testing::TempDir;
using tavro::testing::WriteFile;

std::string Bytes(const JexBuffer& b) {
    return b.Data() ? std::string(b.Data(), static_cast<size_t>(b.Length())) : std::string();
}

void SetItem(JexNetMsg& msg, int i, const std::string& bytes) {
    msg[i].Free();
    msg[i].SetLength(static_cast<int>(bytes.size()));
    if (!bytes.empty()) std::memcpy(msg[i].Data(), bytes.data(), bytes.size());
}

// Each test runs in a process of its own, so its environment is its own.
class JexSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("JEXSESSION_VERSION");
        unsetenv("JEXSESSION_TEST");
        unsetenv("JEXSESSION_TRACE");
        setenv("JEXCRYPTO_PATH", keys_.Path().c_str(), 1);
        session_ = std::make_unique<JexSession>();
        session_->SetSuppress(1);
    }
    void Key(const std::string& name, const std::string& content) {
        WriteFile(keys_.Path() / name, content);
    }

    TempDir keys_{"session-keys"};
    std::unique_ptr<JexSession> session_;
};

TEST_F(JexSessionTest, NewSessionHasItsDefaults) {
    JexSession& s = *session_;
    int value = -1;
    JexString text;
    EXPECT_EQ(s.GetAttr(JexSession::STATE, value), 0);
    EXPECT_EQ(value, JexSession::IDLE);
    EXPECT_EQ(s.GetAttr(JexSession::STATE, text), 0);
    EXPECT_STREQ(text.Text(), "IDLE");
    EXPECT_EQ(s.GetAttr(JexSession::CLIENT_VERSION, text), 0);
    EXPECT_STREQ(text.Text(), "3.14 Exp");
    EXPECT_EQ(s.GetAttr(JexSession::SERVER_VERSION, text), 0);
    EXPECT_STREQ(text.Text(), "3.14 Exp");

    const struct {
        JexSession::Attribute attribute;
        int value;
    } ints[] = {
        {JexSession::ASYMMETRIC, 0},    {JexSession::AUTHENTICATION, 1},
        {JexSession::COMPRESSION, 1},   {JexSession::CRC, 1},
        {JexSession::ENCRYPTION, 0},    {JexSession::NODE_AUTH, 0},
        {JexSession::PARADIGM, 0},      {JexSession::PRIORITY, 128},
        {JexSession::RAISE_TIMEOUT, 0}, {JexSession::READ_TIMEOUT, 65535},
    };
    for (const auto& c : ints) {
        EXPECT_EQ(s.GetAttr(c.attribute, value), 0) << c.attribute;
        EXPECT_EQ(value, c.value) << c.attribute;
    }
    JexPlatform platform = JexLibraryPlatform();
    EXPECT_EQ(s.GetAttr(JexSession::SRC_NODE, text), 0);
    EXPECT_STREQ(text.Text(), platform.Field(1).Text());
    EXPECT_EQ(s.GetAttr(JexSession::DST_NODE, text), 0);
    EXPECT_STREQ(text.Text(), platform.Field(1).Text());
}

TEST_F(JexSessionTest, VersionFromEnvironment) {
    setenv("JEXSESSION_VERSION", "4.0", 1);
    JexSession s;
    JexString text;
    EXPECT_EQ(s.GetAttr(JexSession::CLIENT_VERSION, text), 0);
    EXPECT_STREQ(text.Text(), "4.0 (from environment variable)");
    EXPECT_EQ(s.GetAttr(JexSession::SERVER_VERSION, text), 0);
    EXPECT_STREQ(text.Text(), "4.0 (from environment variable)");
}

TEST_F(JexSessionTest, LanguageFromLang) {
    setenv("LANG", "fr_CA", 1);
    JexSession s;
    JexString text;
    EXPECT_EQ(s.GetAttr(JexSession::LANGUAGE, text), 0);
    EXPECT_STREQ(text.Text(), "fr_CA");
}

// One row per attribute and kind of access: the code, and the value read
// back after a set (or read).
TEST_F(JexSessionTest, AttributeTable) {
    enum Op { kGetInt, kGetText, kSetInt, kSetText };
    struct Case {
        int attribute;
        Op op;
        int int_value;
        const char* text_value;
        int code;
        const char* read_back;  // text read back after the operation, or null
    } const cases[] = {
        {1, kGetInt, 0, nullptr, JexSession::ATTRNOTINT, nullptr},
        {1, kSetInt, 1, nullptr, JexSession::ATTRNOTINT, nullptr},
        {1, kSetText, 0, "app", JexSession::ATTRREADONLY, ""},
        {2, kGetText, 0, nullptr, JexSession::ATTRNOTSTRING, nullptr},
        {2, kSetInt, 7, nullptr, 0, nullptr},
        {2, kSetText, 0, "1", JexSession::ATTRNOTSTRING, nullptr},
        {3, kSetText, 0, "md5", 0, "MD5"},
        {3, kSetText, 0, "noauth", 0, "NOAUTH"},
        {3, kSetText, 0, "rsa", JexSession::BADATTRVALUE, "MD5"},
        {3, kSetInt, 2, nullptr, 0, "PASSWORD"},
        {3, kSetInt, 7, nullptr, JexSession::BADATTRVALUE, "MD5"},
        {4, kGetInt, 0, nullptr, JexSession::ATTRNOTINT, nullptr},
        {4, kSetText, 0, "9.9", JexSession::ATTRREADONLY, "3.14 Exp"},
        {5, kSetInt, 0, nullptr, 0, "NOCOMP"},
        {5, kSetInt, 3, nullptr, JexSession::BADATTRVALUE, "LZW"},
        {5, kSetText, 0, "lzw_dyn", 0, "LZW_DYN"},
        {6, kSetInt, 5, nullptr, 0, nullptr},
        {6, kGetText, 0, nullptr, JexSession::ATTRNOTSTRING, nullptr},
        {7, kSetText, 0, "/keys", 0, "/keys"},
        {7, kSetInt, 1, nullptr, JexSession::ATTRNOTINT, ""},
        {8, kSetText, 0, "acid", 0, "acid"},
        {9, kSetText, 0, "node", 0, "node"},
        {10, kSetText, 0, "a,b", JexSession::ATTRREADONLY, ""},
        {11, kSetText, 0, "n1,n2", 0, "n1,n2"},
        {12, kGetInt, 0, nullptr, JexSession::BADATTR, nullptr},
        {12, kSetText, 0, "x", JexSession::BADATTR, nullptr},
        {13, kSetText, 0, "u", JexSession::ATTRREADONLY, ""},
        {14, kSetText, 0, "des", 0, "DES"},
        {14, kSetInt, 4, nullptr, JexSession::BADATTRVALUE, "NOENCRYPT"},
        {15, kSetText, 0, "de", 0, "de"},
        {16, kGetText, 0, nullptr, JexSession::BADATTR, nullptr},
        {16, kSetInt, 9, nullptr, 0, nullptr},
        {16, kSetText, 0, "1", JexSession::ATTRNOTSTRING, nullptr},
        {17, kSetText, 0, "batch", 0, "BATCH"},
        {17, kSetInt, 2, nullptr, JexSession::BADATTRVALUE, "INTERACTIVE"},
        {18, kGetInt, 0, nullptr, JexSession::ATTRNOTINT, nullptr},
        {18, kSetText, 0, "p", JexSession::ATTRREADONLY, nullptr},
        {19, kSetInt, 255, nullptr, 0, nullptr},
        {19, kSetInt, 0, nullptr, 0, nullptr},
        {19, kSetInt, 256, nullptr, JexSession::BADATTRVALUE, nullptr},
        {19, kSetInt, -1, nullptr, JexSession::BADATTRVALUE, nullptr},
        {20, kSetInt, 3, nullptr, 0, nullptr},
        {21, kSetInt, -5, nullptr, 0, nullptr},
        {21, kSetText, 0, "5", JexSession::ATTRNOTSTRING, nullptr},
        {23, kSetText, 0, "1.0", JexSession::ATTRREADONLY, "3.14 Exp"},
        {24, kSetText, 0, "a,,b", 0, "a,,b"},
        {25, kSetText, 0, "x,y", 0, "x,y"},
        {26, kGetInt, 0, nullptr, JexSession::BADATTR, nullptr},
        {26, kSetInt, 0, nullptr, JexSession::BADATTR, nullptr},
        {27, kSetText, 0, "u", JexSession::ATTRREADONLY, ""},
        {28, kSetInt, 12, nullptr, JexSession::ATTRREADONLY, "IDLE"},
        {28, kSetText, 0, "RUN", JexSession::ATTRREADONLY, "IDLE"},
        {0, kGetInt, 0, nullptr, JexSession::BADATTR, nullptr},
        {29, kGetText, 0, nullptr, JexSession::BADATTR, nullptr},
        {29, kSetInt, 0, nullptr, JexSession::BADATTR, nullptr},
    };
    for (const Case& c : cases) {
        JexSession s;
        s.SetSuppress(1);
        const auto attribute = static_cast<JexSession::Attribute>(c.attribute);
        int value = 0;
        JexString text;
        int rc = -1;
        switch (c.op) {
            case kGetInt: rc = s.GetAttr(attribute, value); break;
            case kGetText: rc = s.GetAttr(attribute, text); break;
            case kSetInt: rc = s.SetAttr(attribute, c.int_value); break;
            case kSetText: rc = s.SetAttr(attribute, c.text_value); break;
        }
        const std::string label =
            "attribute " + std::to_string(c.attribute) + " op " + std::to_string(c.op);
        EXPECT_EQ(rc, c.code) << label;
        EXPECT_EQ(s.Code(), c.code) << label;
        if (c.code != 0) {
            EXPECT_STREQ(s.Args()[0].Data() ? s.Args()[0].Data() : "",
                         c.op == kGetInt    ? "JexSession::GetAttr(Attribute,int&)"
                         : c.op == kGetText ? "JexSession::GetAttr(Attribute,value&)"
                         : c.op == kSetInt  ? "JexSession::SetAttr(Attribute, int)"
                                            : "JexSession::SetAttr(Attribute, const char *)")
                << label;
            EXPECT_EQ(s.Args()[2].GetLong(), c.attribute) << label;
        }
        if (c.read_back) {
            ASSERT_EQ(s.GetAttr(attribute, text), 0) << label;
            EXPECT_STREQ(text.Text(), c.read_back) << label;
        }
        if (c.op == kSetInt && c.code == 0 && !c.read_back) {
            ASSERT_EQ(s.GetAttr(attribute, value), 0) << label;
            const bool flag =
                c.attribute == 2 || c.attribute == 6 || c.attribute == 16 || c.attribute == 20;
            EXPECT_EQ(value, flag ? 1 : c.int_value) << label;
        }
    }
}

TEST_F(JexSessionTest, AttributeErrorsCarryNameNumberAndValue) {
    JexSession& s = *session_;
    EXPECT_EQ(s.SetAttr(JexSession::AUTHENTICATION, 7), JexSession::BADATTRVALUE);
    EXPECT_EQ(Bytes(s.Args()[1]), "AUTHENTICATION");
    EXPECT_EQ(Bytes(s.Args()[3]), "7\n");
    EXPECT_STREQ(s.FormattedText(0).Text(),
                 "Invalid \"AUTHENTICATION\" (enum=3) attribute value specified (7\n)");
    int unused = 0;
    EXPECT_EQ(s.GetAttr(JexSession::CRYPTO_PATH, unused), JexSession::ATTRNOTINT);
    EXPECT_STREQ(s.FormattedText(0).Text(),
                 "Attribute \"Unknown attribute\" (enum=7) is not an integer");
    int v = 0;
    EXPECT_EQ(s.GetAttr(static_cast<JexSession::Attribute>(26), v), JexSession::BADATTR);
    EXPECT_STREQ(s.FormattedText(0).Text(), "Invalid attribute (enum=26) specified");
    EXPECT_EQ(s.GetAttr(JexSession::STATE, v), 0);
    EXPECT_EQ(s.Code(), 0);  // each call starts clear
    // By number, as callers holding attribute numbers pass them.
    EXPECT_EQ(s.SetAttr(12, 1), JexSession::BADATTR);
    EXPECT_EQ(s.SetAttr(28, "RUN"), JexSession::ATTRREADONLY);
    EXPECT_EQ(s.GetAttr(19, v), 0);
    EXPECT_EQ(v, 128);
}

TEST_F(JexSessionTest, AttributeErrorWithoutSuppressEndsProcess) {
    EXPECT_EXIT(
        {
            JexSession s;
            s.SetAttr(JexSession::PRIORITY, 300);
        },
        ::testing::ExitedWithCode(1), "Invalid \"PRIORITY\"");
}

TEST_F(JexSessionTest, StateAndMessageNames) {
    const char* const names[] = {"*Invalid State*",
                                 "AUTHFAIL1",
                                 "AUTHFAIL2",
                                 "AUTHFAIL3",
                                 "CCI1",
                                 "CCI2",
                                 "CTS",
                                 "DATAWAIT",
                                 "DONE",
                                 "ERROR",
                                 "IDLE",
                                 "REJECTED",
                                 "RUN",
                                 "SCI1",
                                 "SCI2",
                                 "SCI3",
                                 "SCIW",
                                 "SI",
                                 "SN",
                                 "STC",
                                 "SYNWAIT",
                                 "*Invalid State*"};
    for (int i = 0; i <= 21; ++i) {
        EXPECT_STREQ(JexSession::state_name(i).Text(), names[i]) << i;
        EXPECT_EQ(JexSession::state_name(i).CaseSensitive(), 1);
    }
    EXPECT_STREQ(JexSession::state_name(-1).Text(), "*Invalid State*");
    const struct {
        int type;
        const char* name;
    } messages[] = {{'S', "CRSTART"},
                    {'K', "CRACK"},
                    {'I', "CRINFO"},
                    {'A', "CRACCEPT"},
                    {'R', "CRREJECT"},
                    {'X', "CRAUTHREJ"},
                    {'F', "CRFAIL"},
                    {'e', "CRBADKEY"},
                    {'D', "DATA"},
                    {'s', "DATASYN"},
                    {'k', "DATAACK"},
                    {'H', "SHUTDOWN"},
                    {'d', "*Invalid Message*"},
                    {0, "*Invalid Message*"}};
    for (const auto& m : messages) EXPECT_STREQ(JexSession::msg_name(m.type), m.name) << m.type;
}

TEST_F(JexSessionTest, ErrorTableTexts) {
    const struct {
        int code;
        const char* name;
        const char* text;
    } rows[] = {
        {10, "JexSession::CRCFAIL", "CRC failure"},
        {11, "JexSession::CRYPTOKEYERR", "Error retrieving/using cryptographic key"},
        {22, "JexSession::TIMEOUT", "Operation timed out"},
        {24, "JexSession::UNSUPPORTED", "Unsupported %s option: %s"},
        {27, "JexSession::FAILURE", "Operation failed"},
    };
    for (const auto& r : rows) {
        EXPECT_STREQ(session_->CodeName(r.code).Text(), r.name);
        EXPECT_STREQ(session_->Text(r.code).Text(), r.text);
    }
    EXPECT_EQ(session_->CodeFromName("JexSession::NOTFORME"), 18);
    EXPECT_EQ(session_->CodeFromName("JexSession::UNASSIGNED15"), JexException::kNoSuchName);
}

TEST(JexSessionCrc, GoldenValues) {
    JexNetMsg empty;
    EXPECT_EQ(JexSession::msg_crc(empty), 0xFFFFFFFFu);
    JexNetMsg msg('S');
    SetItem(msg, 'A', "123456789");
    EXPECT_EQ(JexSession::msg_crc(msg), 0x340BC6D9u);
    SetItem(msg, 'r', "anything");
    EXPECT_EQ(JexSession::msg_crc(msg), 0x340BC6D9u);
    // Only item bytes count, in item order: split across two items gives the same.
    JexNetMsg split('x');
    SetItem(split, 1, "1234");
    SetItem(split, 200, "56789");
    EXPECT_EQ(JexSession::msg_crc(split), 0x340BC6D9u);
    // An empty present item adds nothing.
    SetItem(split, 100, "");
    EXPECT_EQ(JexSession::msg_crc(split), 0x340BC6D9u);
    // Data given apart stands in the data item's slot, in place of the
    // message's own; before every later item, or alone.
    JexNetMsg around('D');
    SetItem(around, 1, "12");
    SetItem(around, 'D', "not this");
    SetItem(around, 'r', "nor this");
    SetItem(around, 200, "789");
    EXPECT_EQ(JexSession::msg_crc(around, JexBuffer("3456")), 0x340BC6D9u);
    JexNetMsg before('D');
    SetItem(before, 1, "1234");
    EXPECT_EQ(JexSession::msg_crc(before, JexBuffer("56789")), 0x340BC6D9u);
    EXPECT_EQ(JexSession::msg_crc(JexNetMsg('D'), JexBuffer("123456789")), 0x340BC6D9u);
}

// The start message's wire bytes, item by item in index order, from the
// fields that the session's attributes give.
TEST_F(JexSessionTest, CrstartEncodesByteForByte) {
    JexSession& s = *session_;
    ASSERT_EQ(s.SetAttr(JexSession::SRC_ACID, "acme,beta"), 0);
    ASSERT_EQ(s.SetAttr(JexSession::SRC_NODE, "n1"), 0);
    ASSERT_EQ(s.SetAttr(JexSession::DST_NODE, "far"), 0);
    ASSERT_EQ(s.SetAttr(JexSession::LANGUAGE, ""), 0);
    ASSERT_EQ(s.SetAttr(JexSession::PRIORITY, 200), 0);
    ASSERT_EQ(s.SetAttr(JexSession::NODE_AUTH, 1), 0);
    JexBuffer challenge("CCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCC");
    JexNetMsg msg;
    s.BuildCrstart(msg, JexString("Thu, 1 Jan 1998 00:00:00 +0000"), challenge);
    JexBuffer wire;
    ASSERT_EQ(msg.Encode(wire), JexNetMsg::kEncoded);

    auto item = [](char index, const std::string& bytes) {
        std::string out(1, index);
        const size_t n = bytes.size();
        out += static_cast<char>(n & 0xFF);
        out += static_cast<char>((n >> 8) & 0xFF);
        out += static_cast<char>((n >> 16) & 0xFF);
        return out + bytes;
    };
    std::string expected = "S";
    expected += item('A', "");                                      // application
    expected += item('C', std::string(32, 'C'));                    // challenge
    expected += item('D', std::string(64, '\0'));                   // key block
    expected += item('L', "");                                      // language
    expected += item('N', "far");                                   // destination node
    expected += item('P', std::string(1, static_cast<char>(200)));  // priority
    expected += item('S', "acme,beta");                             // source access ids
    expected += item('T', "");                                      // destination access ids
    expected += item('V', "3.14 Exp");                              // version
    expected += item('Y', std::string(1, '\0'));                    // asymmetric
    expected += item('a', "MD5");                                   // authentication
    expected += item('c', "LZW");                                   // compression
    expected += item('e', "NOENCRYPT");                             // encryption
    expected += item('n', "n1");                                    // source node
    expected += item('o', std::string("\1\0\0\0", 4));              // node authentication
    expected += item('t', "Thu, 1 Jan 1998 00:00:00 +0000");        // date
    expected += item('u', "");                                      // source user
    EXPECT_EQ(Bytes(wire), expected);
}

TEST_F(JexSessionTest, KeyBlocks) {
    JexBuffer block;
    JexSession::make_key_block(block);
    EXPECT_EQ(Bytes(block), std::string(64, '\0'));
    EXPECT_EQ(session_->check_key_block(block), 0);
    block.Data()[0] = 'x';  // only the length and the last byte count
    EXPECT_EQ(session_->check_key_block(block), 0);
    // An invalid block tries to tell the peer (there is none here: the send
    // fails) and gives EKEYMISMATCH.
    const struct {
        const char* label;
        std::string bytes;
    } bad[] = {{"63 bytes", std::string(63, '\0')},
               {"65 bytes", std::string(65, '\0')},
               {"last byte set", std::string(63, '\0') + "\1"},
               {"empty", ""}};
    for (const auto& b : bad) {
        JexBuffer k(b.bytes.data(), static_cast<int>(b.bytes.size()));
        EXPECT_EQ(session_->check_key_block(k), JexSession::EKEYMISMATCH) << b.label;
        EXPECT_EQ(session_->Code(), JexSession::EKEYMISMATCH) << b.label;
    }
}

TEST_F(JexSessionTest, CryptoStatusMapsMethodCodes) {
    EXPECT_EQ(JexSession::crypto_status(0), 0);
    EXPECT_EQ(JexSession::crypto_status(JexCrypto::AUTHFAIL), JexSession::AUTHFAIL);
    EXPECT_EQ(JexSession::crypto_status(JexCrypto::FAILURE), JexSession::AUTHFAIL);
    for (int code : {JexCrypto::BADKEY, JexCrypto::NOKEYFILE, JexCrypto::READERR, JexCrypto::K2FAIL,
                     JexCrypto::BADMAGIC})
        EXPECT_EQ(JexSession::crypto_status(code), JexSession::CRYPTOKEYERR) << code;
}

TEST_F(JexSessionTest, UnsupportedOptions) {
    JexSession& s = *session_;
    EXPECT_EQ(s.setup_compress(JexSession::LZW_DYN), JexSession::UNSUPPORTED);
    EXPECT_STREQ(s.FormattedText(0).Text(), "Unsupported compression option: LZW_DYN");
    int value = -1;
    s.GetAttr(JexSession::COMPRESSION, value);
    EXPECT_EQ(value, JexSession::NOCOMP);
    EXPECT_EQ(s.setup_expand(7), JexSession::UNSUPPORTED);
    ASSERT_EQ(s.SetAttr(JexSession::ENCRYPTION, "RC4"), 0);
    EXPECT_EQ(s.setup_encrypt("a", "b"), JexSession::UNSUPPORTED);
    EXPECT_STREQ(s.FormattedText(0).Text(), "Unsupported encryption option: RC4");
    ASSERT_EQ(s.SetAttr(JexSession::AUTHENTICATION, "RSA_MD5"), 0);
    JexFieldedString local("a", ','), remote("b", ',');
    EXPECT_EQ(s.setup_auth(local, remote), JexSession::UNSUPPORTED);
    EXPECT_STREQ(s.FormattedText(0).Text(), "Unsupported authentication option: RSA_MD5");
    EXPECT_EQ(s.CryptoCount(), 0);
}

TEST_F(JexSessionTest, SetupAuthMakesOneMethodPerPair) {
    Key("MD5-A1-S", "k1\n");
    Key("MD5-A2-S", "k2\n");
    JexSession& s = *session_;
    JexFieldedString local("a1,a2", ','), remote("s", ',');
    ASSERT_EQ(s.setup_auth(local, remote), 0) << s.Describe(1).Text();
    ASSERT_EQ(s.CryptoCount(), 2);
    EXPECT_STREQ(s.CryptoMethod(0)->MethodName().Text(), "MD5");
    // The signature block and the CRC stay out of every digest.
    const JexBuffer& mask = s.CryptoMethod(1)->ItemMask();
    EXPECT_NE(mask.Data()[115 / 8] & (1 << (115 % 8)), 0);
    EXPECT_NE(mask.Data()[114 / 8] & (1 << (114 % 8)), 0);

    // A missing key is a key error with the method's error as cause.
    JexFieldedString unknown("zz", ',');
    EXPECT_EQ(s.setup_auth(unknown, remote), JexSession::CRYPTOKEYERR);
    ASSERT_NE(s.Cause(), nullptr);
    EXPECT_EQ(s.Cause()->Code(), JexCrypto::NOKEYFILE);
}

// Two methods chain: the second signs over the first one's signature, and
// the other side checks in the same order only.
TEST_F(JexSessionTest, SignatureChainChecksOnlyInOrder) {
    Key("MD5-A1-S", "k1\n");
    Key("MD5-A2-S", "k2\n");
    JexSession signer, checker, reordered;
    for (JexSession* s : {&signer, &checker, &reordered}) s->SetSuppress(1);
    JexFieldedString ab("a1,a2", ','), ba("a2,a1", ','), server("s", ',');
    ASSERT_EQ(signer.setup_auth(ab, server), 0);
    // The checker holds the same pairs from the other side.
    JexFieldedString s_list("s", ',');
    ASSERT_EQ(checker.setup_auth(s_list, ab), 0);
    ASSERT_EQ(reordered.setup_auth(s_list, ba), 0);

    JexNetMsg msg('S');
    SetItem(msg, 'A', "app");
    JexCrypto* last = signer.sign_msg(msg);
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(last->Code(), 0);
    EXPECT_EQ(last, signer.CryptoMethod(1));
    EXPECT_FALSE(msg[JexSession::kItemScratch].Data());  // scratch item removed
    ASSERT_TRUE(msg['s'].Data());

    JexNetMsg copy = msg;
    copy.Type('S');
    JexCrypto* checked = checker.check_msg(copy);
    ASSERT_NE(checked, nullptr);
    EXPECT_EQ(checked->Code(), 0);
    EXPECT_FALSE(copy[JexSession::kItemScratch].Data());

    JexNetMsg again = msg;
    checked = reordered.check_msg(again);
    ASSERT_NE(checked, nullptr);
    EXPECT_NE(checked->Code(), 0);

    // A changed item fails; so does a signature block that does not decode.
    JexNetMsg altered = msg;
    SetItem(altered, 'A', "apq");
    EXPECT_NE(checker.check_msg(altered)->Code(), 0);
    JexNetMsg garbled = msg;
    SetItem(garbled, 's', "\x01\x02");
    checked = checker.check_msg(garbled);
    ASSERT_NE(checked, nullptr);
    EXPECT_EQ(JexSession::crypto_status(checked->Code()), JexSession::AUTHFAIL);
    // Without any method nothing signs or checks.
    JexSession none;
    EXPECT_EQ(none.sign_msg(msg), nullptr);
    EXPECT_EQ(none.check_msg(msg), nullptr);
}

TEST_F(JexSessionTest, OperationsOutOfStateGiveWrongState) {
    JexSession& s = *session_;
    JexBuffer data("x"), out;
    EXPECT_EQ(s.Accept(data), JexSession::WRONGSTATE);
    EXPECT_STREQ(s.Args()[0].Data(), "JexSession::Accept");
    EXPECT_EQ(s.Reject(data), JexSession::WRONGSTATE);
    EXPECT_EQ(s.Disconnect(), JexSession::WRONGSTATE);
    EXPECT_EQ(s.PutMsg(data, 0), JexSession::WRONGSTATE);
    EXPECT_EQ(s.GetMsg(out, 0), JexSession::WRONGSTATE);
    EXPECT_STREQ(s.Args()[0].Data(), "JexSession::GetMsg");
    EXPECT_EQ(s.State(), JexSession::IDLE);
}

TEST_F(JexSessionTest, ConnectWithoutSourceAccessIdFailsFirst) {
    JexSession& s = *session_;
    JexBuffer data, reply;
    EXPECT_EQ(s.Connect("app", "dst", "node", data, reply), JexSession::NOSRCACID);
    EXPECT_STREQ(s.Args()[0].Data(), "JexSession::Connect");
    JexString text;
    s.GetAttr(JexSession::APPLICATION, text);
    EXPECT_STREQ(text.Text(), "");  // nothing taken from the arguments
    s.GetAttr(JexSession::CRYPTO_SRC_ACID, text);
    EXPECT_STREQ(text.Text(), "");
    EXPECT_EQ(s.State(), JexSession::IDLE);
}

TEST_F(JexSessionTest, ConnectSetUpFailuresComeBeforeTheNetwork) {
    JexSession& s = *session_;
    ASSERT_EQ(s.SetAttr(JexSession::SRC_ACID, "me"), 0);
    ASSERT_EQ(s.SetAttr(JexSession::CRYPTO_SRC_ACID, "preset"), 0);
    ASSERT_EQ(s.SetAttr(JexSession::COMPRESSION, "LZW_DYN"), 0);
    JexBuffer data, reply;
    EXPECT_EQ(s.Connect("app", "dst", "node", data, reply), JexSession::UNSUPPORTED);
    JexString text;
    s.GetAttr(JexSession::CRYPTO_SRC_ACID, text);
    EXPECT_STREQ(text.Text(), "preset");
    s.GetAttr(JexSession::CRYPTO_SRC_NODE, text);
    JexPlatform platform = JexLibraryPlatform();
    EXPECT_STREQ(text.Text(), platform.Field(1).Text());
    // The missing key of the signing pair is found before any connection.
    ASSERT_EQ(s.SetAttr(JexSession::COMPRESSION, "LZW"), 0);
    EXPECT_EQ(s.Connect("app", "dst", "node", data, reply), JexSession::CRYPTOKEYERR);
    EXPECT_EQ(s.State(), JexSession::IDLE);
}

TEST_F(JexSessionTest, DestroyingFreesQueueAndMethods) {
    // Run under the address sanitizer: a leak fails the build's test run.
    Key("MD5-A-B", "k\n");
    JexSession s;
    JexFieldedString a("a", ','), b("b", ',');
    ASSERT_EQ(s.setup_auth(a, b), 0);
    ASSERT_EQ(s.setup_compress(JexSession::LZW), 0);
    ASSERT_EQ(s.setup_expand(JexSession::LZW), 0);
}

TEST_F(JexSessionTest, StateTraceLine) {
    setenv("JEXSESSION_TRACE", "s", 1);
    JexSession s;
    ::testing::internal::CaptureStderr();
    s.set_state(JexSession::RUN);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "\nJexSession State Transition: JexSession::JexSession - IDLE => RUN\n");
    EXPECT_EQ(JexSession::TraceFlags(), JexSession::kTraceState);
}

TEST_F(JexSessionTest, MessageTraceLines) {
    setenv("JEXSESSION_TRACE", "h", 1);
    JexSession s;
    std::ostringstream out;
    s.trace_msg(out, JexNetMsg('S'), "Sending");
    EXPECT_EQ(out.str(), "\nJexSession::JexSession: IDLE, Sending CRSTART\n");
    out.str("");
    s.trace_msg(out, JexNetMsg('D'), "Received");  // DATA needs letter D
    EXPECT_EQ(out.str(), "");
    setenv("JEXSESSION_TRACE", "DP", 1);
    JexSession t;
    JexNetMsg data('D');
    SetItem(data, 'D', "x");
    t.trace_msg(out, data, "Received");
    EXPECT_EQ(out.str().rfind("\nJexSession::JexSession: IDLE, Received DATA\nJexNetMsg Type", 0),
              0u)
        << out.str();
}

TEST_F(JexSessionTest, TestSwitchesWarnAndSetFlags) {
    setenv("JEXSESSION_TEST", "13p", 1);
    ::testing::internal::CaptureStderr();
    JexSession s;
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "\n\n*** WARNING *** JEXSESSION_TEST flags have been enabled\n\n");
    EXPECT_EQ(JexSession::TestFlags(),
              JexSession::kTestAuth1 | JexSession::kTestAuth3 | JexSession::kTestCorrupt);
}

}  // namespace
