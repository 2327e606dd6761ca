// Rules for paths built from names that come out of archives and databases; the same on every
// operating system. '\' counts as a separator everywhere, as the file layer treats it so.
#pragma once

#include <string>

namespace platform {

/// Creates every directory along `path`, outermost first: at each separator that follows a
/// character that is not one, and at the end. Failures (a directory that exists, a drive
/// designator) are ignored.
void CreateDirectories(const char* path);

/// `folder` and `name` joined by a '/', which is left out when the folder is empty or already
/// ends in one.
std::string JoinPath(const std::string& folder, const std::string& name);

/// The folder that holds the file at `path`: what comes before its last separator ('\\' or
/// '/'), "/" for a file at the root and "." for a name without a folder.
std::string ParentFolder(const std::string& path);

/// True when `name` stays inside the folder it is placed under: it is not empty, does not start
/// with a separator, and none of its components is "..".
bool IsContainedRelativePath(const std::string& name);

}  // namespace platform
