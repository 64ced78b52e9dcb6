// JexTIE: transportable images of catalog messages and errors inside net messages.
#pragma once

#include "jexlink/core/JexException.h"
#include "jexlink/core/JexNetMsg.h"
#include "jexlink/core/JexString.h"
#include "jexlink/messages/JexCatalog.h"
#include "jexlink/transport/JexProtocol.h"

// An image takes items 47 to 58 of a net message; the caller's other items
// are left alone:
//   47  the code name ("JexMsg::CONNFAIL") or the message's mnemonic
//   48  the error's text with its arguments filled in, or the catalog text
//       of the message as found (not formatted)
//   49 to 57  arguments 1 to 9
//   58  the cause: the encoding of a net message of the same type that holds
//       the cause's image in the same items; empty for none
// so an error travels with its whole chain of causes. A receiver follows
// at most kMaxImageDepth nested images; deeper causes are dropped.
constexpr int kTieItemName = 47;
constexpr int kTieItemText = 48;
constexpr int kTieItemFirstArg = 49;
constexpr int kTieItemCause = 58;
constexpr int kMaxImageDepth = 32;

// Loads the catalog message of the mnemonic with arguments 1 to 9. 0 (the
// message untouched) when the catalog does not hold the mnemonic, else 1.
int JexTIELoadMessage(JexCatalog& catalog, const char* mnemonic, const JexBuffer9& args,
                      JexNetMsg& msg);
// Loads the error with its causes. Returns 1.
int JexTIELoadException(JexException& error, JexNetMsg& msg);

// The mnemonic and text of a message image. When the catalog holds the
// mnemonic, the text is the catalog's, formatted with the carried
// arguments, and the result 1. Otherwise the carried text is formatted with
// them: 1, or 0 when that gave nothing and the carried text is given as it is.
int JexTIEUnloadMessage(JexCatalog& catalog, const JexNetMsg& msg, JexString& mnemonic,
                        JexString& text);

// Sets the carried error, with its causes, on the target, each with the
// argument 0 "remote exception". A code name the target's class does not
// know arrives as an external message (code -1) "name, text".
//   mode 0: the chain becomes the target's current error, innermost cause
//           set first; the target's earlier error stays beneath it unless
//           `replace` is 1 (a target without an error keeps nothing);
//   mode 1: the errors are hung beneath the target's current error,
//           outermost first.
// An image without a code name leaves the target unchanged. Returns 1.
int JexTIEUnloadException(const JexNetMsg& msg, JexException& target, int replace, int mode);
