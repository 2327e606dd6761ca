// The parts of the file-system layer that are the same on every system.
#include "platform/FileSystem.h"

#include <algorithm>

namespace platform {
namespace {

// Seconds from 1601-01-01 to 1970-01-01.
constexpr std::int64_t unixEpochInFileTimeSeconds = 11644473600LL;

}  // namespace

std::string ToNativePath(const char* path) {
    std::string native = path != nullptr ? path : "";
    std::replace(native.begin(), native.end(), '\\', '/');
    return native;
}

FileTime FileTimeFromUnix(std::int64_t seconds, std::int64_t nanoseconds) {
    return static_cast<FileTime>((seconds + unixEpochInFileTimeSeconds) * 10000000LL + nanoseconds / 100);
}

}  // namespace platform
