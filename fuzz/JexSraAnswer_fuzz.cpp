// Fuzz target: a "Jex_Sra" server's review accept data and the messages of a work unit or list, as
// the review and list-fetch clients read them.
//
// Reaches: a server's accept data and work-unit or list messages of any bytes up to 1 MiB, as the
// review and list-fetch clients read them, and failure replies rebuilt as errors.
// Cannot reach: the clients' sessions (JexSraServer_fuzz has the server's side in memory).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "jexlink/core/JexNetMsg.h"
#include "jexlink/messages/JexTIE.h"
#include "jexlink/sra/JexSra.h"
#include "jexlink/sra/JexSraClient.h"
#include "jexlink/sra/JexSraProtocol.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 20) return 0;
    JexNetMsg msg;
    msg.Decode(data, static_cast<int>(size));

    // As a review's accept data.
    (void)JexSraWorkUnitCount(msg);

    // As one line of a work unit or list: the text grows by the line up to
    // its first NUL and one line feed, and holds no NUL.
    JexString text("before\n");
    JexSraAppendLine(msg, text);
    const int grown = text.Length() - 7;
    Check(grown >= 1 && grown <= msg[kSraItemLine].Length() + 1);
    Check(text.Text()[text.Length() - 1] == '\n');
    Check(std::strlen(text.Text()) == static_cast<size_t>(text.Length()));

    // As a failure reply: the server's error rebuilt the ways the clients
    // take it (in place of the request's error, and hung beneath it).
    JexSra replaced;
    replaced.ExcSet(JexSra::EVT_WAITING);
    JexTIEUnloadException(msg, replaced, 1, 0);
    (void)replaced.Describe(1);
    JexSra hung;
    hung.ExcSet(JexSra::REVIEWFAIL);
    JexTIEUnloadException(msg, hung, 1, 1);
    Check(hung.Code() == JexSra::REVIEWFAIL);
    (void)hung.Describe(1);
    return 0;
}
