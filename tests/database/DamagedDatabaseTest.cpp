// Databases cut short or with flipped bits: loading and exporting every copy must stay inside
// the image, the payloads and the string table. Passing means no crash and no sanitizer report.
#include <filesystem>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "DatabaseFixture.h"
#include "TestSupport.h"
#include "database/Database.h"
#include "tool/DatabaseCommands.h"

namespace {

TEST(DamagedDatabase, TruncatedAndBitFlippedCopiesExportSafely) {
    test::DatabaseFixture fixture;
    fixture.AddRecord("config/a.rec", fixture.Floats("scale", {1.0f, 2.0f}) + fixture.Texts("label", {"lamp"}),
                      "TypeA");
    fixture.AddRecord("config/b.rec", fixture.Ints("count", {-3, 12}) + fixture.Bools("on", {1}));
    fixture.AddRecord("c.rec", "");
    test::ScratchDir dir;
    test::CurrentDirectory here(dir.Path());
    const unsigned seed = testing::UnitTest::GetInstance()->random_seed();
    SCOPED_TRACE("seed = " + std::to_string(seed));
    std::mt19937 random(seed);
    int exported = 0;

    auto exportBytes = [&](const std::string& bytes) {
        GAME::Database database;
        if (!database.Load(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size())) return;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        GAME::ExportAllRecords(database, "out/");
        database.WriteRecordText("one.txt", "config/a.rec");
        exported += !testing::internal::GetCapturedStdout().empty();
        testing::internal::GetCapturedStderr();
    };

    for (bool compressed : {false, true}) {
        const std::string sound = fixture.Bytes(compressed, compressed);
        for (std::size_t length = 0; length <= sound.size(); ++length) exportBytes(sound.substr(0, length));
        for (int round = 0; round < 1500; ++round) {
            std::string bytes = sound;
            for (int flips = 1 + static_cast<int>(random() % 4); flips > 0; --flips) {
                const std::size_t at = random() % bytes.size();
                bytes[at] = static_cast<char>(bytes[at] ^ (1u << (random() % 8)));
            }
            exportBytes(bytes);
        }
    }
    EXPECT_GT(exported, 500);
}

// A database file longer than the tool loads (here a sparse one, which costs no disk) is refused
// by its length, before any of it is read, and left as it was.
TEST(DamagedDatabase, FileLongerThanTheToolLoadsIsRefused) {
    test::DatabaseFixture fixture;
    fixture.AddRecord("config/a.rec", fixture.Ints("count", {1}));
    test::ScratchDir dir;
    const std::string path = dir.File("db.bin");
    test::WriteWholeFile(path, fixture.Bytes(false, false));
    {
        GAME::Database database;
        EXPECT_TRUE(tool::LoadDatabase(path.c_str(), database));
    }
    test::ResizeFile(path, tool::largestDatabaseBytes + 1);
    GAME::Database database;
    EXPECT_FALSE(tool::LoadDatabase(path.c_str(), database));
    EXPECT_TRUE(database.GetRecordNames().empty());

    test::ResizeFile(path, std::uint64_t(30) << 30);
    EXPECT_FALSE(tool::LoadDatabase(path.c_str(), database));
    EXPECT_EQ(std::filesystem::file_size(path), std::uint64_t(30) << 30);
}

}  // namespace
