// Questions about paths, directories and the current directory. Paths may use '\' or '/'.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

/// A FILETIME value: 100-nanosecond ticks since 1601-01-01 UTC.
using FileTime = std::uint64_t;

/// Converts a POSIX time (seconds and nanoseconds since 1970-01-01 UTC) to a FileTime.
FileTime FileTimeFromUnix(std::int64_t seconds, std::int64_t nanoseconds);

struct FileAttributes {
    bool isDirectory = false;
    bool isRegularFile = false;  // false for directories, FIFOs, sockets, devices, dangling links
    std::uint64_t size = 0;
    FileTime lastWriteTime = 0;
    // Which file this is, whatever path or link led to it: equal for two paths to the same file.
    std::uint64_t volume = 0;
    std::uint64_t fileId = 0;
};

/// Gives false when nothing exists at `path`; otherwise fills `*attributes`.
bool GetFileAttributes(const char* path, FileAttributes* attributes);

/// True when `path` itself is a symbolic link (or, on Windows, another reparse point such as a
/// junction), dangling or not; nothing is followed.
bool IsSymbolicLink(const char* path);

/// True when the calling process may write the existing file at `path` (its permissions and a
/// read-only volume both count).
bool CanWriteFile(const char* path);

/// Creates one directory (its parent must exist). Gives true when a directory exists at `path`
/// afterwards, also when it existed before.
bool CreateDirectory(const char* path);

/// Gives the current directory in `*path`.
bool GetCurrentDirectory(std::string* path);

/// Makes `path` the current directory.
bool SetCurrentDirectory(const char* path);

/// One entry found by FindFiles.
struct FoundFile {
    std::string name;  // the entry's own name, without its directory
    FileAttributes attributes;
};

/// Lists the entries of a directory whose names match a wildcard. `pattern` is a directory part
/// (up to the last separator, possibly none, meaning the current directory) followed by a name
/// pattern, as in "textures/*.*" or "data\\a*.arc". The entries, "." and ".." among them when
/// they match, come in the order of CompareFoundNames. Gives false when the directory cannot be
/// read; a directory without matches gives true and no entries.
bool FindFiles(const char* pattern, std::vector<FoundFile>* found);

/// The enumeration order: names compared byte by byte after ASCII upper-casing, ties broken by
/// plain byte order. Gives a negative, zero or positive value.
int CompareFoundNames(const std::string& a, const std::string& b);

/// Matches `name` against `pattern`: '*' any run of characters, '?' exactly one, other
/// characters equal after ASCII case folding. "*.*" matches every name.
bool MatchWildcard(const char* pattern, const char* name);

/// Turns every '\' of a path into '/'.
std::string ToNativePath(const char* path);

}  // namespace platform
