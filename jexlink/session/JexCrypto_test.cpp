// Tests of the signing methods: key path and key files, MD5 against md5sum, NULL and PASSWORD,
// failures, attributes and environment.
#include "jexlink/session/JexCrypto.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "testing/support/ChildProcesses.h"
#include "testing/support/JexConfigTestSupport.h"
#include "testing/support/TempDir.h"

namespace {

using tavro::testing::TempDir;
using tavro::testing::WriteFile;

std::string Bytes(const JexBuffer& b) {
    return b.Data() ? std::string(b.Data(), static_cast<size_t>(b.Length())) : std::string();
}

std::string Hex(const JexBuffer& b) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : Bytes(b)) {
        out += kDigits[c >> 4];
        out += kDigits[c & 15];
    }
    return out;
}

void SetItem(JexNetMsg& msg, int i, const std::string& bytes) {
    msg[i] = JexBuffer(bytes.data(), static_cast<int>(bytes.size()));
}

// md5sum's digest of the bytes, as hex.
std::string Md5sum(const TempDir& dir, const std::string& bytes) {
    const std::string file = (dir.Path() / "md5-input").string();
    WriteFile(file, bytes);
    tavro::testing::ChildResult r = tavro::testing::RunChild({"/usr/bin/md5sum", file});
    EXPECT_EQ(r.exitStatus, 0) << r.output;
    return r.output.substr(0, 32);
}

// Each test starts from its own key directory and no K2 identity or hop
// limit; one that changes the installation removes it again.
class JexCryptoTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(keys.Path().empty());
        setenv("JEXCRYPTO_PATH", KeyDir().c_str(), 1);
        unsetenv("JEXCRYPTO_K2_WHOAMI");
        unsetenv("JEXCRYPTO_K2_HOP_LIMIT");
    }

    std::string KeyDir() const { return keys.Path().string(); }
    void Key(const std::string& file, const std::string& content) {
        WriteFile(keys.Path() / file, content);
    }

    static std::unique_ptr<JexCrypto> Method(const char* name, const char* first,
                                             const char* second) {
        return std::unique_ptr<JexCrypto>(JexCrypto::Create(name, first, second, 1));
    }

    // A message with items 1, 7 and 200 present and the signature block
    // (115) and CRC (114) items present too.
    static JexNetMsg Message() {
        JexNetMsg msg('S');
        SetItem(msg, 1, "alpha");
        SetItem(msg, 7, std::string(4, '\0'));
        SetItem(msg, 200, "omega");
        SetItem(msg, 114, "crc!");
        SetItem(msg, 115, "previous signatures");
        return msg;
    }

    TempDir keys{"keys"};
};

// The class's own rows, then the end row; the reserved rows before them are
// checked for every table by testing/TextTables_test.cpp.
TEST(JexCryptoTables, TextTableHoldsEveryRow) {
    struct Row {
        int code;
        const char* name;
        const char* text;
    } rows[] = {
        {0, "JexCrypto::OK", "Operation successful"},
        {1, "JexCrypto::ATTRNOTINT", "Attribute \"%s\" (enum=%d) is not an integer"},
        {2, "JexCrypto::ATTRNOTSTRING", "Attribute \"%s\" (enum=%d) is not a string"},
        {3, "JexCrypto::ATTRREADONLY", "Attribute \"%s\" (enum=%d) is read-only"},
        {4, "JexCrypto::AUTHFAIL", "Authentication failure"},
        {5, "JexCrypto::BADATTR", "Invalid attribute (enum=%2$d) specified"},
        {6, "JexCrypto::BADATTRVALUE", "Invalid \"%s\" (enum=%d) attribute value specified (%s)"},
        {7, "JexCrypto::BADKEY", "Key file %s does not contain a valid key"},
        {8, "JexCrypto::BADMAGIC", "Bad magic number in key file %s"},
        {9, "JexCrypto::CORRUPT", "Corrupt encrypted input"},
        {10, "JexCrypto::FAILURE", "Operation failed"},
        {11, "JexCrypto::K2FAIL", "K2 cryptographic services failure"},
        {12, "JexCrypto::NOKEYFILE", "Key file not found: %s"},
        {13, "JexCrypto::READERR", "Error reading key file %s"},
        {14, "JexCrypto::RSALIBERR", "RSA library error"},
        {-2, "JexException::EXC_END_OF_TEXT_TABLE", nullptr},
    };
    const JexTextRow* table = JexCrypto::kTextTable + 2;
    for (size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(rows[i].name);
        EXPECT_EQ(table[i].code, rows[i].code);
        EXPECT_STREQ(table[i].name, rows[i].name);
        EXPECT_STREQ(table[i].text, rows[i].text);
    }
}

TEST(JexCryptoTables, AttributeNames) {
    struct Case {
        int value;
        const char* name;
    } cases[] = {
        {1, "K2_HOP_COUNT"},      {2, "K2_HOP_LIMIT"},      {3, "K2_SRC_ACID"},
        {4, "K2_SRC_NODE"},       {5, "NODE_AUTH"},         {6, "PATH"},
        {0, "Unknown attribute"}, {7, "Unknown attribute"}, {-1, "Unknown attribute"},
    };
    for (const Case& c : cases) EXPECT_STREQ(JexCrypto::AttributeName(c.value), c.name) << c.value;
}

TEST(JexCryptoTables, MethodsAreMadeByName) {
    struct Case {
        const char* name;
        const char* method;  // null: no such method
    } cases[] = {
        {"NULL", "NULL"}, {"md5", "MD5"},     {"Password", "PASSWORD"}, {"RSA", nullptr},
        {"", nullptr},    {nullptr, nullptr}, {"<none>", nullptr},
    };
    for (const Case& c : cases) {
        std::unique_ptr<JexCrypto> m(JexCrypto::Create(c.name, "a", "b", 1));
        if (!c.method) {
            EXPECT_EQ(m, nullptr) << (c.name ? c.name : "(null)");
            continue;
        }
        ASSERT_NE(m, nullptr) << c.name;
        EXPECT_STREQ(m->MethodName().Text(), c.method);
        EXPECT_EQ(m->Code(), JexCrypto::OK);
        EXPECT_EQ(m->Suppress(), 1);
    }
}

// The signature is MD5 of the key (normalised and padded) followed by the
// unmasked present items in ascending order, whatever computes it.
TEST_F(JexCryptoTest, Md5SignatureEqualsMd5sumOfKeyAndItems) {
    Key("MD5-NORTH-SOUTH", "Secret more words\r\n");
    auto north = Method("MD5", "north", "south");
    ASSERT_EQ(north->Init(), 0) << north->DescribeFirstRealError(1).Text();
    north->MaskItem(115);
    north->MaskItem(114);

    JexNetMsg msg = Message();
    SetItem(msg, 3, std::string(1 << 20, 'x'));  // a large item
    JexBuffer sig;
    ASSERT_EQ(north->Sign(msg, sig), 0);
    const std::string key("secret\0\0", 8);
    EXPECT_EQ(Hex(sig), Md5sum(keys, key + "alpha" + std::string(1 << 20, 'x') +
                                         std::string(4, '\0') + "omega"));

    // The other party finds the same shared key under its check file name.
    auto south = Method("MD5", "SOUTH", "NORTH");
    ASSERT_EQ(south->Init(), 0);
    south->MaskItem(115);
    south->MaskItem(114);
    EXPECT_EQ(south->Check(msg, sig), 0);
}

TEST_F(JexCryptoTest, Md5MaskedAndAbsentItemsContributeNothing) {
    Key("MD5-NORTH-SOUTH", "k\n");
    auto m = Method("MD5", "north", "south");
    ASSERT_EQ(m->Init(), 0);
    m->MaskItem(115);

    JexNetMsg base = Message();
    JexBuffer expected;
    ASSERT_EQ(m->Sign(base, expected), 0);

    struct Case {
        const char* label;
        int item;
        const char* bytes;  // null: remove the item
        bool same;
    } cases[] = {
        {"masked item changed", 115, "other", true},
        {"masked item removed", 115, nullptr, true},
        {"absent item present but empty", 50, "", true},
        {"unmasked item changed", 200, "omegA", false},
        {"unmasked item removed", 114, nullptr, false},
        {"unmasked item added", 50, "x", false},
    };
    for (const Case& c : cases) {
        JexNetMsg msg = Message();
        if (c.bytes)
            SetItem(msg, c.item, c.bytes);
        else
            msg[c.item].Free();
        JexBuffer sig;
        ASSERT_EQ(m->Sign(msg, sig), 0) << c.label;
        EXPECT_EQ(Bytes(sig) == Bytes(expected), c.same) << c.label;
        EXPECT_EQ(m->Check(msg, expected), c.same ? 0 : JexCrypto::AUTHFAIL) << c.label;
    }
}

// With an empty key the digest is plain MD5 of the items: RFC 1321's suite.
TEST_F(JexCryptoTest, Md5WithEmptyKeyGivesRfc1321Digests) {
    Key("MD5-A-B", "\nignored second line\n");
    auto m = Method("MD5", "a", "b");
    ASSERT_EQ(m->Init(), 0);
    struct Case {
        const char* text;
        const char* md5;
    } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {nullptr, "57edf4a22be3c955ac49da2e2107b67a"},  // "1234567890" eight times
    };
    for (const Case& c : cases) {
        std::string text = c.text ? c.text : "";
        if (!c.text)
            for (int i = 0; i < 8; ++i) text += "1234567890";
        JexNetMsg msg(1);
        SetItem(msg, 9, text);
        JexBuffer sig;
        ASSERT_EQ(m->Sign(msg, sig), 0);
        EXPECT_EQ(Hex(sig), c.md5) << text;
    }
}

TEST_F(JexCryptoTest, NullSignsEmptyAndAcceptsOnlyEmpty) {
    Key("NULL-NORTH-SOUTH", "unused\n");
    auto m = Method("NULL", "north", "south");
    ASSERT_EQ(m->Init(), 0);
    JexNetMsg msg = Message();
    JexBuffer sig("stale");
    ASSERT_EQ(m->Sign(msg, sig), 0);
    EXPECT_EQ(sig.Length(), 0);
    EXPECT_EQ(m->Check(msg, JexBuffer()), 0);
    EXPECT_EQ(m->Check(msg, JexBuffer("x")), JexCrypto::AUTHFAIL);
}

TEST_F(JexCryptoTest, PasswordSignatureIsTheKeyAndNeedsBothFiles) {
    Key("PASSWORD-NORTH-SOUTH", "OpenSesame\n");
    auto m = Method("PASSWORD", "north", "south");
    EXPECT_EQ(m->Init(), JexCrypto::NOKEYFILE);  // the check file is missing
    EXPECT_STREQ(m->Args()[1].Data(), (KeyDir() + "/PASSWORD-SOUTH-NORTH").c_str());

    Key("PASSWORD-SOUTH-NORTH", "OpenSesame\n");
    ASSERT_EQ(m->Init(), 0);
    JexBuffer sig;
    ASSERT_EQ(m->Sign(Message(), sig), 0);
    EXPECT_EQ(Bytes(sig), std::string("opensesame\0\0\0\0\0\0", 16));
    EXPECT_EQ(m->Check(Message(), sig), 0);
    EXPECT_EQ(m->Check(Message(), JexBuffer("opensesame")), JexCrypto::AUTHFAIL);
}

// A signature is refused for the wrong key, a changed item and a cut or
// empty signature, for each method that signs with a key.
TEST_F(JexCryptoTest, CheckRefusesWrongKeyTamperedItemAndCutSignature) {
    TempDir other("otherkeys");
    for (const char* method : {"MD5", "PASSWORD"}) {
        SCOPED_TRACE(method);
        for (const char* file : {"-NORTH-SOUTH", "-SOUTH-NORTH"}) {
            Key(std::string(method) + file, "right\n");
            WriteFile(other.Path() / (std::string(method) + file), "wrong\n");
        }
        auto signer = Method(method, "north", "south");
        ASSERT_EQ(signer->Init(), 0);
        JexNetMsg msg = Message();
        JexBuffer sig;
        ASSERT_EQ(signer->Sign(msg, sig), 0);

        auto checker = Method(method, "south", "north");
        ASSERT_EQ(checker->Init(), 0);
        EXPECT_EQ(checker->Check(msg, sig), 0);
        JexNetMsg tampered = Message();
        SetItem(tampered, 1, "alphA");
        if (std::string(method) == "MD5") {
            EXPECT_EQ(checker->Check(tampered, sig), JexCrypto::AUTHFAIL);
        }
        JexBuffer cut(sig.Data(), sig.Length() - 1);
        EXPECT_EQ(checker->Check(msg, cut), JexCrypto::AUTHFAIL);
        EXPECT_EQ(checker->Check(msg, JexBuffer()), JexCrypto::AUTHFAIL);
        EXPECT_EQ(checker->Code(), JexCrypto::AUTHFAIL);

        auto wrong = Method(method, "south", "north");
        ASSERT_EQ(wrong->SetAttr(JexCrypto::PATH, JexString(other.Path().c_str())), 0);
        ASSERT_EQ(wrong->Init(), 0);
        EXPECT_EQ(wrong->Check(msg, sig), JexCrypto::AUTHFAIL);
    }
}

// The signature may be written into an item of the message it signs, when
// the mask leaves that item out.
TEST_F(JexCryptoTest, SignatureIntoAMaskedItemOfTheSameMessage) {
    Key("MD5-NORTH-SOUTH", "k\n");
    auto m = Method("MD5", "north", "south");
    ASSERT_EQ(m->Init(), 0);
    m->MaskItem(115);
    JexNetMsg msg = Message();
    JexBuffer apart;
    ASSERT_EQ(m->Sign(msg, apart), 0);
    ASSERT_EQ(m->Sign(msg, msg[115]), 0);
    EXPECT_EQ(Bytes(msg[115]), Bytes(apart));
    EXPECT_EQ(m->Check(msg, msg[115]), 0);
}

TEST_F(JexCryptoTest, MissingKeyFileGivesNoKeyFileAndNothingSigns) {
    auto m = Method("MD5", "north", "south");
    EXPECT_EQ(m->Init(), JexCrypto::NOKEYFILE);
    EXPECT_STREQ(m->Args()[0].Data(),
                 "JexCrypto::get_key(const JexString &, const JexString &, JexBuffer &)");
    EXPECT_STREQ(m->Args()[1].Data(), (KeyDir() + "/MD5-SOUTH-NORTH").c_str());
    ASSERT_NE(m->Cause(), nullptr);
    EXPECT_EQ(m->Cause()->Code(), ENOENT);

    // Without keys nothing is signed or accepted, not even over an empty key.
    JexBuffer sig;
    EXPECT_EQ(m->Sign(Message(), sig), JexCrypto::FAILURE);
    EXPECT_EQ(m->Check(Message(), sig), JexCrypto::FAILURE);
}

// A party name that would lead out of the key directory opens nothing,
// even where the file it points at exists.
TEST_F(JexCryptoTest, NamesThatLeaveTheKeyDirectoryAreRefused) {
    const std::string inner = KeyDir() + "/inner";
    ASSERT_EQ(mkdir(inner.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((inner + "/MD5-").c_str(), 0700), 0);
    Key("OUTSIDE-SOUTH", "stolen\n");  // inner/MD5-/../../OUTSIDE-SOUTH
    setenv("JEXCRYPTO_PATH", inner.c_str(), 1);
    struct Case {
        const char* label;
        std::string first;
        std::string second;
    } cases[] = {
        {"parent directory", "/../../OUTSIDE", "SOUTH"},
        {"dot dot", "..", "SOUTH"},
        {"slash", "a/b", "SOUTH"},
        {"backslash", "a\\b", "SOUTH"},
        {"NUL", std::string("NORTH\0/x", 8), "SOUTH"},
        {"second name", "NORTH", "/../../x"},
    };
    for (const Case& c : cases) {
        JexMd5Crypto m(JexString::FromBytes(c.first.data(), static_cast<int>(c.first.size())),
                       JexString::FromBytes(c.second.data(), static_cast<int>(c.second.size())), 1);
        EXPECT_EQ(m.Init(), JexCrypto::NOKEYFILE) << c.label;
        JexBuffer sig;
        EXPECT_EQ(m.Sign(Message(), sig), JexCrypto::FAILURE) << c.label;
    }
}

TEST_F(JexCryptoTest, KeyPathEntriesAreTriedInOrder) {
    TempDir empty("nokeys");
    Key("MD5-NORTH-SOUTH", "k\n");
    const std::string none = empty.Path().string();
    struct Case {
        std::string path;
        int code;
        std::string lastArg;  // argument 1 of the error left, if any
    } cases[] = {
        {none + ";" + KeyDir(), 0, ""},
        {";;" + KeyDir() + "/;", 0, ""},
        {KeyDir() + ";" + none, 0, ""},
        {"", JexCrypto::FAILURE, ""},
        {";;;", JexCrypto::FAILURE, ""},
        {none, JexCrypto::NOKEYFILE, none + "/MD5-SOUTH-NORTH"},
        {none + "/", JexCrypto::NOKEYFILE, none + "/MD5-SOUTH-NORTH"},
        {none + "\\", JexCrypto::NOKEYFILE, none + "\\MD5-SOUTH-NORTH"},
        {"MD5@ACID/NODE", JexCrypto::K2FAIL, ""},
        {"MD5@ACID/NODE;" + KeyDir(), 0, ""},
        {none + ";MD5@ACID/NODE", JexCrypto::K2FAIL, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        auto m = Method("MD5", "north", "south");
        ASSERT_EQ(m->SetAttr(JexCrypto::PATH, JexString(c.path.c_str())), 0);
        EXPECT_EQ(m->Init(), c.code);
        EXPECT_EQ(m->Code(), c.code);
        if (!c.lastArg.empty()) {
            EXPECT_STREQ(m->Args()[1].Data(), c.lastArg.c_str());
        }
    }
}

// A K2 entry names the methods to relay and the server; with no method
// named it could only sign with nothing, and is refused on its own.
TEST_F(JexCryptoTest, K2EntryWithoutMethodsIsRefused) {
    struct Case {
        const char* entry;
        const char* origin;
    } cases[] = {
        {"@ACID/NODE", "JexCrypto::setup_k2: method"},
        {"@@ACID/NODE", "JexCrypto::setup_k2: method"},
        {"MD5@ACID/NODE", "JexCrypto::setup_k2"},
        {"@MD5@ACID/NODE", "JexCrypto::setup_k2"},
        // A name the K2 session takes neither as encryption nor as authentication.
        {"BOGUS@ACID/NODE", "JexCrypto::setup_k2: method"},
    };
    for (const Case& c : cases) {
        auto m = Method("MD5", "north", "south");
        ASSERT_EQ(m->SetAttr(JexCrypto::PATH, JexString(c.entry)), 0);
        EXPECT_EQ(m->Init(), JexCrypto::K2FAIL) << c.entry;
        EXPECT_STREQ(m->Args()[0].Data(), c.origin) << c.entry;
    }
}

// Sets a file's modification time an hour back (or to `when`): key files
// are then older than the moments in which a write may leave no trace in
// their times, and a process keeps what it read from them.
timespec Age(const std::filesystem::path& file, const timespec* when = nullptr) {
    timespec times[2] = {{0, UTIME_OMIT}, {0, 0}};
    if (when) {
        times[1] = *when;
    } else {
        clock_gettime(CLOCK_REALTIME, &times[1]);
        times[1].tv_sec -= 3600;
    }
    EXPECT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0) << file;
    return times[1];
}

// A key file is read again whenever it or its directory changes, even when
// its size and modification time are set back to what they were: every
// Init signs with the key the file holds at that moment.
TEST_F(JexCryptoTest, KeysKeptByTheProcessFollowTheirFiles) {
    const std::filesystem::path file = keys.Path() / "MD5-NORTH-SOUTH";
    auto signature = [this]() {
        auto m = Method("MD5", "north", "south");
        JexBuffer sig;
        if (m->Init() != 0 || m->Sign(Message(), sig) != 0) return std::string("no key");
        return Hex(sig);
    };
    auto signatureWith = [&](const std::string& key) {
        TempDir other("other-keys");
        WriteFile(other.Path() / "MD5-NORTH-SOUTH", key);
        setenv("JEXCRYPTO_PATH", other.Path().c_str(), 1);
        const std::string sig = signature();
        setenv("JEXCRYPTO_PATH", KeyDir().c_str(), 1);
        return sig;
    };

    EXPECT_EQ(signature(), "no key");
    Key("MD5-NORTH-SOUTH", "alpha\n");
    const timespec old = Age(file);
    Age(keys.Path());
    const std::string alpha = signatureWith("alpha\n");
    EXPECT_EQ(signature(), alpha);
    EXPECT_EQ(signature(), alpha);  // from what the process kept

    Key("MD5-NORTH-SOUTH", "bravo-key\n");  // a new size and time
    EXPECT_EQ(signature(), signatureWith("bravo-key\n"));

    Key("MD5-NORTH-SOUTH", "alpha\n");
    Age(file, &old);
    EXPECT_EQ(signature(), alpha);
    Key("MD5-NORTH-SOUTH", "omega\n");  // the same size and, set back, the same time
    Age(file, &old);
    EXPECT_NE(signature(), alpha);
    EXPECT_EQ(signature(), signatureWith("omega\n"));

    // Absent, kept as absent; a file then made under another spelling is
    // found.
    auto east = [this]() { return Method("MD5", "east", "west")->Init(); };
    Age(keys.Path());
    EXPECT_EQ(east(), JexCrypto::NOKEYFILE);
    EXPECT_EQ(east(), JexCrypto::NOKEYFILE);
    Key("md5-east-west", "k\n");
    EXPECT_EQ(east(), 0);
    std::filesystem::remove(keys.Path() / "md5-east-west");
    EXPECT_EQ(east(), JexCrypto::NOKEYFILE);
}

TEST_F(JexCryptoTest, KeyFileFoundRegardlessOfCase) {
    Key("md5-north-south", "k\n");
    auto m = Method("MD5", "North", "South");
    EXPECT_EQ(m->Init(), 0);
}

// Some settings spell the key directory "Keys", others "keys": a path that
// names it in the other case still finds it.
TEST_F(JexCryptoTest, KeyDirectoryFoundRegardlessOfCase) {
    TempDir tree("tree");
    std::filesystem::create_directory(tree.Path() / "Keys");
    WriteFile(tree.Path() / "Keys" / "MD5-NORTH-SOUTH", "k\n");
    WriteFile(tree.Path() / "Keys" / "MD5-SOUTH-NORTH", "k\n");
    for (const char* path : {"/keys", "/keys/", "/KEYS", "/Keys"}) {
        SCOPED_TRACE(path);
        auto m = Method("MD5", "north", "south");
        const std::string entry = tree.Path().string() + path;
        ASSERT_EQ(m->SetAttr(JexCrypto::PATH, JexString(entry.c_str())), 0);
        EXPECT_EQ(m->Init(), 0);
    }
}

// A method whose K2 set-up only counts its calls and runs a probe, standing
// in for a K2 client whose own session authenticates through Init again.
class ProbeK2Crypto : public JexMd5Crypto {
public:
    ProbeK2Crypto() : JexMd5Crypto("north", "south", 1) {
        SetAttr(PATH, JexString("MD5@ACID/NODE"));
    }
    std::function<void()> during;
    std::atomic<int> calls{0};

protected:
    int setup_k2(const JexString&) override {
        ++calls;
        if (during) during();
        return ExcSet(OK);
    }
};

TEST_F(JexCryptoTest, NestedK2SetupOnTheSameThreadSkipsK2Entries) {
    ProbeK2Crypto outer;
    int innerResult = -1, innerCalls = -1;
    outer.during = [&] {
        ProbeK2Crypto inner;
        innerResult = inner.Init();
        innerCalls = inner.calls;
    };
    EXPECT_EQ(outer.Init(), 0);
    EXPECT_EQ(outer.calls, 1);
    EXPECT_EQ(innerCalls, 0);
    EXPECT_EQ(innerResult, JexCrypto::FAILURE);  // only a skipped entry: nothing changed the code

    ProbeK2Crypto after;  // the depth is back to 0
    EXPECT_EQ(after.Init(), 0);
    EXPECT_EQ(after.calls, 1);
}

TEST_F(JexCryptoTest, K2SetupOfAnotherThreadWaitsForTheRunningOne) {
    ProbeK2Crypto outer, other;
    std::atomic<bool> outerBusy{false};
    std::atomic<bool> overlapped{false};
    other.during = [&] { overlapped = outerBusy.load(); };
    std::thread t;
    outer.during = [&] {
        outerBusy = true;
        t = std::thread([&] { other.Init(); });
        // Long enough for the other thread to reach its set-up were it not held.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        outerBusy = false;
    };
    EXPECT_EQ(outer.Init(), 0);
    t.join();
    EXPECT_EQ(other.calls, 1);  // not skipped: it ran after the first set-up had ended
    EXPECT_FALSE(overlapped);
}

// The base class has no method: it neither loads keys nor signs.
TEST_F(JexCryptoTest, NoMethodNeverSignsOrChecks) {
    Key("<none>-NORTH-SOUTH", "k\n");
    JexCrypto m("north", "south", 1);
    EXPECT_STREQ(m.MethodName().Text(), "<none>");
    EXPECT_EQ(m.Init(), JexCrypto::FAILURE);
    JexBuffer sig;
    EXPECT_EQ(m.Sign(Message(), sig), JexCrypto::FAILURE);
    EXPECT_EQ(m.Check(Message(), sig), JexCrypto::FAILURE);
}

TEST_F(JexCryptoTest, FailedInitWithoutSuppressEndsTheProcess) {
    JexMd5Crypto m("north", "south", 0);
    EXPECT_EXIT(m.Init(), ::testing::ExitedWithCode(1), "Key file not found");
}

// Each attribute works in its own kind only; the error names the
// attribute and its number.
TEST_F(JexCryptoTest, AttributesOfTheWrongKindOrUnknownAreRefused) {
    struct Case {
        int attribute;
        int asInt;     // code of GetAttr and SetAttr in the integer form
        int asString;  // code of both in the string form
    } cases[] = {
        {JexCrypto::K2_HOP_COUNT, 0, JexCrypto::ATTRNOTSTRING},
        {JexCrypto::K2_HOP_LIMIT, 0, JexCrypto::ATTRNOTSTRING},
        {JexCrypto::K2_SRC_ACID, JexCrypto::ATTRNOTINT, 0},
        {JexCrypto::K2_SRC_NODE, JexCrypto::ATTRNOTINT, 0},
        {JexCrypto::NODE_AUTH, 0, JexCrypto::ATTRNOTSTRING},
        {JexCrypto::PATH, JexCrypto::ATTRNOTINT, 0},
        {0, JexCrypto::BADATTR, JexCrypto::BADATTR},
        {7, JexCrypto::BADATTR, JexCrypto::BADATTR},
        {-1, JexCrypto::BADATTR, JexCrypto::BADATTR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.attribute);
        const auto a = static_cast<JexCrypto::Attribute>(c.attribute);
        JexMd5Crypto m("north", "south", 1);
        int number = 0;
        JexString text;
        EXPECT_EQ(m.SetAttr(a, 42), c.asInt);
        EXPECT_EQ(m.GetAttr(a, number), c.asInt);
        if (c.asInt == 0) {
            EXPECT_EQ(number, 42);
        }
        EXPECT_EQ(m.SetAttr(a, JexString("v1;v2")), c.asString);
        EXPECT_EQ(m.GetAttr(a, text), c.asString);
        if (c.asString == 0) {
            EXPECT_STREQ(text.Text(), "v1;v2");
        }
        if (c.asString != 0) {
            EXPECT_STREQ(m.Args()[1].Data(), JexCrypto::AttributeName(c.attribute));
            EXPECT_EQ(m.Args()[2].GetLong(), c.attribute);
        }
    }
}

TEST_F(JexCryptoTest, ErrorTextsNameTheAttribute) {
    JexMd5Crypto m("north", "south", 1);
    int v = 0;
    m.GetAttr(static_cast<JexCrypto::Attribute>(7), v);
    EXPECT_STREQ(m.FormattedText(0).Text(), "Invalid attribute (enum=7) specified");
    m.SetAttr(JexCrypto::K2_HOP_LIMIT, JexString("3"));
    EXPECT_STREQ(m.FormattedText(0).Text(), "Attribute \"K2_HOP_LIMIT\" (enum=2) is not a string");
}

TEST_F(JexCryptoTest, EnvironmentSetsHopLimitIdentityAndPath) {
    struct Case {
        const char* hopLimit;  // null: unset
        int expected;
    } limits[] = {
        {nullptr, 1}, {"10", 10}, {"010", 8}, {"0x10", 16}, {"0X1f", 31},
        {"-3", -3},   {"", 1},    {"abc", 1}, {"12abc", 1}, {"99999999999", 1},
    };
    for (const Case& c : limits) {
        if (c.hopLimit)
            setenv("JEXCRYPTO_K2_HOP_LIMIT", c.hopLimit, 1);
        else
            unsetenv("JEXCRYPTO_K2_HOP_LIMIT");
        JexMd5Crypto m("a", "b", 1);
        int limit = 0, count = -1;
        EXPECT_EQ(m.GetAttr(JexCrypto::K2_HOP_LIMIT, limit), 0);
        EXPECT_EQ(limit, c.expected) << (c.hopLimit ? c.hopLimit : "(unset)");
        EXPECT_EQ(m.GetAttr(JexCrypto::K2_HOP_COUNT, count), 0);
        EXPECT_EQ(count, 0);
    }

    struct Who {
        const char* whoami;
        const char* acid;
        const char* node;
    } whos[] = {
        {nullptr, "", ""},     {"ACID/NODE", "ACID", "NODE"}, {"ACID", "ACID", ""},
        {"/NODE", "", "NODE"}, {"A/B/C", "A", "B"},
    };
    for (const Who& w : whos) {
        if (w.whoami)
            setenv("JEXCRYPTO_K2_WHOAMI", w.whoami, 1);
        else
            unsetenv("JEXCRYPTO_K2_WHOAMI");
        JexMd5Crypto m("a", "b", 1);
        JexString acid, node;
        m.GetAttr(JexCrypto::K2_SRC_ACID, acid);
        m.GetAttr(JexCrypto::K2_SRC_NODE, node);
        EXPECT_STREQ(acid.Text(), w.acid) << (w.whoami ? w.whoami : "(unset)");
        EXPECT_STREQ(node.Text(), w.node) << (w.whoami ? w.whoami : "(unset)");
    }

    struct Path {
        const char* env;
        const char* path;
    } paths[] = {
        {"/a/keys;/b/keys\\", "/a/keys;/b/keys\\"},
        {"", ""},
        {nullptr, "/Program Files/Ferrand/JEXlink/keys"},
    };
    for (const Path& p : paths) {
        if (p.env)
            setenv("JEXCRYPTO_PATH", p.env, 1);
        else
            unsetenv("JEXCRYPTO_PATH");
        JexMd5Crypto m("a", "b", 1);
        JexString path;
        EXPECT_EQ(m.GetAttr(JexCrypto::PATH, path), 0);
        EXPECT_STREQ(path.Text(), p.path);
    }
}

// Without JEXCRYPTO_PATH the keys lie in the installation's "keys" directory.
TEST_F(JexCryptoTest, DefaultKeyPathIsUnderTheInstallation) {
    unsetenv("JEXCRYPTO_PATH");
    struct Case {
        const char* installation;
        const char* path;
    } cases[] = {
        {"/opt/jexlink/", "/opt/jexlink/keys"},
        {"/opt/jexlink", "/opt/jexlink/keys"},
        {"\\opt\\jexlink\\", "/opt/jexlink/keys"},
    };
    for (const Case& c : cases) {
        const std::string value = std::string(c.installation) + '\0';
        ASSERT_TRUE(
            tavro::testing::WriteValue(tavro::testing::kInstallPlace, "Path", REG_SZ, value));
        JexMd5Crypto m("a", "b", 1);
        JexString path;
        EXPECT_EQ(m.GetAttr(JexCrypto::PATH, path), 0);
        EXPECT_STREQ(path.Text(), c.path) << c.installation;
    }
    EXPECT_TRUE(tavro::testing::DeleteValue(tavro::testing::kInstallPlace, "Path"));
}

TEST_F(JexCryptoTest, ItemMaskBitsAreLeastSignificantFirst) {
    JexMd5Crypto m("a", "b", 1);
    ASSERT_EQ(m.ItemMask().Length(), 32);
    EXPECT_EQ(Bytes(m.ItemMask()), std::string(32, '\0'));
    for (int item : {0, 114, 115, 255, -1, 256}) m.MaskItem(item);
    std::string expected(32, '\0');
    expected[0] = 0x01;
    expected[14] = 0x0C;  // items 114 and 115: bits 2 and 3 of byte 14
    expected[31] = static_cast<char>(0x80);
    EXPECT_EQ(Bytes(m.ItemMask()), expected);
}

}  // namespace
