// Fuzz target: transport-class-2 frame decoding of arbitrary bytes and the re-encode round trip.
//
// Reaches: transport-class-2 frames of any bytes up to 1 MiB: header parameters, frame codes, user
// data, the dump and the re-encode round trip.
// Cannot reach: the modem daemon and its commboxes (frames come from memory).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "jexlink/modem/JexTp2Frame.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

bool Same(const JexBuffer& a, const JexBuffer& b) {
    return a.Length() == b.Length() &&
           (a.Length() == 0 ||
            std::memcmp(a.Data(), b.Data(), static_cast<size_t>(a.Length())) == 0);
}

bool KnownCode(int code) {
    switch (code) {
        case JexTp2Frame::kCR:
        case JexTp2Frame::kCC:
        case JexTp2Frame::kDR:
        case JexTp2Frame::kDC:
        case JexTp2Frame::kDT:
        case JexTp2Frame::kED:
        case JexTp2Frame::kER: return true;
        default: return false;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    static FILE* sink = std::fopen("/dev/null", "w");
    JexTp2Frame frame;
    frame = JexBuffer(data, static_cast<int>(size));
    frame.Dump(sink, 0);
    if (frame.Code() != JexTp2Frame::OK) {
        Check(frame.Code() == JexTp2Frame::FAILURE);
        return 0;
    }
    // Nothing beyond the input is taken.
    Check(frame.UserData().Length() < static_cast<int>(size));

    // What decoded encodes again (unless the parameters it adds by default
    // would pass the one-byte header length) and decodes to the same frame.
    const JexBuffer wire = frame;
    if (frame.Code() != JexTp2Frame::OK) {
        Check(wire.Length() == 0);
        return 0;
    }
    frame.Dump(sink, 0);
    if (!KnownCode(frame.FrameCode())) return 0;  // its code byte is not sent
    JexTp2Frame back;
    back = wire;
    Check(back.Code() == JexTp2Frame::OK);
    Check(back.FrameCode() == frame.FrameCode());
    Check(Same(back.UserData(), frame.UserData()));
    int ext = 0;
    frame.GetAttr(JexTp2Frame::EXT_REASON, ext);
    // An extended reason decoded as the "not set" value is not sent again.
    if (frame.FrameCode() == JexTp2Frame::kDR && ext == JexTp2Frame::kAbsent) return 0;
    const JexBuffer again = back;
    Check(Same(again, wire));
    return 0;
}
