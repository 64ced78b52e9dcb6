// Tests of transportable images: messages and error chains through net messages and back.
#include "jexlink/messages/JexTIE.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "jexlink/messages/JexMsg.h"
#include "testing/support/MessagesTestSupport.h"

namespace {

using tavro::testing::CatalogDir;

// A class of another node, whose code names the receiver's JexMsg does not know.
#define REMOTE_TEXTS(JEX_TEXT)                 \
    JEX_TEXT(0, OK, "Fine")                    \
    JEX_TEXT(1, WEEDS, "Weeds grow at %1$d%%") \
    JEX_TEXT(2, ROCKS, "Rocks in %1$s")
#define JEX_TEXT_CLASS JexRemote
const JexTextRow kRemoteTable[] = JEX_TEXT_TABLE(REMOTE_TEXTS);
#undef JEX_TEXT_CLASS

class JexRemote : public JexException {
public:
    enum : int { REMOTE_TEXTS(JEX_TEXT_CODE) };
    JexRemote() : JexException(kRemoteTable, "JexRemote") { SetSuppress(1); }
};

struct Link {
    std::string name;
    std::string text;
};

// The error and its causes, outermost first, as (code name, formatted text).
std::vector<Link> ChainOf(JexException& error) {
    std::vector<Link> links;
    for (JexException* link = &error; link; link = link->Cause()) {
        JexString name;
        link->CodeName(name);
        links.push_back({name.Text(), link->FormattedText(0).Text()});
    }
    return links;
}

void ExpectChain(JexException& error, const std::vector<Link>& expected) {
    const std::vector<Link> links = ChainOf(error);
    ASSERT_EQ(links.size(), expected.size());
    for (size_t i = 0; i < links.size(); ++i) {
        EXPECT_EQ(links[i].name, expected[i].name) << i;
        EXPECT_EQ(links[i].text, expected[i].text) << i;
    }
}

// A net message as it crosses the wire.
JexNetMsg Transmit(const JexNetMsg& msg) {
    JexBuffer wire;
    EXPECT_EQ(msg.Encode(wire), JexNetMsg::kEncoded);
    JexNetMsg received;
    received.Decode(wire);
    EXPECT_FALSE(received.Corrupt());
    return received;
}

const Link kSyntax{"JexMsg::CLISYNTAX", "Command syntax error."};
const Link kOpen{"JexMsg::OPENERR", "Error 2 while opening file x."};
const Link kConn{"JexMsg::CONNFAIL", "Connection to target failed."};
const Link kEarlier{"JexMsg::INVCMD", "Invalid command: cmd"};

TEST(JexTIEException, ChainsOfThreeSurviveEveryFlagPair) {
    JexMsg inner(JexMsg::CONNFAIL, JexExcArgs("connect"));
    JexMsg middle(JexMsg::OPENERR, JexExcArgs("open", 2, "x"), &inner);
    JexMsg outer(JexMsg::CLISYNTAX, JexExcArgs("parse"), &middle);
    JexNetMsg msg('R');
    msg['A'] = JexBuffer("caller's own item");
    ASSERT_EQ(JexTIELoadException(outer, msg), 1);
    EXPECT_TRUE(msg['A'] == "caller's own item");
    const JexNetMsg received = Transmit(msg);

    struct Case {
        int replace;
        int mode;
        std::vector<Link> chain;
    } cases[] = {
        {1, 0, {kSyntax, kOpen, kConn}},
        {0, 0, {kSyntax, kOpen, kConn, kEarlier}},
        {1, 1, {kEarlier, kSyntax, kOpen, kConn}},
        {0, 1, {kEarlier, kSyntax, kOpen, kConn}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("replace " + std::to_string(c.replace) + " mode " + std::to_string(c.mode));
        JexMsg target(JexMsg::INVCMD, JexExcArgs("here", "cmd"));
        EXPECT_EQ(JexTIEUnloadException(received, target, c.replace, c.mode), 1);
        ExpectChain(target, c.chain);
        // Every unloaded error says where it came from and keeps its arguments.
        for (JexException* link = &target; link; link = link->Cause()) {
            if (link->Code() == JexMsg::INVCMD) continue;
            EXPECT_TRUE(link->Args()[0] == "remote exception");
        }
    }
}

TEST(JexTIEException, ImageItemsHoldNameTextArgumentsAndCause) {
    JexMsg inner(JexMsg::CONNFAIL, JexExcArgs("connect"));
    JexMsg outer(JexMsg::OPENERR, JexExcArgs("open", 2, "x"), &inner);
    JexNetMsg msg('R');
    msg[kTieItemCause] = JexBuffer("stale");
    JexTIELoadException(inner, msg);
    EXPECT_EQ(msg[kTieItemCause].Data(), nullptr);  // no cause: item 58 empty

    JexTIELoadException(outer, msg);
    EXPECT_TRUE(msg[kTieItemName] == "JexMsg::OPENERR");
    EXPECT_TRUE(msg[kTieItemText] == "Error 2 while opening file x.");
    EXPECT_EQ(msg[kTieItemFirstArg].GetLong(), 2);
    EXPECT_TRUE(msg[kTieItemFirstArg + 1] == "x");
    JexNetMsg nested;
    nested.Decode(msg[kTieItemCause]);
    EXPECT_FALSE(nested.Corrupt());
    EXPECT_EQ(nested.Type(), 'R');
    EXPECT_TRUE(nested[kTieItemName] == "JexMsg::CONNFAIL");
    EXPECT_EQ(nested[kTieItemCause].Data(), nullptr);
}

TEST(JexTIEException, UnknownCodeNamesBecomeExternalMessages) {
    JexRemote rocks;
    rocks.ExcSet(JexRemote::ROCKS, JexExcArgs("dig", "the garden"));
    JexRemote weeds;
    weeds.ExcSet(JexRemote::WEEDS, JexExcArgs("grow", 50), &rocks);
    JexNetMsg msg('R');
    JexTIELoadException(weeds, msg);

    // Mode 0: both texts stay their own, though both are external messages.
    JexMsg target;
    JexTIEUnloadException(Transmit(msg), target, 1, 0);
    EXPECT_EQ(target.Code(), JexException::kExternalMessage);
    EXPECT_STREQ(target.FormattedText(1).Text(), "JexRemote::WEEDS, Weeds grow at 50%");
    ExpectChain(target, {{"JexRemote::WEEDS", "Weeds grow at 50%"},
                         {"JexRemote::ROCKS", "Rocks in the garden"}});

    JexMsg below(JexMsg::INVCMD, JexExcArgs("here", "cmd"));
    JexTIEUnloadException(Transmit(msg), below, 0, 1);
    ExpectChain(below, {kEarlier,
                        {"JexRemote::WEEDS", "Weeds grow at 50%"},
                        {"JexRemote::ROCKS", "Rocks in the garden"}});

    // The external-message row's own name carries no text of its own.
    JexNetMsg external('R');
    external[kTieItemName] = JexBuffer("JexException::EXC_EXTERNAL_MESSAGE");
    external[kTieItemText] = JexBuffer("from afar");
    JexMsg named;
    JexTIEUnloadException(external, named, 1, 0);
    EXPECT_STREQ(named.FormattedText(1).Text(), "JexException::EXC_EXTERNAL_MESSAGE, from afar");
}

TEST(JexTIEException, ImagesWithoutNameOrWithBrokenCausesStopTheChain) {
    JexNetMsg noName('R');
    noName[kTieItemText] = JexBuffer("text");
    JexMsg untouched(JexMsg::INVCMD, JexExcArgs("here", "cmd"));
    EXPECT_EQ(JexTIEUnloadException(noName, untouched, 1, 0), 1);
    ExpectChain(untouched, {kEarlier});

    JexNetMsg broken('R');
    broken[kTieItemName] = JexBuffer("JexMsg::CONNFAIL");
    broken[kTieItemCause] = JexBuffer("\x01\x2f\xff\xff");  // item 47 runs past the end
    for (int mode : {0, 1}) {
        JexMsg target(JexMsg::INVCMD, JexExcArgs("here", "cmd"));
        JexTIEUnloadException(broken, target, 1, mode);
        // Mode 0: item 58 was not empty, so the earlier error stays beneath.
        if (mode == 0)
            ExpectChain(target, {kConn, kEarlier});
        else
            ExpectChain(target, {kEarlier, kConn});
    }
}

// The wire form of an image nested `depth` deep, built in one pass: each
// level is a type byte, item 47 "X" and item 58 holding the next level.
JexBuffer DeepImage(int depth) {
    std::vector<size_t> sizes(static_cast<size_t>(depth));
    sizes[static_cast<size_t>(depth - 1)] = 6;
    for (int i = depth - 2; i >= 0; --i)
        sizes[static_cast<size_t>(i)] = 10 + sizes[static_cast<size_t>(i) + 1];
    std::string wire;
    wire.reserve(sizes[0]);
    for (int i = 0; i < depth; ++i) {
        wire += 'R';
        wire += '\x2f';
        wire += std::string("\x01\x00\x00", 3);
        wire += 'X';
        if (i == depth - 1) break;
        const size_t n = sizes[static_cast<size_t>(i) + 1];
        wire += ':';
        wire += static_cast<char>(n & 0xff);
        wire += static_cast<char>((n >> 8) & 0xff);
        wire += static_cast<char>((n >> 16) & 0xff);
    }
    return JexBuffer(wire.data(), static_cast<int>(wire.size()));
}

TEST(JexTIEException, DeepNestingIsCutAtTheLimit) {
    JexNetMsg msg;
    msg.Decode(DeepImage(10000));
    ASSERT_FALSE(msg.Corrupt());
    for (int mode : {0, 1}) {
        JexMsg target;
        JexTIEUnloadException(msg, target, 1, mode);
        const size_t expected = mode == 0 ? kMaxImageDepth : kMaxImageDepth + 1;  // + the OK head
        EXPECT_EQ(ChainOf(target).size(), expected) << mode;
    }
}

TEST(JexTIEException, ATargetWithoutAnErrorKeepsNothingBeneath) {
    JexMsg inner(JexMsg::CONNFAIL, JexExcArgs("connect"));
    JexMsg outer(JexMsg::OPENERR, JexExcArgs("open", 2, "x"), &inner);
    JexNetMsg msg('R');
    JexTIELoadException(outer, msg);
    JexMsg fresh;
    JexTIEUnloadException(msg, fresh, 0, 0);
    ExpectChain(fresh, {kOpen, kConn});
}

TEST(JexTIEException, AnErrorUnloadsBackIntoItsOwnObject) {
    JexMsg inner(JexMsg::CONNFAIL, JexExcArgs("connect"));
    JexMsg error(JexMsg::OPENERR, JexExcArgs("open", 2, "x"), &inner);
    JexNetMsg msg('R');
    JexTIELoadException(error, msg);
    JexTIEUnloadException(msg, error, 0, 0);
    ExpectChain(error, {kOpen, kConn, kOpen, kConn});
}

class JexTIEMessage : public testing::Test {
protected:
    void SetUp() override {
        unsetenv("LANG");
        sender.Write("S/T.msg", "T::HELLO \"Hello %1$s\\t!\"\nT::PLAIN \"no conversions\"\n");
        receiver.Write("R/T.msg", "T::HELLO \"Bonjour %1$s\"\n");
    }

    CatalogDir sender;
    CatalogDir receiver;
};

TEST_F(JexTIEMessage, LoadsTheCatalogTextAsFound) {
    ASSERT_TRUE(sender.UseTemplates({"S/%C.msg"}));
    JexCatalog catalog;
    JexNetMsg msg('M');
    msg[kTieItemCause] = JexBuffer("kept");
    const JexExcArgs args("x", "you");
    EXPECT_EQ(JexTIELoadMessage(catalog, "T::NOSUCH", JexBuffer9(args), msg), 0);
    EXPECT_EQ(msg[kTieItemName].Data(), nullptr);
    ASSERT_EQ(JexTIELoadMessage(catalog, "T::hello", JexBuffer9(args), msg), 1);
    EXPECT_TRUE(msg[kTieItemName] == "T::hello");
    EXPECT_TRUE(msg[kTieItemText] == "Hello %1$s\t!");
    EXPECT_TRUE(msg[kTieItemFirstArg] == "you");
    EXPECT_TRUE(msg[kTieItemCause] == "kept");
}

TEST_F(JexTIEMessage, TheReceiversCatalogWinsOverTheCarriedText) {
    ASSERT_TRUE(sender.UseTemplates({"S/%C.msg"}));
    JexCatalog senderCatalog;
    JexNetMsg hello('M'), plain('M'), empty('M');
    const JexExcArgs args("x", "you");
    JexTIELoadMessage(senderCatalog, "T::HELLO", JexBuffer9(args), hello);
    JexTIELoadMessage(senderCatalog, "T::PLAIN", JexBuffer9(args), plain);
    empty[kTieItemName] = JexBuffer("T::EMPTY");
    JexNetMsg botched('M');
    botched[kTieItemName] = JexBuffer("T::BOTCHED");
    botched[kTieItemText] = JexBuffer("%1$s %s");

    ASSERT_TRUE(receiver.UseTemplates({"R/%C.msg"}));
    struct Case {
        const JexNetMsg* msg;
        int result;
        const char* mnemonic;
        const char* text;
    } cases[] = {
        {&hello, 1, "T::HELLO", "Bonjour you"},
        {&plain, 1, "T::PLAIN", "no conversions"},
        {&empty, 0, "T::EMPTY", ""},
        {&botched, 1, "T::BOTCHED", "Botched JexVBPrintF format: %1$s %s"},
    };
    JexCatalog receiverCatalog;
    for (const Case& c : cases) {
        JexString mnemonic, text;
        EXPECT_EQ(JexTIEUnloadMessage(receiverCatalog, Transmit(*c.msg), mnemonic, text), c.result);
        EXPECT_STREQ(mnemonic.Text(), c.mnemonic);
        EXPECT_STREQ(text.Text(), c.text) << c.mnemonic;
    }
    // One string for both results: the text is what remains.
    JexString both;
    JexTIEUnloadMessage(receiverCatalog, hello, both, both);
    EXPECT_STREQ(both.Text(), "Bonjour you");
}

}  // namespace

namespace {

TEST(JexTIETrace, LoadAndUnloadLinesWhenSwitchedOn) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    setenv("JEXTIE_TRACE", "lU", 1);
    EXPECT_EXIT(
        {
            JexMsg inner(JexMsg::CONNFAIL, JexExcArgs("connect"));
            JexMsg outer(JexMsg::OPENERR, JexExcArgs("open", 2, "x"), &inner);
            JexNetMsg msg('R');
            JexTIELoadException(outer, msg);
            JexMsg target;
            JexTIEUnloadException(msg, target, 1, 0);
            std::exit(0);
        },
        testing::ExitedWithCode(0),
        "^-l- TIE loaded 'JexMsg::CONNFAIL' exception, value 21\n"
        "-l- TIE loaded 'JexMsg::OPENERR' exception, value 12\n"
        "-u- TIE unloaded 'JexMsg::CONNFAIL' exception\n"
        "-u- TIE unloaded 'JexMsg::OPENERR' exception\n$");
    unsetenv("JEXTIE_TRACE");
}

}  // namespace
