// Stored names chosen by a pattern: -extract with wildcards.
#pragma once

#include <string>

namespace tool {

/// True when `argument` holds a wildcard ('*' or '?').
bool IsNamePattern(const char* argument);

/// True when the stored name `name` matches `pattern`, both '/'-separated and compared a folder
/// at a time with ASCII case ignored. Within one component '*' matches any run of characters
/// and '?' any one (platform::MatchWildcard), so neither crosses a '/'; a component that is
/// "**" matches any number of whole components, none included: "textures/**" is every file below
/// textures, "**/*.tex" every .tex file.
bool MatchesNamePattern(const std::string& pattern, const std::string& name);

}  // namespace tool
