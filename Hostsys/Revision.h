// Revision: the version-control keyword strings of each file and their join.
#pragma once

#include <string>

// A file's revision string in the one form that "-version" prints:
// "$Source: <path>,v $ $Revision: <revision> $ $Name:  $". The _WITH form
// carries text right after ",v $" and right before " $Name:  $" where a
// file's keywords hold more.
#define TAVRO_REVISION_WITH(path, afterSource, revision, beforeName) \
    "$Source: " path ",v $" afterSource " $Revision: " revision " $" beforeName " $Name:  $"
#define TAVRO_REVISION(path, revision) TAVRO_REVISION_WITH(path, "", revision, "")

namespace tavro {

// Gives a class T that has the revision strings s_pRevisionCpp and
// s_pRevisionH its getRevision.
template <class T>
struct Revisions {
    // The source file's revision string, a blank and the header's.
    static std::string getRevision() {
        return std::string(T::s_pRevisionCpp) + " " + T::s_pRevisionH;
    }
};

}  // namespace tavro
