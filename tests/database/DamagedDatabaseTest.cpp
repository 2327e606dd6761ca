// Databases cut short or with flipped bits: loading and exporting every copy must stay inside
// the image, the payloads and the string table. Passing means no crash and no sanitizer report.
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "DatabaseFixture.h"
#include "TestSupport.h"
#include "database/Database.h"

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

}  // namespace
