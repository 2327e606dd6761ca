// Growing memory without exceptions: every allocation whose size comes from a file, a count or
// a loose file goes through these, so that a huge claim is a failure to report, not a throw.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <stdexcept>
#include <utility>

namespace mem {

/// An array of `count` default-initialised items (plain types are left as memory held them),
/// or null when memory runs out.
template <typename T>
std::unique_ptr<T[]> TryNewArray(std::uint64_t count) {
    if (count > SIZE_MAX / sizeof(T)) return nullptr;
    return std::unique_ptr<T[]>(new (std::nothrow) T[static_cast<std::size_t>(count)]);
}

/// Runs `grow`, a change of a standard container, and gives false, the container left as the
/// standard leaves it after a throw, when memory runs out or the size is beyond its reach.
template <typename Grow>
bool GrowsWithoutThrowing(Grow grow) {
    try {
        grow();
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
}

/// Reserves room for `count` items, or gives false, leaving `items` as they were.
template <typename Vector>
bool TryReserve(Vector& items, std::uint64_t count) {
    return GrowsWithoutThrowing([&] { items.reserve(static_cast<typename Vector::size_type>(count)); });
}

/// Gives `items` `count` items, or gives false, leaving them as they were.
template <typename Vector>
bool TryResize(Vector& items, std::uint64_t count) {
    return GrowsWithoutThrowing([&] { items.resize(static_cast<typename Vector::size_type>(count)); });
}

/// Makes `items` a copy of [first, last), or gives false, leaving them empty or as they were.
template <typename Vector, typename Iterator>
bool TryAssign(Vector& items, Iterator first, Iterator last) {
    return GrowsWithoutThrowing([&] { items.assign(first, last); });
}

/// Appends `item`, or gives false when memory runs out.
template <typename Vector, typename Item>
bool TryAppend(Vector& items, Item&& item) {
    return GrowsWithoutThrowing([&] { items.push_back(std::forward<Item>(item)); });
}

}  // namespace mem
