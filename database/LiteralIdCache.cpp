#include "database/LiteralIdCache.h"

#include <cmath>
#include <cstdint>

namespace GAME {

void LiteralIdCache::Reset(std::int64_t count) {
    if (count < 0) count = 0;
    const std::int64_t n = count / 4;
    int bits = n == 0 ? 0 : static_cast<int>(std::log(static_cast<double>(n)) * 1.4426950408889634);
    bits = bits < 2 ? 2 : (bits > 16 ? 16 : bits);
    buckets.assign(std::size_t(1) << bits, -1);
    mask = static_cast<std::uint32_t>(buckets.size() - 1);
    nodes.clear();
    capacity = static_cast<std::uint32_t>(count / 2);
    nodes.reserve(capacity);
}

std::uint32_t LiteralIdCache::Bucket(const void* address) const {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(address) >> shift) & mask;
}

int* LiteralIdCache::Find(const void* address) {
    if (buckets.empty()) return nullptr;
    for (int at = buckets[Bucket(address)]; at >= 0; at = nodes[at].next)
        if (nodes[at].address == address) return &nodes[at].id;
    return nullptr;
}

void LiteralIdCache::Add(const void* address, int id) {
    if (buckets.empty()) return;
    if (nodes.size() == capacity) {
        capacity = capacity == 0 ? 1 : capacity * 2;
        nodes.reserve(capacity);
    }
    const std::uint32_t bucket = Bucket(address);
    nodes.push_back(Node{address, id, buckets[bucket]});
    buckets[bucket] = static_cast<int>(nodes.size() - 1);
}

}  // namespace GAME
