// Writes archive files byte by byte for tests, independently of the archive code under test.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace test {

class ArchiveFixture {
public:
    /// A stored file.
    void AddStored(const std::string& name, const std::string& contents, std::uint64_t fileTime = 0);

    /// A compressed file in blocks of 262144 bytes: LZ4 where that is smaller, raw otherwise,
    /// or raw throughout with `allRaw`.
    void AddCompressed(const std::string& name, const std::string& contents, bool allRaw = false);

    /// A compressed file of `expandedSize` bytes held in `storedSize` bytes of filler, in
    /// blocks whose sizes add up as the format requires; its data cannot be read back.
    void AddCompressedSized(const std::string& name, std::uint32_t expandedSize, std::uint32_t storedSize);

    /// A free record describing a hole of `size` bytes.
    void AddFree(std::uint32_t size);

    /// The archive's bytes.
    std::string Bytes() const;

    /// Writes the archive to `path`.
    void WriteTo(const std::string& path) const;

private:
    struct Block {
        std::uint32_t offset, compressedSize, expandedSize;
    };
    struct Record {
        std::uint32_t flags = 0, offset = 0, size = 0, expandedSize = 0, checksum = 0;
        std::uint64_t fileTime = 0;
        std::string name;
        std::vector<Block> blocks;
    };

    std::uint32_t DataEnd() const { return 2048 + static_cast<std::uint32_t>(data.size()); }

    std::string data;  // the file data region
    std::vector<Record> records;
};

/// Adler-32 as zlib computes it.
std::uint32_t Adler32(const std::string& bytes);

/// Bytes that LZ4 compresses well, and bytes that it cannot, both reproducible.
std::string CompressibleBytes(std::size_t size);
std::string RandomBytes(std::size_t size, std::uint32_t seed);

}  // namespace test
