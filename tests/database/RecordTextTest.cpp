// Records written as text: the worked example, value rendering, the export loop and its
// refusals.
#include <string>

#include <gtest/gtest.h>

#include "DatabaseFixture.h"
#include "TestSupport.h"
#include "database/Database.h"
#include "platform/FaultInjection.h"

namespace {

using GAME::Database;

// The example record: scale 1.0;2.0, label lamp, count -3;12, enabled 1, tags with no values.
std::string WidgetPayload(test::DatabaseFixture& fixture) {
    return fixture.Floats("scale", {1.0f, 2.0f}) + fixture.Texts("label", {"lamp"}) + fixture.Ints("count", {-3, 12}) +
           fixture.Bools("enabled", {1}) + fixture.Texts("tags", {});
}

const char widgetText[] = "scale,1.000000;2.000000,\nlabel,lamp,\ncount,-3;12,\nenabled,1,\ntags,,\n";

class RecordText : public testing::Test {
protected:
    void Load(const test::DatabaseFixture& fixture, bool compressed) {
        const std::string bytes = fixture.Bytes(compressed, compressed);
        ASSERT_TRUE(database.Load(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()));
    }

    test::ScratchDir dir;
    test::CurrentDirectory here{dir.Path()};
    Database database;
};

TEST_F(RecordText, WorkedExampleUncompressedAndCompressed) {
    for (bool compressed : {false, true}) {
        test::DatabaseFixture fixture;
        fixture.AddRecord("config/sample/widget.rec", WidgetPayload(fixture), "WidgetType");
        Database db;
        const std::string bytes = fixture.Bytes(compressed, compressed);
        ASSERT_TRUE(db.Load(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()));
        testing::internal::CaptureStdout();
        EXPECT_TRUE(GAME::ExportAllRecords(db, "out/data/"));
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "(1/1) Extracting config/sample/widget.rec\n");
        EXPECT_EQ(test::ReadWholeFile("out/data/config/sample/widget.rec"), widgetText) << compressed;
        std::filesystem::remove_all("out");
    }
}

TEST_F(RecordText, ValueRendering) {
    test::DatabaseFixture fixture;
    fixture.AddRecord("v.rec", fixture.Floats("f", {0.1f, -2.5f, 3.0f}) + fixture.Bools("b", {7, 0}) +
                                   fixture.Ints("i", {-2147483647 - 1, 0}) + fixture.Texts("t", {"a,b;c\nd", ""}));
    Load(fixture, false);
    ASSERT_TRUE(database.WriteRecordText("v.txt", "v.rec"));
    EXPECT_EQ(test::ReadWholeFile("v.txt"), "f,0.100000;-2.500000;3.000000,\nb,1;0,\ni,-2147483648;0,\nt,a,b;c\nd;,\n");
}

TEST_F(RecordText, OneRecordFormWritesExactlyWhereAskedAndOnlyForTheExactName) {
    test::DatabaseFixture fixture;
    fixture.AddRecord("config/sample/widget.rec", WidgetPayload(fixture));
    fixture.AddRecord("empty.rec", "");
    Load(fixture, true);
    EXPECT_TRUE(database.WriteRecordText("result.txt", "config/sample/widget.rec"));
    EXPECT_EQ(test::ReadWholeFile("result.txt"), widgetText);
    EXPECT_EQ(database.WriteRecordFile("other.txt", "Config/Sample/Widget.rec"), GAME::RecordTextResult::notFound);
    EXPECT_FALSE(std::filesystem::exists("other.txt"));
    EXPECT_EQ(database.WriteRecordFile("missing/dir/x.txt", "config/sample/widget.rec"),
              GAME::RecordTextResult::notCreated);
    EXPECT_FALSE(database.WriteRecordText(".", "config/sample/widget.rec"));  // a directory
    EXPECT_TRUE(database.WriteRecordText("empty.txt", "empty.rec"));
    EXPECT_EQ(test::ReadWholeFile("empty.txt"), "");
    // A text that did not reach the disk is not reported as written.
    platform::ArmFault(platform::FileOperation::write, 1);
    EXPECT_EQ(database.WriteRecordFile("full.txt", "config/sample/widget.rec"), GAME::RecordTextResult::writeFailed);
    platform::DisarmFaults();
}

TEST_F(RecordText, DamagedFieldsEndTheRecordWithoutReadingPastIt) {
    test::DatabaseFixture fixture;
    const std::string good = fixture.Ints("ok", {1});
    std::string cut = fixture.Ints("cut", {1, 2, 3});
    cut.resize(cut.size() - 2);  // values run past the payload's end
    fixture.AddRecord("cut.rec", good + cut);
    fixture.AddRecord("type.rec", good + fixture.Field(9, "odd", {1}) + good);
    fixture.AddRecord("ids.rec", fixture.Field(2, "ok", {5000}) +
                                     std::string("\x00\x00\x01\x00\xFF\xFF\x00\x00\x07\x00\x00\x00", 12));
    fixture.AddRecord("tail.rec", good + "abc");
    Load(fixture, false);
    ASSERT_TRUE(database.WriteRecordText("cut.txt", "cut.rec"));
    EXPECT_EQ(test::ReadWholeFile("cut.txt"), "ok,1,\n");
    ASSERT_TRUE(database.WriteRecordText("type.txt", "type.rec"));
    EXPECT_EQ(test::ReadWholeFile("type.txt"), "ok,1,\n");
    // String ids without a text print as empty text.
    ASSERT_TRUE(database.WriteRecordText("ids.txt", "ids.rec"));
    EXPECT_EQ(test::ReadWholeFile("ids.txt"), "ok,,\n,7,\n");
    ASSERT_TRUE(database.WriteRecordText("tail.txt", "tail.rec"));
    EXPECT_EQ(test::ReadWholeFile("tail.txt"), "ok,1,\n");
}

TEST_F(RecordText, ExportPlacesEveryRecordAndRefusesEscapingNames) {
    test::DatabaseFixture fixture;
    fixture.AddRecord("a/b.rec", fixture.Ints("x", {1}));
    fixture.AddRecord("b.rec", fixture.Ints("y", {2}));
    fixture.AddRecord("../escape.rec", fixture.Ints("z", {3}));
    fixture.AddRecord("/abs.rec", fixture.Ints("z", {3}));
    fixture.AddRecord("Keep/Case.rec", fixture.Ints("z", {4}));
    Load(fixture, true);
    std::filesystem::create_directory("work");
    test::CurrentDirectory inWork("work");
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_FALSE(GAME::ExportAllRecords(database, ""));  // two records were refused
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(out, "(1/5) Extracting a/b.rec\n(2/5) Extracting b.rec\n(3/5) Extracting ../escape.rec\n"
                   "(4/5) Extracting /abs.rec\n(5/5) Extracting Keep/Case.rec\n");
    EXPECT_EQ(err, "record: ../escape.rec not exported, its name leaves the output folder.\n"
                   "record: /abs.rec not exported, its name leaves the output folder.\n");
    EXPECT_EQ(test::ReadWholeFile("a/b.rec"), "x,1,\n");
    EXPECT_EQ(test::ReadWholeFile("b.rec"), "y,2,\n");
    EXPECT_EQ(test::ReadWholeFile("Keep/Case.rec"), "z,4,\n");
    EXPECT_FALSE(std::filesystem::exists("../escape.rec"));
    EXPECT_FALSE(std::filesystem::exists("/abs.rec"));
}

}  // namespace
