// The compression objects of a session: their common base and the pass-through compressor and
// expander.
#include "jexlink/transport/JexCompressionBase.h"

#define JEX_TEXT_CLASS JexCompressionBase
const JexTextRow JexCompressionBase::kTextTable[] = JEX_TEXT_TABLE(JEXCOMPRESSIONBASE_TEXTS);
#undef JEX_TEXT_CLASS

JexCompressionBase::JexCompressionBase() : JexException(kTextTable, "JexCompressionBase") {}

JexCompressionBase::~JexCompressionBase() = default;

void JexCompressionBase::Count(int in, int out) {
    bytesIn_ += static_cast<uint32_t>(in);
    bytesOut_ += static_cast<uint32_t>(out);
    if (bytesOut_ != 0) ratio_ = static_cast<float>(bytesIn_) / static_cast<float>(bytesOut_);
}

int JexCompressor::Compress(const JexBuffer& in, JexBuffer& out) {
    out = in;
    Count(in.Length(), out.Length());
    return OK;
}

int JexExpander::Expand(const JexBuffer& in, JexBuffer& out) {
    out = in;
    Count(in.Length(), out.Length());
    return OK;
}
