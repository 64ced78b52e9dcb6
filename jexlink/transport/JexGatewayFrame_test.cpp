// Tests of the gateway stream framing: heads byte for byte, both length forms, limits, broken
// streams.
#include "jexlink/transport/JexGatewayFrame.h"

#include <gtest/gtest.h>

#include <future>
#include <string>

#include "testing/support/GatewayTestSupport.h"

namespace {

using tavro::testing::kBound;
using tavro::testing::LinkedPair;

// An in-memory byte source for the reader.
struct Bytes {
    std::string data;
    size_t pos = 0;
    static int Read(void* context, char* p, int n) {
        auto* self = static_cast<Bytes*>(context);
        const auto want = static_cast<size_t>(n);
        if (self->data.size() - self->pos < want) return 1;
        self->data.copy(p, want, self->pos);
        self->pos += want;
        return 0;
    }
};

std::string Text(const JexBuffer& b) {
    return b.Data() ? std::string(b.Data(), static_cast<size_t>(b.Length())) : "";
}

std::string Hex(const std::string& s) {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        if (!out.empty()) out += ' ';
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string Body(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 31 + 7);
    return s;
}

// Writes a body through a real link and reads the raw bytes on the other end.
TEST(JexGatewayFrame, HeadsAreWrittenByteForByteAndReadBack) {
    struct Case {
        size_t length;
        std::string head;
    };
    const Case cases[] = {
        {1, "01 00 00"},
        {300, "2C 01 00"},
        {65535, "FF FF 00"},
        {65536, "00 00 00 00 01 00 00"},
        {0, "00 00 00 00 00 00 00"},
    };
    LinkedPair link;
    ASSERT_EQ(link.Open(), "");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        const std::string body = Body(c.length);
        const size_t head_size = c.head.size() == 8 ? 3 : 7;
        auto reader = std::async(std::launch::async, [&] {
            std::string raw(head_size + body.size(), '\0');
            int got = 0;
            link.b->GetData(raw.data(), static_cast<int>(raw.size()), got, 0);
            raw.resize(static_cast<size_t>(got));
            return raw;
        });
        EXPECT_EQ(jex_write_frame(*link.a, JexBuffer(body.data(), static_cast<int>(body.size()))),
                  0);
        ASSERT_EQ(reader.wait_for(kBound), std::future_status::ready);
        const std::string raw = reader.get();
        EXPECT_EQ(Hex(raw.substr(0, head_size)), c.head);
        EXPECT_TRUE(raw.substr(head_size) == body);

        // And the reader of the other end gives the body back.
        Bytes source{raw};
        JexBuffer back("stale contents");
        EXPECT_EQ(JexReadFrameFrom(&Bytes::Read, &source, back), 0);
        EXPECT_TRUE(Text(back) == body);
        EXPECT_EQ(back.Length(), static_cast<int>(c.length));
    }
}

TEST(JexGatewayFrame, ReaderTakesEitherFormAndIgnoresTheReservedByte) {
    struct Case {
        const char* name;
        std::string bytes;
        int rc;
        std::string body;
    };
    const std::string kLong5(
        "\0\0\5\0\0\0\xEE"
        "hello",
        12);
    const Case cases[] = {
        {"short form", std::string("\5\0\0hello", 8), 0, "hello"},
        {"reserved byte set", std::string("\5\0\x7Fhello", 8), 0, "hello"},
        {"long form for a short length", kLong5, 0, "hello"},
        {"empty", std::string(7, '\0'), 0, ""},
        {"nothing at all", "", 23, ""},
        {"half a head", std::string("\5", 1), 23, ""},
        {"head without reserved byte", std::string("\5\0", 2), 23, ""},
        {"long head cut short", std::string("\0\0\5\0", 4), 23, ""},
        {"body cut short", std::string("\5\0\0hel", 6), 23, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes source{c.bytes};
        JexBuffer body;
        EXPECT_EQ(JexReadFrameFrom(&Bytes::Read, &source, body), c.rc);
        if (c.rc == 0) {
            EXPECT_EQ(Text(body), c.body);
        }
    }
}

// A hostile length is refused before anything is allocated: the buffer holds
// the announced length for the message, and the body stays unread.
TEST(JexGatewayFrame, OversizedLengthsAreTooBigWithoutAllocation) {
    const struct {
        uint32_t length;
    } cases[] = {{static_cast<uint32_t>(kJexMaxFrameLength) + 1}, {0x7FFFFFFFu}, {0xFFFFFFFFu}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        std::string bytes("\0\0", 2);
        for (int shift = 0; shift < 32; shift += 8)
            bytes += static_cast<char>((c.length >> shift) & 0xFF);
        bytes += '\0';
        bytes += "rest";
        Bytes source{bytes};
        JexBuffer body;
        EXPECT_EQ(JexReadFrameFrom(&Bytes::Read, &source, body), 12);
        EXPECT_EQ(body.Length(), 4);
        EXPECT_EQ(static_cast<uint32_t>(body.GetLong()), c.length);
        EXPECT_LT(body.AllocatedLength(), 1024);
        EXPECT_EQ(source.pos, 7u);
    }
    // The largest allowed length is taken.
    std::string at_limit("\0\0", 2);
    for (int shift = 0; shift < 32; shift += 8)
        at_limit += static_cast<char>((kJexMaxFrameLength >> shift) & 0xFF);
    at_limit += '\0';
    at_limit += std::string(static_cast<size_t>(kJexMaxFrameLength), 'x');
    Bytes source{at_limit};
    JexBuffer body;
    EXPECT_EQ(JexReadFrameFrom(&Bytes::Read, &source, body), 0);
    EXPECT_EQ(body.Length(), kJexMaxFrameLength);
}

// The body's storage grows with the bytes that arrive: a peer that announces
// the largest frame and stops costs at most twice what it sent and a piece.
TEST(JexGatewayFrame, BodyStorageFollowsTheBytesReceived) {
    const std::string head("\0\0\0\0\x01\x01\0", 7);
    ASSERT_EQ(0x01010000, kJexMaxFrameLength);
    for (size_t sent : {size_t{0}, size_t{1}, size_t{100}, size_t{200000}, size_t{3000000}}) {
        SCOPED_TRACE(sent);
        Bytes source{head + Body(sent)};
        JexBuffer body;
        EXPECT_EQ(JexReadFrameFrom(&Bytes::Read, &source, body), 23);
        const int bound = sent == 0 ? 64 : 2 * static_cast<int>(sent) + kJexFramePiece + 64;
        EXPECT_LE(body.AllocatedLength(), bound);
    }
}

TEST(JexGatewayFrame, WriterRefusesWhatNoPeerTakes) {
    LinkedPair link;
    ASSERT_EQ(link.Open(), "");
    JexBuffer huge;
    huge.SetLength(static_cast<int>(kJexMaxFrameLength) + 1);
    EXPECT_EQ(jex_write_frame(*link.a, huge), 12);
}

TEST(JexGatewayFrame, ClosedLinksAreTransportErrors) {
    LinkedPair link;
    ASSERT_EQ(link.Open(), "");
    // The peer writes a head only and closes.
    ASSERT_EQ(link.a->PutData("\5\0\0he", 5, 0), 0);
    link.a->Disconnect();
    JexBuffer body;
    auto read = std::async(std::launch::async, [&] { return jex_read_frame(*link.b, body); });
    ASSERT_EQ(read.wait_for(kBound), std::future_status::ready);
    EXPECT_EQ(read.get(), 23);
    // Writing on a transport without a connection fails the same way.
    EXPECT_EQ(jex_write_frame(*link.a, JexBuffer("x")), 23);
}

TEST(JexGatewayFrame, FramesFollowEachOtherOnOneStream) {
    LinkedPair link;
    ASSERT_EQ(link.Open(), "");
    const std::string bodies[] = {"first", "", Body(70000), "last"};
    for (const std::string& b : bodies)
        ASSERT_EQ(jex_write_frame(*link.a, JexBuffer(b.data(), static_cast<int>(b.size()))), 0);
    for (const std::string& b : bodies) {
        JexBuffer got;
        auto read = std::async(std::launch::async, [&] { return jex_read_frame(*link.b, got); });
        ASSERT_EQ(read.wait_for(kBound), std::future_status::ready);
        ASSERT_EQ(read.get(), 0);
        EXPECT_TRUE(Text(got) == b);
    }
}

// Frames of every size around the reader's buffer and piece sizes, written
// back to back, come out of one reader whole and in order, whether a read
// holds several frames or a body is read straight into its storage.
TEST(JexFrameReader, FramesOfEverySizeComeBackInOrder) {
    LinkedPair link;
    ASSERT_EQ(link.Open(), "");
    const int k = JexFrameReader::kBufferSize;
    const size_t sizes[] = {1,
                            3,
                            64,
                            size_t(k / 2 - 1),
                            size_t(k / 2),
                            size_t(k - 1),
                            size_t(k),
                            65535,
                            65536,
                            70000,
                            1,
                            size_t(1 << 20) + 3,
                            2};
    auto writer = std::async(std::launch::async, [&] {
        for (size_t n : sizes) {
            const std::string b = Body(n);
            if (jex_write_frame(*link.a, JexBuffer(b.data(), static_cast<int>(b.size()))) != 0)
                return false;
        }
        return true;
    });
    JexFrameReader reader;
    JexFrameReader::Source source{&reader, link.b.get()};
    for (size_t n : sizes) {
        SCOPED_TRACE(n);
        JexBuffer got;
        auto read = std::async(std::launch::async, [&] {
            return JexReadFrameFrom(&JexFrameReader::Source::Read, &source, got);
        });
        ASSERT_EQ(read.wait_for(kBound), std::future_status::ready);
        ASSERT_EQ(read.get(), 0);
        EXPECT_TRUE(Text(got) == Body(n));
    }
    ASSERT_EQ(writer.wait_for(kBound), std::future_status::ready);
    EXPECT_TRUE(writer.get());
    EXPECT_EQ(reader.Buffered(), 0);
}

// A frame whose body is a lead and a buffer goes out as the same bytes as
// the frame of both together, whatever the IO size cuts.
TEST(JexGatewayFrame, LeadAndBodyWriteTheBytesOfOneBody) {
    struct Case {
        int io_size;
        size_t length;
    };
    const Case cases[] = {{1280, 0}, {1280, 100}, {1, 5}, {3, 10}, {7, 70000}, {1280, 65535}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.io_size);
        SCOPED_TRACE(c.length);
        LinkedPair link;
        ASSERT_EQ(link.Open(), "");
        link.a->SetAttr(JexTransport::kIoSize, c.io_size);
        const std::string body = Body(c.length);
        auto written = std::async(std::launch::async, [&] {
            return jex_write_frame(*link.a, "d", 1,
                                   JexBuffer(body.data(), static_cast<int>(body.size())));
        });
        JexFrameReader reader;
        JexFrameReader::Source source{&reader, link.b.get()};
        JexBuffer got;
        EXPECT_EQ(JexReadFrameFrom(&JexFrameReader::Source::Read, &source, got), 0);
        ASSERT_EQ(written.wait_for(kBound), std::future_status::ready);
        EXPECT_EQ(written.get(), 0);
        EXPECT_TRUE(Text(got) == "d" + body);
    }
}

}  // namespace
