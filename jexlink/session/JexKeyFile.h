// Key files of the signing methods: safe names, lookup in a key directory, reading and normalising
// a key.
#pragma once

#include <cstdio>

#include "jexlink/core/JexBuffer.h"
#include "jexlink/core/JexString.h"

namespace JexKeyFile {

// Longest key line kept; the rest of a longer line is ignored.
inline constexpr int kMaxKeyLine = 1023;

// True when `name` may become part of a key file's name: it holds no '/',
// no '\\', no NUL byte within its length and no "..", so a file built from
// it cannot lie outside the key directory.
bool SafeName(const JexString& name);

// Opens the regular file `path` for reading: by its exact name first, else
// by the first name in its directory, in byte order, that matches its last
// component regardless of case. Null with errno set when none opens;
// anything but a regular file (a directory, a pipe, a device) is refused
// without waiting on it.
FILE* Open(const JexString& path);

// The key as held in memory from a first line of `n` bytes: cut at the
// first tab, blank, CR, LF or NUL, letters A to Z in lower case, padded
// with zero bytes to a multiple of 8 (an empty line gives an empty key).
void Normalise(const char* line, int n, JexBuffer& key);

// Reads the first line of `file` (at most kMaxKeyLine bytes) into `key`,
// normalised. 0, or the errno of a read error (the key is then empty).
int Read(FILE* file, JexBuffer& key);

}  // namespace JexKeyFile
