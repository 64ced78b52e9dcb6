// Text procedures of the configuration wizard: field tests, label cutting, settings-file items,
// dates.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace wizard {

// The text without blanks (spaces and tabs) at either end.
std::string Trim(std::string_view text);
// ASCII upper case.
std::string Upper(std::string_view text);

// What follows the first occurrence of `delimiter` in `text`; the empty
// text when it does not occur (blanks kept: callers trim).
std::string ValueAfterDelimiter(std::string_view text, std::string_view delimiter);

// True when the text holds a comma.
bool CheckForComma(std::string_view text);
// Optional blanks, an optional sign, digits with at most one '.' (at least
// one digit), an optional exponent ('e' or 'E', optional sign, digits),
// optional blanks; nothing else.
bool IsNumeric(std::string_view text);
// True when the text holds both an "@" and a "." anywhere.
bool HasEmailForm(std::string_view text);

// The general date text of a local time: "M/D/YYYY h:mm:ss AM" (en-US,
// 12-hour clock, no comma).
std::string GeneralDate(const std::tm& time);

// Whether the bytes are well-formed UTF-8.
bool IsUtf8(std::string_view bytes);
// File bytes as UTF-8 text: UTF-8 stays as it is; anything else is taken
// as Windows-1252, as files of a run on Windows were written.
std::string TextFromFileBytes(std::string_view bytes);

// The first `count` items of a settings file, read as sequential input: an
// item ends at a line end (LF, CR LF or CR) or at a comma outside double
// quotes; blanks before an item are skipped and after an unquoted one
// dropped; a double-quoted item loses its quotes and what follows them up to
// the item's end. Items the file does not have are empty.
std::vector<std::string> ReadSettingsItems(std::string_view text, size_t count);

// The serial number and the system name of the profile's "System S/N:...
// System Name:..." line, trimmed: the serial number lies between the first
// ":" and the first "System Name", the name follows "System Name:" (from
// the 12th character on when that label is missing).
struct SerialAndName {
    std::string serial;
    std::string name;
};
SerialAndName SplitSerialLine(std::string_view item);

}  // namespace wizard
