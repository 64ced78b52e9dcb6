// An installation tree for tests of the service and the director.
#pragma once

#include <filesystem>
#include <initializer_list>
#include <string>

namespace tavro::testing {

// The directories of a tree, relative to its home.
inline constexpr char kBinDir[] = "bin";
inline constexpr char kDataDir[] = "specific/tavro/data";
inline constexpr char kConfigDir[] = "specific/tavro/config";
inline constexpr char kServiceLogDir[] = "specific/tavro/logs";
inline constexpr char kDirectorLogDir[] = "specific/norba/logs";
inline constexpr char kShareDir[] = "common/share";
inline constexpr char kJarDir[] = "common/jars";

// Builds a tree at `home` piece by piece: each test makes exactly the
// directories and files its case needs, since the code under test reacts
// to what is missing. The tree is not removed; make it in a TempDir or the
// platform state directory.
class InstallTree {
public:
    explicit InstallTree(std::filesystem::path home);

    const std::filesystem::path& Home() const { return home_; }
    std::filesystem::path operator/(const std::string& relative) const { return home_ / relative; }

    // Makes each directory (relative to the home) with its parents.
    InstallTree& Directories(std::initializer_list<const char*> relatives);
    // Writes a file with `bytes`, making its directories.
    InstallTree& File(const std::string& relative, const std::string& bytes = {});
    // Copies the program at `from` to `relative`, executable by its owner.
    InstallTree& Program(const std::string& relative, const std::filesystem::path& from);
    // Makes `relative` a symbolic link to `target`, making its directories
    // (a tree's Java runtime is usually a link to a system one).
    InstallTree& Link(const std::string& relative, const std::filesystem::path& target);

private:
    std::filesystem::path home_;
};

}  // namespace tavro::testing
