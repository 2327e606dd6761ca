// Maps the address of a constant text of the program to the text's string id, so that repeated
// look-ups by the same constant skip hashing the text.
#pragma once

#include <cstdint>
#include <vector>

namespace GAME {

class LiteralIdCache {
public:
    /// Empties the cache and sizes it for a table of `count` strings: 2^bits buckets with bits
    /// the integer part of log2(count / 4), clamped to 2..16, and count / 2 node slots.
    void Reset(std::int64_t count);

    /// The node of `address`, or null.
    int* Find(const void* address);

    /// Adds a node for `address` at the head of its chain; the node array doubles when full.
    void Add(const void* address, int id);

    std::uint32_t BucketCount() const { return static_cast<std::uint32_t>(buckets.size()); }
    std::uint32_t Capacity() const { return capacity; }
    std::uint32_t Used() const { return static_cast<std::uint32_t>(nodes.size()); }

private:
    struct Node {
        const void* address;
        int id;
        int next;  // index of the next node of the chain, or -1
    };

    std::uint32_t Bucket(const void* address) const;

    static constexpr std::uint32_t shift = 2;  // addresses are used without their two low bits
    std::uint32_t mask = 0;
    std::uint32_t capacity = 0;
    std::vector<int> buckets;  // head node of each chain, or -1
    std::vector<Node> nodes;
};

}  // namespace GAME
