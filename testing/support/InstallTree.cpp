// An installation tree for tests of the service and the director.
#include "testing/support/InstallTree.h"

#include <utility>

#include "testing/support/TempDir.h"

namespace tavro::testing {

namespace fs = std::filesystem;

InstallTree::InstallTree(fs::path home) : home_(std::move(home)) {
    std::error_code ignored;
    fs::create_directories(home_, ignored);
}

InstallTree& InstallTree::Directories(std::initializer_list<const char*> relatives) {
    for (const char* relative : relatives) {
        std::error_code ignored;
        fs::create_directories(home_ / relative, ignored);
    }
    return *this;
}

InstallTree& InstallTree::File(const std::string& relative, const std::string& bytes) {
    WriteFile(home_ / relative, bytes);
    return *this;
}

InstallTree& InstallTree::Program(const std::string& relative, const fs::path& from) {
    std::error_code ignored;
    fs::create_directories((home_ / relative).parent_path(), ignored);
    fs::copy_file(from, home_ / relative, fs::copy_options::overwrite_existing, ignored);
    fs::permissions(home_ / relative, fs::perms::owner_all, ignored);
    return *this;
}

InstallTree& InstallTree::Link(const std::string& relative, const fs::path& target) {
    std::error_code ignored;
    fs::create_directories((home_ / relative).parent_path(), ignored);
    fs::create_symlink(target, home_ / relative, ignored);
    return *this;
}

}  // namespace tavro::testing
