// Where the tests find the shipped modules: $GAUGE_DIST if set, else dist/
// from the top of the tree (the tests run there). Header-only, for the
// native compiler and for 32-bit Windows alike.
#pragma once

#include <cstdlib>
#include <string>

namespace dist {

inline std::string folder() {
    const char* d = std::getenv("GAUGE_DIST");
    return d && *d ? d : "dist";
}

// The path of <name>.gau in that folder.
inline std::string modulePath(const std::string& name) {
#ifdef _WIN32
    return folder() + "\\" + name + ".gau";
#else
    return folder() + "/" + name + ".gau";
#endif
}

}  // namespace dist
