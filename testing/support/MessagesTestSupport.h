// Test support: catalog files and help indexes in a temporary directory, found through the
// settings.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "jexlink/core/JexConfig.h"
#include "testing/support/JexConfigTestSupport.h"

namespace tavro::testing {

// A temporary directory of catalog files, removed with the object; MSGPATH
// names the templates given to UseTemplates.
class CatalogDir {
public:
    CatalogDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "jexcatalog-XXXXXX").string();
        if (mkdtemp(pattern.data())) dir_ = pattern;
    }
    ~CatalogDir() {
        std::error_code ignored;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
    }
    CatalogDir(const CatalogDir&) = delete;
    CatalogDir& operator=(const CatalogDir&) = delete;

    std::string Path(const std::string& relative) const { return dir_ + "/" + relative; }

    // Writes a file under the directory, creating its directories.
    void Write(const std::string& relative, const std::string& content) const {
        const std::filesystem::path path = Path(relative);
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
    }

    // MSGPATH becomes the templates, each under the directory.
    bool UseTemplates(const std::vector<std::string>& templates) const {
        std::vector<std::string> paths;
        for (const std::string& t : templates) paths.push_back(Path(t));
        return WriteList(JexConfig::kGlobalParameters, "MSGPATH", paths);
    }

private:
    std::string dir_;
};

}  // namespace tavro::testing
