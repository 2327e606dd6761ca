#include "ArchiveFixture.h"

#include <fstream>
#include <random>

#include <lz4.h>
#include <zlib.h>

namespace test {
namespace {

void PutU32(std::string& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

}  // namespace

std::uint32_t Adler32(const std::string& bytes) {
    uLong a = adler32(0, nullptr, 0);
    return static_cast<std::uint32_t>(
        adler32(a, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

std::string CompressibleBytes(std::size_t size) {
    std::string out(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        out[i] = static_cast<char>("brannock packs game data "[i % 25] + (i / 4096) % 3);
    return out;
}

std::string RandomBytes(std::size_t size, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::string out(size, '\0');
    for (char& c : out) c = static_cast<char>(random());
    return out;
}

void ArchiveFixture::AddStored(const std::string& name, const std::string& contents, std::uint64_t fileTime) {
    Record record;
    record.flags = 1;
    record.offset = DataEnd();
    record.size = record.expandedSize = static_cast<std::uint32_t>(contents.size());
    record.checksum = Adler32(contents);
    record.fileTime = fileTime;
    record.name = name;
    data += contents;
    records.push_back(record);
}

void ArchiveFixture::AddCompressed(const std::string& name, const std::string& contents, bool allRaw) {
    const std::size_t blockSize = 262144;
    Record record;
    record.flags = 3;
    record.offset = DataEnd();
    record.expandedSize = static_cast<std::uint32_t>(contents.size());
    record.checksum = Adler32(contents);
    record.name = name;
    std::string packed(LZ4_compressBound(blockSize), '\0');
    for (std::size_t at = 0; at < contents.size(); at += blockSize) {
        const std::size_t length = std::min(blockSize, contents.size() - at);
        const int n = LZ4_compress_default(contents.data() + at, packed.data(), static_cast<int>(length),
                                           static_cast<int>(packed.size()));
        Block block{DataEnd(), 0, static_cast<std::uint32_t>(length)};
        if (!allRaw && n > 0 && static_cast<std::size_t>(n) < length) {
            block.compressedSize = static_cast<std::uint32_t>(n);
            data.append(packed.data(), static_cast<std::size_t>(n));
        } else {
            block.compressedSize = block.expandedSize;
            data.append(contents, at, length);
        }
        record.size += block.compressedSize;
        record.blocks.push_back(block);
    }
    records.push_back(record);
}

void ArchiveFixture::AddCompressedSized(const std::string& name, std::uint32_t expandedSize, std::uint32_t storedSize) {
    const std::uint32_t blockSize = 262144;
    Record record;
    record.flags = 3;
    record.offset = DataEnd();
    record.size = storedSize;
    record.expandedSize = expandedSize;
    record.name = name;
    const std::uint32_t numBlocks = (expandedSize + blockSize - 1) / blockSize;
    for (std::uint32_t b = 0; b < numBlocks; ++b) {
        const std::uint32_t expanded = b + 1 < numBlocks ? blockSize : expandedSize - b * blockSize;
        const std::uint32_t stored =
            b + 1 < numBlocks ? storedSize / numBlocks : storedSize - (numBlocks - 1) * (storedSize / numBlocks);
        record.blocks.push_back(Block{DataEnd(), stored, expanded});
        data.append(stored, 'z');
    }
    records.push_back(record);
}

void ArchiveFixture::AddFree(std::uint32_t size) {
    Record record;
    record.offset = DataEnd();
    record.size = size;
    data.append(size, '\0');
    records.push_back(record);
}

std::string ArchiveFixture::Bytes() const {
    std::string blockTable, nameTable, entryTable;
    std::uint32_t numBlocks = 0;
    for (const Record& r : records) {
        PutU32(entryTable, r.flags);
        PutU32(entryTable, r.offset);
        PutU32(entryTable, r.size);
        PutU32(entryTable, r.expandedSize);
        PutU32(entryTable, r.checksum);
        PutU32(entryTable, static_cast<std::uint32_t>(r.fileTime));
        PutU32(entryTable, static_cast<std::uint32_t>(r.fileTime >> 32));
        PutU32(entryTable, static_cast<std::uint32_t>(r.blocks.size()));
        PutU32(entryTable, numBlocks);
        PutU32(entryTable, static_cast<std::uint32_t>(r.name.size()));
        PutU32(entryTable, static_cast<std::uint32_t>(nameTable.size()));
        for (const Block& b : r.blocks) {
            PutU32(blockTable, b.offset);
            PutU32(blockTable, b.compressedSize);
            PutU32(blockTable, b.expandedSize);
        }
        numBlocks += static_cast<std::uint32_t>(r.blocks.size());
        if (r.flags & 1) {
            nameTable += r.name;
            nameTable.push_back('\0');
        }
    }
    std::string header("ARC\0", 4);
    PutU32(header, 3);
    PutU32(header, static_cast<std::uint32_t>(records.size()));
    PutU32(header, numBlocks);
    PutU32(header, numBlocks * 12);
    PutU32(header, static_cast<std::uint32_t>(nameTable.size()));
    PutU32(header, DataEnd());
    header.resize(2048, '\0');
    return header + data + blockTable + nameTable + entryTable;
}

void ArchiveFixture::WriteTo(const std::string& path) const {
    const std::string bytes = Bytes();
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace test
