// A long seeded run of additions, removals, compactions, closes and reopens, checked after
// every step against a model of what the archive should hold, and after every close against
// the promises of the file format.
#include <map>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "ArchiveFormatCheck.h"
#include "EditFixture.h"

namespace {

using GAME::Archive;

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
            test::CheckArchiveFormat(test::ReadWholeFile("a.arc"));
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
    test::CheckArchiveFormat(test::ReadWholeFile("a.arc"));
}

}  // namespace
