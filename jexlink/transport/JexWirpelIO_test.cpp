// Tests of the Wirpel and X.25 endpoints: addresses recognised, every data operation refused.
#include "jexlink/transport/JexWirpelIO.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "jexlink/transport/JexTransport.h"
#include "jexlink/transport/JexX25IO.h"
#include "testing/support/TransportTestSupport.h"

namespace {

using tavro::testing::RaiseLog;

std::string TextAttr(JexTransport& t, int attribute) {
    JexString v;
    EXPECT_EQ(t.GetAttr(attribute, v), 0);
    return v.Text();
}

TEST(JexX25IO, TransportConnectPreparesTheCallAndRefuses) {
    unsetenv("JEX_DEFAULT_DTE_CLASS");
    JexTransport t;
    RaiseLog raised(&t);
    EXPECT_EQ(t.Connect(JexNetAddr("x/cls.12345:7/svc", '/')), JexTransport::UNSUPPORTED);
    EXPECT_EQ(raised.Codes(), std::vector<int>{JexTransport::UNSUPPORTED});
    EXPECT_STREQ(t.Args()[0].Data(), "JexX25IO::Connect");
    EXPECT_EQ(TextAttr(t, JexTransport::kCalled), "x/cls.12345:7/svc");
    EXPECT_EQ(TextAttr(t, JexTransport::kCalling), "X/*/*");
    int type = 0;
    t.GetAttr(JexTransport::kType, type);
    EXPECT_EQ(type, 'X');

    auto* x25 = dynamic_cast<JexX25IO*>(t.Endpoint());
    ASSERT_NE(x25, nullptr);
    EXPECT_EQ(x25->Calling(), 1);
    EXPECT_STREQ(x25->DteClass().Text(), "cls");
    EXPECT_STREQ(x25->CalledDte().Text(), "12345");
    EXPECT_STREQ(x25->Subaddress().Text(), "7");
    const JexBuffer& cud = x25->CallUserData();
    ASSERT_EQ(cud.Length(), 4);
    EXPECT_EQ(static_cast<unsigned char>(cud.Data()[0]), 0xFF);
    EXPECT_EQ(std::string(cud.Data() + 1, 3), "svc");
}

TEST(JexX25IO, DefaultDteClass) {
    struct Case {
        const char* env;
        const char* dteClass;
    } cases[] = {{nullptr, "jex-dte-class"}, {"corp", "corp"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.env ? c.env : "unset");
        if (c.env)
            setenv("JEX_DEFAULT_DTE_CLASS", c.env, 1);
        else
            unsetenv("JEX_DEFAULT_DTE_CLASS");
        JexTransport t;
        RaiseLog raised(&t);
        t.Connect(JexNetAddr("X/12345/svc", '/'));
        auto* x25 = dynamic_cast<JexX25IO*>(t.Endpoint());
        ASSERT_NE(x25, nullptr);
        EXPECT_STREQ(x25->DteClass().Text(), c.dteClass);
        EXPECT_EQ(TextAttr(t, JexTransport::kCalled), "X/12345/svc");
    }
    unsetenv("JEX_DEFAULT_DTE_CLASS");
}

TEST(JexWirpelIO, EveryDataOperationIsRefusedAndTheObjectLives) {
    for (const char* address : {"D/node/svc", "X/cls.1:2/svc"}) {
        SCOPED_TRACE(address);
        JexTransport t;
        RaiseLog raised(&t);
        EXPECT_EQ(t.Connect(JexNetAddr(address, '/')), JexTransport::UNSUPPORTED);
        char buf[8];
        int got = 3;
        EXPECT_EQ(t.GetData(buf, 8, got, 0), JexTransport::UNSUPPORTED);
        EXPECT_EQ(got, 0);
        JexBuffer b;
        EXPECT_EQ(t.GetData(b, 0), JexTransport::UNSUPPORTED);
        EXPECT_STREQ(t.Args()[0].Data(), "JexWirpelIO::GetData");
        // Writing goes to the base endpoint, which has no handle.
        EXPECT_EQ(t.PutData("abc", 3, 0), JexTransport::SYSERR);
        EXPECT_EQ(t.Disconnect(), 0);
        EXPECT_EQ(raised.Codes(), (std::vector<int>{14, 14, 14, 11}));
    }
}

TEST(JexWirpelIO, EndpointsOperateAloneToo) {
    struct Case {
        const char* name;
        JexNetIO* io;
        int type;
        const char* stats;
        const char* listener;
        const char* accept;
        const char* listen;
    } cases[] = {
        {"wirpel", new JexWirpelIO(), 'D', "JexWirpelIO", "JexWirpelIO Listener", nullptr, nullptr},
        {"x25", new JexX25IO(), 'X', "JexX25IO", "JexX25IO Listener", "JexX25IO::Accept",
         "JexWirpelIO::Listen"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<JexNetIO> io(c.io);
        io->SetSuppress(1);
        int type = 0;
        io->GetAttr(JexTransport::kType, type);
        EXPECT_EQ(type, c.type);
        EXPECT_STREQ(io->Statistics().name.Text(), c.stats);
        EXPECT_EQ(io->CreateListener(JexNetAddr("D/n/s", '/')), 14);
        EXPECT_STREQ(io->Statistics().name.Text(), c.listener);
        if (c.accept) {
            JexX25IO peer;
            EXPECT_EQ(io->Accept(peer), 14);
            EXPECT_STREQ(io->Args()[0].Data(), c.accept);
            EXPECT_EQ(io->Listen(), 14);
            EXPECT_STREQ(io->Args()[0].Data(), c.listen);
        }
    }
}

TEST(JexX25IO, PlaceholderNamesAndTheDteCheck) {
    JexX25IO io;
    char a[JexNetIO::kAddressSize];
    char b[JexNetIO::kAddressSize];
    int alen = 0;
    int blen = 0;
    EXPECT_EQ(io.get_socknames(a, alen, b, blen), 0);
    EXPECT_STREQ(io.strsockaddr(io.CalledBuffer()).Text(), "X//");
    EXPECT_STREQ(io.strsockaddr(io.CallingBuffer()).Text(), "X//*");

    setenv("JEX_SKIP_DTE_CHECK", "1", 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(io.accept_call(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Skipping DTE check due to environment variable\n");
    unsetenv("JEX_SKIP_DTE_CHECK");
    setenv("JEXTRANSPORT_TRACE", "h", 1);
    JexX25IO traced;
    testing::internal::CaptureStderr();
    EXPECT_EQ(traced.accept_call(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Local DTE=, Called DTE=\n");
    unsetenv("JEXTRANSPORT_TRACE");
}

}  // namespace
