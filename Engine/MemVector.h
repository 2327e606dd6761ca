// The engine's growable array, as used by the exported interface.
#pragma once

#include <vector>

namespace mem {

/// Behaves as the standard vector: size, reserve and append are what callers use.
template <typename T>
using vector = std::vector<T>;

}  // namespace mem
