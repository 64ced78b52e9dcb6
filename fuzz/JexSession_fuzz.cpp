// Fuzz target: one end of a session, client or server, against a peer whose every record is the
// fuzzer's, over a link in memory.
//
// Input (see SessionFuzzScript.h): byte 0 picks the end and its settings
// (signing method NULL, MD5, PASSWORD or MD5 for the nodes; LZW or no
// compression; CRC; a rejecting server; a synchronous send; whether the
// gateways first hold their connection exchange: the server's gateway
// answers a CONNECT with its own handshake and route map, the client's
// finds the server in its route map, sends its CONNECT and reads the
// answers until the HIT); the rest is what the peer said, record by
// record: session messages carried in gateway DATA records, or whole
// gateway records (CONNECT, FINISH, LEARN, NETFAIL...). The end runs the
// conversation of SessionFuzzScript.h against them, single threaded, over
// memory pipes; where the records run out the peer has hung up.
// Challenges are fixed, so a recorded conversation (the seeds *-handshake,
// written by JexSession_seeds) replays to its end and the fuzzer starts
// from every state of a good handshake.
//
// Made once per process: the key files, route maps, the input pipe and the
// memory endpoint beneath the gateway. Made per input: the session and its
// gateway (a session serves one connection), the gateway's transport, and
// all the session does. The driving code (fuzz_support, tavro::testing) and
// the standard library's templates carry no coverage instrumentation, nor
// does the code around the library that every input runs alike (the file
// watch, locks, host and user names: fuzz/coverage-ignore*.txt); the
// session, gateway, net message, LZW and crypto code all do.
//
// Reaches: both session handshakes and their failure answers, signature,
// version and key-block checks, peer errors with causes, data, queued data,
// acknowledgements, LZW expansion, shutdown, the gateway's record reading,
// its answering handshake and route decisions, the calling gateway's route
// map lookup, CONNECT, answers (progress, redirects, refusals, a route that
// fails followed by the next) and learned routes, and the closing exchange.
// Cannot reach: the network (JexSessionTranscript_test runs recorded
// conversations over a loopback connection), the answering gateway's relay
// to a next hop (its routes lead to a port that refuses), read time-outs (a
// memory link never waits), K2 signing servers, and forged signatures (the
// keys are fixed and a digest cannot be found by mutation).
#include <cstddef>
#include <cstdint>

#include "fuzz/SessionFuzzScript.h"

#if defined(TAVRO_LIBFUZZER)
// A session allocates a few hundred buffers per input, and recording each
// allocation's stack was a fifth of the fuzzer's time. Reports then lack
// the allocation and free stacks; a crash replayed with
// ASAN_OPTIONS=malloc_context_size=30 has them (the environment wins).
// The quarantine of freed memory is 8 MiB rather than 256: an input frees
// at most about 1.6 MiB (the LZW tables), so a use after a free within an
// input is still caught, while a small quarantine keeps the allocator's
// memory in the cache (a tenth of the time per input).
extern "C" const char* __asan_default_options();
extern "C" const char* __asan_default_options() {
    return "malloc_context_size=0:quarantine_size_mb=8";
}
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > (1u << 20)) return 0;
    fuzz_support::RunInput(data, size);
    return 0;
}
