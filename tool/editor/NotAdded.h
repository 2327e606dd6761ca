// The one line that says why a loose file did not go into the archive.
#pragma once

#include <cstdio>

namespace GAME {

/// Writes "<file>: not added, <reason>." to standard error.
inline void ReportNotAdded(const char* fileName, const char* reason) {
    std::fprintf(stderr, "%s: not added, %s.\n", fileName, reason);
}

}  // namespace GAME
