#include "ArchiveFormatCheck.h"

#include <gtest/gtest.h>

#include "TestSupport.h"

namespace test {

std::uint64_t IndexEnd(const std::string& bytes) {
    if (bytes.size() < 2048) return 0;
    return std::uint64_t(U32At(bytes, 24)) + U32At(bytes, 16) + U32At(bytes, 20) + std::uint64_t(U32At(bytes, 8)) * 44;
}

void CheckArchiveFormat(const std::string& bytes) {
    ASSERT_GE(bytes.size(), 2048u);
    const std::uint32_t numFiles = U32At(bytes, 8), numBlocks = U32At(bytes, 12), blockTableSize = U32At(bytes, 16),
                        nameTableSize = U32At(bytes, 20), indexOffset = U32At(bytes, 24);
    EXPECT_EQ(blockTableSize, numBlocks * 12);
    ASSERT_EQ(bytes.size(), std::uint64_t(indexOffset) + blockTableSize + nameTableSize + std::uint64_t(numFiles) * 44);
    const std::uint64_t entries = std::uint64_t(indexOffset) + blockTableSize + nameTableSize;
    std::uint64_t dataEnd = 2048, blocksSeen = 0, namesSeen = 0;
    for (std::uint32_t i = 0; i < numFiles; ++i) {
        const std::uint64_t at = entries + 44 * i;
        const std::uint32_t flags = U32At(bytes, at), offset = U32At(bytes, at + 4), size = U32At(bytes, at + 8),
                            expanded = U32At(bytes, at + 12), blocks = U32At(bytes, at + 28),
                            first = U32At(bytes, at + 32), nameLength = U32At(bytes, at + 36),
                            nameOffset = U32At(bytes, at + 40);
        EXPECT_GE(offset, dataEnd) << "record " << i;
        dataEnd = std::uint64_t(offset) + size;
        EXPECT_EQ(first, blocksSeen);
        EXPECT_EQ(nameOffset, namesSeen);
        if (flags & 1) {
            namesSeen += nameLength + 1;
            EXPECT_EQ(bytes[indexOffset + blockTableSize + nameOffset + nameLength], '\0');
        }
        if (flags == 1) {
            EXPECT_EQ(size, expanded);
        }
        if (flags == 3) {
            EXPECT_EQ(blocks, (expanded + 262143u) / 262144u);
            std::uint64_t compressed = 0, expandedSum = 0, next = offset;
            for (std::uint32_t b = 0; b < blocks; ++b) {
                const std::uint64_t block = indexOffset + 12 * (first + b);
                EXPECT_EQ(U32At(bytes, block), next);
                next += U32At(bytes, block + 4);
                compressed += U32At(bytes, block + 4);
                expandedSum += U32At(bytes, block + 8);
            }
            EXPECT_EQ(compressed, size);
            EXPECT_EQ(expandedSum, expanded);
        }
        if (flags == 0) {
            EXPECT_EQ(blocks + nameLength + expanded, 0u);
        }
        blocksSeen += blocks;
    }
    EXPECT_EQ(blocksSeen, numBlocks);
    EXPECT_EQ(namesSeen, nameTableSize);
    EXPECT_EQ(indexOffset, dataEnd);
}

}  // namespace test
