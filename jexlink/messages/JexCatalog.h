// JexCatalog: message texts by mnemonic from per-language catalog files, and errors as text.
#pragma once

#include "jexlink/core/JexException.h"
#include "jexlink/core/JexString.h"
#include "jexlink/transport/JexProtocol.h"

// Finds the text of a message by its mnemonic ("Facility::NAME", in practice
// an error's code name such as "JexMsg::CONNFAIL") in catalog files, formats
// it with up to nine arguments, and renders an error with its causes as
// lines of text.
//
// A catalog file is a data file (JexDataFile) of lines "MNEMONIC text";
// mnemonics compare without regard to case; a text may hold backslash
// escapes (\n, \t, ...) and the formatter's conversions ("%1$s"). Files are
// found through the path templates of the setting "MSGPATH", searched in
// order, in which "%C" stands for the facility (the mnemonic up to its first
// "::") and "%L" for the language (environment variable LANG); without the
// setting the one template kDefaultTemplate is used. A facility that could
// leave the catalog directory (anything but letters, digits, "_", "$", ".",
// "-", or one holding "..") is never found: mnemonics may come from peers.
//
// The object keeps the state of its last lookup and has no lock: the
// process-wide catalog of the message routines is used under their lock.
class JexCatalog {
public:
    static constexpr const char* kDefaultTemplate = "/JEX/MSG/%L/%C.msg";
    static constexpr const char* kUnformattable = "-- message text cannot be formatted --";
    // A catalog text is cut to this many bytes before its escapes are expanded.
    static constexpr int kMaxText = 2047;

    JexCatalog();
    ~JexCatalog();
    JexCatalog(const JexCatalog&) = delete;
    JexCatalog& operator=(const JexCatalog&) = delete;

    // 1 when a catalog holds the mnemonic, else 0. Asking again for the
    // stored (upper-cased) mnemonic answers from the stored state without
    // reading any file; a mixed-case mnemonic is read again every time.
    int Lookup(const char* mnemonic);
    // The mnemonic of the last lookup, upper-cased.
    JexString Mnemonic();
    // The catalog text found, escapes expanded; empty when not found.
    JexString Text();
    // The found text formatted with the arguments, after the mnemonic and
    // ", " when the show-code flag is set, wrapped at the wrap column when
    // it is not 0; empty when not found.
    JexString Formatted(const JexBuffer9& args);
    // One line per error of the chain, the error first, each ending in
    // "\n"; with the show-code flag on the first line starts "--- " and the
    // others "  - ". A line is the catalog text of the code name when the
    // catalog has it, else the error's own text. Changes the lookup state.
    JexString Formatted(JexException* error);
    void ShowCode(int flag);
    void WrapAt(int column);
    int Found();

    // The template with "%C" replaced by the facility and "%L" by the
    // language; any other "%x" stays as it is, as does a "%" at the end.
    static JexString substitute(const char* templ, const char* facility, const char* language);
    // The text broken into lines of about `column` characters: a line is
    // broken at a blank in its last quarter, an unbroken run is cut hard.
    static JexString wordwrap(const char* text, int column);
    // Expands the backslash escapes of a NUL-terminated text in place.
    static void ExpandEscapes(char* text);

private:
    int found_ = 0;
    int showCode_ = 0;
    int wrapColumn_ = 0;
    JexString mnemonic_;
    JexString text_;
};
