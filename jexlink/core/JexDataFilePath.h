// JexDataFilePath and JexServicesFilePath: full paths of the files the library needs.
#pragma once

#include "jexlink/core/JexString.h"

// The full path of a data file: the value stored under `setting` when there
// is one, else `relativePath` (such as "data\jex_route_map.dat"), in the
// platform's form (every backslash becomes the path separator); an absolute
// value stands as it is, a relative one goes under the installation
// directory (JexConfig::GetApplicationPath) with exactly one separator
// between them. Each call returns its own string, so threads may call it at
// once. `flags` is accepted for the callers that pass it and has no effect.
JexString JexDataFilePath(const char* setting, const char* relativePath, int flags = 0);

// The system's services file under the system root (JexConfig::GetSystemRoot).
JexString JexServicesFilePath();
