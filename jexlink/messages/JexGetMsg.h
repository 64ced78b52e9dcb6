// JexGetMsg: the text of a message of the catalog, into a caller's buffer.
#pragma once

#include <cstddef>

// Empties the buffer, then copies into it at most `size` bytes of the text
// of the message `mnemonic` ("facility::NAME"), without its mnemonic and
// with no parameters ("Message not found: " and the mnemonic when the
// catalog has none); the buffer's last byte is always NUL. Returns 1.
int JexGetMsg(const char* mnemonic, char* buffer, size_t size);
