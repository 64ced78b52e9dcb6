// Separators of file paths and path lists on this platform.
#pragma once

namespace platform {

// Between the directories of a path (the tree's "\specific\tavro" is
// "/specific/tavro" here).
inline constexpr char kPathSeparator = '/';
// Between the entries of a list handed to the system or the JVM (class
// path, library path, PATH).
inline constexpr char kPathListSeparator = ':';

}  // namespace platform
