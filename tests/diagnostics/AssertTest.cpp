// The assertion check and its report.
#include <algorithm>
#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "diagnostics/Assert.h"
#include "diagnostics/AssertDialog.h"

namespace {

bool FailingSite(int value) { return GAME_CHECK_MSG(value == 1, "one expected"); }

bool SiteWithoutMessage(int value) { return GAME_CHECK(value > 0); }

TEST(Assert, PassingChecksSayNothingAndFailingOnesGiveFalse) {
    std::string reports = test::CaptureStderr([] {
        EXPECT_TRUE(FailingSite(1));
        EXPECT_TRUE(SiteWithoutMessage(5));
    });
    EXPECT_EQ(reports, "");

    reports = test::CaptureStderr([] { EXPECT_FALSE(FailingSite(2)); });
    // The recorded path is relative to the source tree.
    EXPECT_EQ(reports.rfind("tests/diagnostics/AssertTest.cpp(", 0), 0u) << reports;
    EXPECT_NE(reports.find(") : [Assert] (value == 1) one expected\n"), std::string::npos) << reports;

    // Without a message the line still has the space before its end.
    reports = test::CaptureStderr([] { EXPECT_FALSE(SiteWithoutMessage(0)); });
    EXPECT_NE(reports.find(") : [Assert] (value > 0) \n"), std::string::npos) << reports;

    // Each failure of a site that was only ignored is reported again.
    reports = test::CaptureStderr([] {
        FailingSite(3);
        FailingSite(4);
    });
    EXPECT_EQ(std::count(reports.begin(), reports.end(), '\n'), 2) << reports;
}

TEST(Assert, ConditionIsEvaluatedOnce) {
    int evaluations = 0;
    test::CaptureStderr([&] { EXPECT_FALSE(GAME_CHECK(++evaluations == 0)); });
    EXPECT_EQ(evaluations, 1);
}

TEST(AssertReport, LongLinesAreCutTo1024Characters) {
    const std::string expression(3000, 'e');
    bool ignoreAlways = false;
    std::string reports = test::CaptureStderr(
        [&] { EXPECT_FALSE(diag::AssertReport(expression.c_str(), nullptr, "f.cpp", 7, &ignoreAlways)); });
    EXPECT_EQ(reports.size(), 1023u);
    EXPECT_EQ(reports.rfind("f.cpp(7) : [Assert] (eee", 0), 0u);
    EXPECT_FALSE(ignoreAlways);
}

TEST(AssertReport, LastErrorOfTheFailedOperationSurvivesTheReport) {
    errno = ENOENT;
    bool ignoreAlways = false;
    test::CaptureStderr([&] { diag::AssertReport("x", "m", "f.cpp", 1, &ignoreAlways); });
    EXPECT_EQ(errno, ENOENT);
}

TEST(AssertDialog, AnswersAndWhatTheyDo) {
    bool ignoreAlways = false;
    EXPECT_FALSE(diag::ActOnAssertChoice(diag::assertChoiceIgnore, &ignoreAlways));
    EXPECT_FALSE(ignoreAlways);
    EXPECT_TRUE(diag::ActOnAssertChoice(diag::assertChoiceDebug, &ignoreAlways));
    EXPECT_TRUE(diag::ActOnAssertChoice(0, &ignoreAlways));  // a dialog that could not be shown
    EXPECT_FALSE(diag::ActOnAssertChoice(diag::assertChoiceIgnoreAlways, &ignoreAlways));
    EXPECT_TRUE(ignoreAlways);
}

void ExitHandler(void* context) { std::fprintf(stderr, "closing %s\n", static_cast<const char*>(context)); }

void ExitThroughTheDialog() {
    static char first[] = "first.arc", second[] = "second.arc", gone[] = "gone.arc";
    diag::AddAssertExitHandler(ExitHandler, first);
    diag::AddAssertExitHandler(ExitHandler, gone);
    diag::AddAssertExitHandler(ExitHandler, second);
    diag::RemoveAssertExitHandler(ExitHandler, gone);
    bool ignoreAlways = false;
    diag::ActOnAssertChoice(diag::assertChoiceExit, &ignoreAlways);
}

TEST(AssertDialogDeathTest, ExitRunsTheHandlersThenEndsWithStatusZero) {
    EXPECT_EXIT(ExitThroughTheDialog(), testing::ExitedWithCode(0), "closing second.arc\nclosing first.arc\n");
}

TEST(AssertDialog, FileNameAndClipboardText) {
    EXPECT_EQ(diag::AssertSourceFileName("..\\Engine\\Archive.cpp"), "Archive.cpp");
    EXPECT_EQ(diag::AssertSourceFileName("tool/archivewriter.cpp"), "archivewriter.cpp");
    EXPECT_EQ(diag::AssertSourceFileName("plain.cpp"), "plain.cpp");
    EXPECT_EQ(diag::FormatAssertClipboardText("brannock", "Archive.cpp", "42", "dest", nullptr),
              "Application: brannock\r\nFilename: Archive.cpp (42)\r\nExpression: dest\r\nMessage: \r\n");
    EXPECT_EQ(diag::FormatAssertClipboardText("a", "b", "1", "0", "Invalid archive file."),
              "Application: a\r\nFilename: b (1)\r\nExpression: 0\r\nMessage: Invalid archive file.\r\n");
}

}  // namespace
