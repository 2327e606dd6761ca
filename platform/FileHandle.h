// The operating system's handle of an open file, as an opaque value of our own.
#pragma once

#include <cstdint>

namespace platform {

/// An open file. Only the functions of platform/File.h make or use one.
using FileHandle = std::intptr_t;

/// The value of a handle that refers to no file.
constexpr FileHandle invalidFileHandle = -1;

}  // namespace platform
