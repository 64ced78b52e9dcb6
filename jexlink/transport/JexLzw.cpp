// Dynamic LZW compression of a connection: the compressor and the expander.
#include "jexlink/transport/JexLzw.h"

namespace {

const unsigned char* Bytes(const JexBuffer& b) {
    return reinterpret_cast<const unsigned char*>(b.Data());
}

}  // namespace

int JexLzwCompressor::Compress(const JexBuffer& in, JexBuffer& out) {
    // The output is sized before the input is read: code from a copy when
    // they are the same buffer.
    if (&in == &out) {
        const JexBuffer copy(in);
        return Compress(copy, out);
    }
    if (!encoder_.Encode(Bytes(in), in.Length(), out)) {
        ExcRaise(NOMEMORY, JexExcArgs("JexLzwCompressor::Compress"));
        return NOMEMORY;
    }
    if (in.Length() > 0) Count(in.Length(), out.Length());
    return OK;
}

int JexLzw::Decompress(const JexBuffer& in, JexBuffer& out) {
    if (&in == &out) {
        const JexBuffer copy(in);
        return Decompress(copy, out);
    }
    switch (decoder_.Decode(Bytes(in), in.Length(), out)) {
        case LzwDecoder::Result::kOk: break;
        case LzwDecoder::Result::kCorrupt:
            ExcRaise(CORRUPT, JexExcArgs("JexLzw::Decompress"));
            return CORRUPT;
        case LzwDecoder::Result::kNoMemory:
            ExcRaise(NOMEMORY, JexExcArgs("JexLzw::Decompress"));
            return NOMEMORY;
    }
    if (in.Length() > 0) Count(in.Length(), out.Length());
    return OK;
}
