// A long seeded run of additions, removals, compactions, closes and reopens, checked after
// every step against a model of what the archive should hold, and after every close against
// the promises of the file format.
#include <cstring>
#include <map>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "EditFixture.h"

namespace {

using GAME::Archive;

std::uint32_t U32(const std::string& bytes, std::uint64_t at) {
    std::uint32_t v;
    std::memcpy(&v, bytes.data() + at, 4);
    return v;
}

// Checks a closed archive's bytes without the archive code.
void CheckFormat(const std::string& bytes) {
    ASSERT_GE(bytes.size(), 2048u);
    const std::uint32_t numFiles = U32(bytes, 8), numBlocks = U32(bytes, 12), blockTableSize = U32(bytes, 16),
                        nameTableSize = U32(bytes, 20), indexOffset = U32(bytes, 24);
    EXPECT_EQ(blockTableSize, numBlocks * 12);
    ASSERT_EQ(bytes.size(), std::uint64_t(indexOffset) + blockTableSize + nameTableSize + std::uint64_t(numFiles) * 44);
    const std::uint64_t entries = std::uint64_t(indexOffset) + blockTableSize + nameTableSize;
    std::uint64_t dataEnd = 2048, blocksSeen = 0, namesSeen = 0;
    for (std::uint32_t i = 0; i < numFiles; ++i) {
        const std::uint64_t at = entries + 44 * i;
        const std::uint32_t flags = U32(bytes, at), offset = U32(bytes, at + 4), size = U32(bytes, at + 8),
                            expanded = U32(bytes, at + 12), blocks = U32(bytes, at + 28), first = U32(bytes, at + 32),
                            nameLength = U32(bytes, at + 36), nameOffset = U32(bytes, at + 40);
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
                EXPECT_EQ(U32(bytes, block), next);
                next += U32(bytes, block + 4);
                compressed += U32(bytes, block + 4);
                expandedSum += U32(bytes, block + 8);
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

class ArchiveModel : public test::EditFixture {
protected:
    std::string MakeContents(std::mt19937& random) {
        static const std::size_t sizes[] = {0, 1, 17, 4095, 4097, 262143, 262144, 262145, 600001};
        const std::size_t size = random() % 3 == 0 ? sizes[random() % 9] : random() % 20000;
        return random() % 2 ? test::CompressibleBytes(size) : test::RandomBytes(size, random());
    }

    void CheckAgainstModel() {
        unsigned inUse = 0;
        for (unsigned i = 0; i < archive->GetNumFiles(); ++i)
            if (Entry(static_cast<int>(i)).flags & Archive::fileFlagInUse) ++inUse;
        ASSERT_EQ(inUse, model.size());
        for (const auto& [name, contents] : model) {
            const int index = archive->FindFile(name.c_str());
            ASSERT_GE(index, 0) << name;
            ASSERT_EQ(Contents(index), contents) << name;
            ASSERT_EQ(Entry(index).checksum, test::Adler32(contents)) << name;
        }
    }

    std::map<std::string, std::string> model;
};

TEST_F(ArchiveModel, SeededEditingSequenceKeepsContentsAndFormat) {
    const unsigned seed = testing::UnitTest::GetInstance()->random_seed();
    SCOPED_TRACE("seed = " + std::to_string(seed));
    std::mt19937 random(seed);
    OpenEdit();
    for (int step = 0; step < 400; ++step) {
        const unsigned action = random() % 100;
        if (action < 55) {
            const std::string name = "d" + std::to_string(random() % 4) + "/f" + std::to_string(random() % 60);
            const std::string contents = MakeContents(random);
            Loose(name, contents);
            const int index = archive->AddFile(name.c_str(), static_cast<int>(random() % 10));
            if (model.count(name)) {
                EXPECT_EQ(index, -1);
            } else {
                EXPECT_GE(index, 0);
                model[name] = contents;
            }
        } else if (action < 85 && !model.empty()) {
            auto it = model.begin();
            std::advance(it, random() % model.size());
            archive->RemoveFile(archive->FindFile(it->first.c_str()));
            model.erase(it);
        } else if (action < 92) {
            archive->Compact();
            for (unsigned i = 0; i < archive->GetNumFiles(); ++i) ASSERT_NE(Entry(static_cast<int>(i)).flags, 0u);
        } else {
            archive->Close(false);
            ASSERT_FALSE(archive->HasWriteFailed());
            CheckFormat(test::ReadWholeFile("a.arc"));
            if (random() % 2) {
                CloseAndRead();
                CheckAgainstModel();
                archive->Close(false);
            }
            OpenEdit();
        }
        CheckAgainstModel();
        if (HasFatalFailure()) return;
    }
    CloseAndRead();
    CheckAgainstModel();
    archive->Close(false);
    CheckFormat(test::ReadWholeFile("a.arc"));
}

}  // namespace
