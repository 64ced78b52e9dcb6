// The compression objects of a session: their common base and the pass-through compressor and
// expander.
#pragma once

#include <cstdint>

#include "jexlink/core/JexBuffer.h"
#include "jexlink/core/JexException.h"

#define JEXCOMPRESSIONBASE_TEXTS(JEX_TEXT)       \
    JEX_TEXT(0, OK, "Operation successful")      \
    JEX_TEXT(1, CORRUPT, "Corrupt input buffer") \
    JEX_TEXT(2, NOMEMORY, "Insufficient virtual memory")

// Error state and running totals of one direction of a connection's
// compression: bytes consumed, bytes produced, and their ratio after the
// last call.
class JexCompressionBase : public JexException {
public:
    enum : int { JEXCOMPRESSIONBASE_TEXTS(JEX_TEXT_CODE) };
    static const JexTextRow kTextTable[];

    JexCompressionBase();
    ~JexCompressionBase() override;

    uint32_t BytesIn() const { return bytesIn_; }
    uint32_t BytesOut() const { return bytesOut_; }
    float Ratio() const { return ratio_; }

protected:
    // Adds one call's input and output to the totals and recomputes the ratio.
    void Count(int in, int out);

private:
    uint32_t bytesIn_ = 0;
    uint32_t bytesOut_ = 0;
    float ratio_ = 0;
};

// The compressor that leaves data as it is (a connection without
// compression), and the base of the compressors that do compress.
class JexCompressor : public JexCompressionBase {
public:
    // out becomes the compressed form of in (here a copy); 0 on success.
    // in and out may be the same buffer.
    virtual int Compress(const JexBuffer& in, JexBuffer& out);
};

// The expander that leaves data as it is, and the base of the expanders.
class JexExpander : public JexCompressionBase {
public:
    // out becomes what in expands to (here a copy); 0 on success, else the
    // code of the failure (recorded and raised). in and out may be the same.
    virtual int Expand(const JexBuffer& in, JexBuffer& out);
};
