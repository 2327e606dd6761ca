// The report over many archives, byte for byte.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ArchiveFixture.h"
#include "TestSupport.h"
#include "platform/FaultInjection.h"
#include "tool/TotalStatistics.h"

namespace {

const std::string rule = std::string(78, '=') + "\r\n";
const std::string typeHeader =
    "\r\n" + rule + " Type      Count       Size    Compressed Size    Compression   Avg. Size\r\n" + rule;
const std::string archiveHeader = rule + " Archive File       Num Files       File Size      Fragmentation\r\n" + rule;

class TotalStatistics : public testing::Test {
protected:
    // Runs the report over `patterns` and gives its bytes.
    std::string Report(std::vector<std::string> patterns) {
        std::vector<char*> arguments;
        for (std::string& p : patterns) arguments.push_back(p.data());
        tool::WriteTotalStatistics("report.txt", static_cast<int>(arguments.size()), arguments.data());
        return test::ReadWholeFile("report.txt");
    }

    test::ScratchDir dir;
    test::CurrentDirectory here{dir.Path()};
};

TEST_F(TotalStatistics, WorkedExample) {
    test::ArchiveFixture fixture;
    fixture.AddCompressedSized("a.tex", 3 << 20, 1 << 20);
    fixture.AddStored("b.tex", std::string(1 << 20, 'b'));
    fixture.AddStored("sounds/c.wav", std::string(1 << 20, 'c'));
    std::filesystem::create_directory("data");
    fixture.WriteTo("data/one.arc");
    const auto size = std::filesystem::file_size("data/one.arc");
    char sizeText[32];
    std::snprintf(sizeText, sizeof sizeText, "%15.2f",
                  static_cast<double>(static_cast<float>(size) * 9.5367431640625e-07f));

    EXPECT_EQ(Report({"data/*.arc"}),
              typeHeader +
                  " .tex          2       4.00 MB         2.00 MB        50.0      2048.0 KB\r\n"
                  " .wav          1       1.00 MB         1.00 MB         0.0      1024.0 KB\r\n" +
                  rule + "Total          3       5.00 MB         3.00 MB        40.0      1706.7 KB\r\n\r\n\r\n" +
                  archiveHeader + "one.arc                     3 " + sizeText + " MB,      0.0%\r\n");
}

TEST_F(TotalStatistics, TypesOrderingEmptyTypeFragmentationAndRepeats) {
    test::ArchiveFixture first;
    first.AddStored("z.bbb", "1234");
    first.AddStored("y.aaa", "5678");
    first.AddStored("readme", "12");
    first.AddStored("data.old/readme", "1");
    for (int i = 0; i < 4; ++i) first.AddFree(0);
    first.AddStored("x.aaa", "");
    first.AddStored("w.ccc", "");
    first.WriteTo("a1.arc");
    test::ArchiveFixture empty;
    empty.WriteTo("a2.arc");
    test::WriteWholeFile("a3.arc", "not an archive");

    std::string report;
    test::CaptureStderr([&] { report = Report({"a*.arc", "*1.arc"}); });
    // Found twice, counted twice; equal totals in ascending type order; the empty type is
    // five spaces; an empty type's 0/0 compression prints as 0.
    EXPECT_NE(
        report.find(typeHeader + " .aaa          4       0.00 MB         0.00 MB         0.0         0.0 KB\r\n"
                                 " .bbb          2       0.00 MB         0.00 MB         0.0         0.0 KB\r\n"
                                 "               2       0.00 MB         0.00 MB         0.0         0.0 KB\r\n"
                                 ".old/readme          2       0.00 MB         0.00 MB         0.0         0.0 KB\r\n"
                                 " .ccc          2       0.00 MB         0.00 MB         0.0         0.0 KB\r\n"),
        std::string::npos)
        << report;
    EXPECT_NE(report.find("Total         12       0.00 MB         0.00 MB         0.0         0.0 KB\r\n"),
              std::string::npos)
        << report;
    const std::size_t archives = report.find(archiveHeader);
    ASSERT_NE(archives, std::string::npos);
    const std::string lines = report.substr(archives + archiveHeader.size());
    EXPECT_EQ(lines.substr(0, 20), "a1.arc              ");
    EXPECT_EQ(lines.substr(0, 29), "a1.arc                     10");
    EXPECT_NE(lines.find(" MB,     40.0%\r\na2.arc                      0 "), std::string::npos) << lines;
    EXPECT_NE(lines.find(" MB,      0.0%\r\na1.arc"), std::string::npos) << lines;
    EXPECT_EQ(lines.find("a3.arc"), std::string::npos);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 3);  // a1, a2, then a1 again
}

TEST_F(TotalStatistics, PatternsWithoutWildcardsOrMatches) {
    std::string errors = test::CaptureStderr([&] { EXPECT_EQ(Report({"*.arc", "plain.arc"}), ""); });
    EXPECT_EQ(errors, "Invalid path: plain.arc\n");
    EXPECT_EQ(Report({"nothing*.arc", "missing/*.arc"}),
              typeHeader + rule +
                  "Total          0       0.00 MB         0.00 MB         0.0         0.0 KB\r\n\r\n\r\n" +
                  archiveHeader);
}

TEST_F(TotalStatistics, ReportIsWrittenThroughTheFileLayer) {
    platform::CountFileCalls();
    const std::string report = Report({"*.arc"});
    const std::uint64_t writes = platform::Calls(platform::FileOperation::write);
    platform::DisarmFaults();
    EXPECT_FALSE(report.empty());
    EXPECT_GE(writes, 1u);
}

}  // namespace
