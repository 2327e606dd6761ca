// The assertion check and its report.
#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "diagnostics/Assert.h"
#include "diagnostics/AssertDialog.h"
#include "platform/FileSystem.h"
#include "platform/Process.h"

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

TEST(AssertDialog, AnswersAndWhatTheyDo) {
    bool ignoreAlways = false;
    EXPECT_FALSE(diag::ActOnAssertChoice(diag::assertChoiceIgnore, &ignoreAlways));
    EXPECT_FALSE(ignoreAlways);
    EXPECT_TRUE(diag::ActOnAssertChoice(diag::assertChoiceDebug, &ignoreAlways));
    EXPECT_TRUE(diag::ActOnAssertChoice(0, &ignoreAlways));  // any other result
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

// Answers the dialog with the queued results, in order, and keeps what each dialog showed. Like
// a real dialog, it changes the last-error value on the way.
std::deque<int> answers;
std::vector<platform::AssertDialogFields> shown;
std::vector<std::uint8_t> shownTemplate;

int ScriptedDialog(const std::vector<std::uint8_t>& dialogTemplate, const platform::AssertDialogFields& fields) {
    shown.push_back(fields);
    shownTemplate = dialogTemplate;
    platform::SetLastErrorValue(platform::GetLastErrorValue() + 1);
    if (answers.empty()) return 0;
    const int answer = answers.front();
    answers.pop_front();
    return answer;
}

class AnsweredDialog : public testing::Test {
protected:
    void SetUp() override {
        answers.clear();
        shown.clear();
        replaced = diag::ReplaceAssertDialogRunner(ScriptedDialog);
    }
    void TearDown() override { diag::ReplaceAssertDialogRunner(replaced); }

private:
    diag::AssertDialogRunner replaced = nullptr;
};

bool SiteToIgnore(int value) { return GAME_CHECK_MSG(value == 1, "ignored"); }

bool SiteToSilence(int value) { return GAME_CHECK_MSG(value == 1, "silenced"); }

TEST_F(AnsweredDialog, SiteFailingTwiceAfterIgnoreIsShownTwice) {
    answers = {diag::assertChoiceIgnore, diag::assertChoiceIgnore};
    const std::string reports = test::CaptureStderr([] {
        EXPECT_FALSE(SiteToIgnore(2));
        EXPECT_FALSE(SiteToIgnore(3));
    });
    EXPECT_EQ(std::count(reports.begin(), reports.end(), '\n'), 2) << reports;
    EXPECT_EQ(shown.size(), 2u);
}

TEST_F(AnsweredDialog, IgnoreAlwaysSilencesOnlyItsOwnSite) {
    answers = {diag::assertChoiceIgnoreAlways, diag::assertChoiceIgnore};
    std::string reports = test::CaptureStderr([] { EXPECT_FALSE(SiteToSilence(2)); });
    EXPECT_NE(reports.find("(value == 1) silenced\n"), std::string::npos) << reports;
    ASSERT_EQ(shown.size(), 1u);

    // The same site again: no line, no dialog, and the check still gives false.
    reports = test::CaptureStderr([] {
        EXPECT_FALSE(SiteToSilence(3));
        EXPECT_TRUE(SiteToSilence(1));
    });
    EXPECT_EQ(reports, "");
    EXPECT_EQ(shown.size(), 1u);

    // Another site still reports.
    reports = test::CaptureStderr([] { EXPECT_FALSE(SiteWithoutMessage(0)); });
    EXPECT_NE(reports.find("(value > 0) \n"), std::string::npos) << reports;
    EXPECT_EQ(shown.size(), 2u);
}

TEST_F(AnsweredDialog, FieldsOfACheckWithoutMessage) {
    answers = {diag::assertChoiceIgnore};
    test::CaptureStderr([] { EXPECT_FALSE(SiteWithoutMessage(-1)); });
    ASSERT_EQ(shown.size(), 1u);
    const platform::AssertDialogFields& fields = shown[0];
    EXPECT_EQ(fields.fileName, "AssertTest.cpp");
    EXPECT_EQ(fields.expression, "value > 0");
    EXPECT_EQ(fields.message, "");
    EXPECT_EQ(fields.lineText.find_first_not_of("0123456789"), std::string::npos) << fields.lineText;
    EXPECT_EQ(diag::FormatAssertClipboardText("t.exe", fields.fileName.c_str(), fields.lineText.c_str(),
                                              fields.expression.c_str(), fields.message.c_str()),
              "Application: t.exe\r\nFilename: AssertTest.cpp (" + fields.lineText +
                  ")\r\nExpression: value > 0\r\nMessage: \r\n");
    // The dialog shown is the assertion dialog's template.
    EXPECT_EQ(shownTemplate, diag::BuildAssertDialogTemplate().Bytes());
}

TEST_F(AnsweredDialog, DialogNamesTheSourceFileAndTheLineKeepsItsPath) {
    answers = {diag::assertChoiceIgnore};
    bool ignoreAlways = false;
    const std::string reports = test::CaptureStderr(
        [&] { EXPECT_FALSE(diag::AssertReport("size != 0", nullptr, "..\\foo\\bar.cpp", 12, &ignoreAlways)); });
    EXPECT_EQ(reports, "..\\foo\\bar.cpp(12) : [Assert] (size != 0) \n");
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].fileName, "bar.cpp");
    EXPECT_EQ(shown[0].lineText, "12");
    EXPECT_EQ(shown[0].expression, "size != 0");
}

TEST_F(AnsweredDialog, LastErrorOfTheFailedOperationSurvivesTheReport) {
    answers = {diag::assertChoiceIgnore};
    test::ScratchDir scratch;
    const std::string missing = scratch.File("missing.arc");
    int failure = 0, afterReport = 0;
    test::CaptureStderr([&] {
        platform::FileAttributes attributes;
        EXPECT_FALSE(platform::GetFileAttributes(missing.c_str(), &attributes));
        failure = platform::GetLastErrorValue();
        bool ignoreAlways = false;
        diag::AssertReport("exists", "m", "f.cpp", 1, &ignoreAlways);
        afterReport = platform::GetLastErrorValue();
    });
    EXPECT_NE(failure, 0);
    EXPECT_EQ(afterReport, failure);
    EXPECT_EQ(shown.size(), 1u);  // the dialog that changed the value did run
}

TEST_F(AnsweredDialog, WhatEachAnswerMakesTheReportDo) {
    bool ignoreAlways = false;
    const auto report = [&] {
        bool breakIntoDebugger = true;
        test::CaptureStderr([&] { breakIntoDebugger = diag::AssertReport("x", "m", "f.cpp", 1, &ignoreAlways); });
        return breakIntoDebugger;
    };
    answers = {diag::assertChoiceIgnore, 0, -1, diag::assertChoiceDebug, 9, diag::assertChoiceIgnoreAlways};
    EXPECT_FALSE(report());
    EXPECT_FALSE(report()) << "a dialog that could not be shown acts as Ignore";
    EXPECT_FALSE(report()) << "a dialog that could not be created acts as Ignore";
    EXPECT_FALSE(ignoreAlways);
    // A breakpoint without a debugger would end the process.
    EXPECT_EQ(report(), platform::IsDebuggerAttached());
    EXPECT_TRUE(report()) << "an unknown result breaks into the debugger";
    EXPECT_FALSE(ignoreAlways);
    EXPECT_FALSE(report());
    EXPECT_TRUE(ignoreAlways);
    EXPECT_EQ(shown.size(), 6u);
}

void ExitThroughTheReport() {
    static char archive[] = "edited.arc";
    diag::AddAssertExitHandler(ExitHandler, archive);
    diag::ReplaceAssertDialogRunner([](const std::vector<std::uint8_t>&, const platform::AssertDialogFields&) {
        return static_cast<int>(diag::assertChoiceExit);
    });
    bool ignoreAlways = false;
    diag::AssertReport("x", "m", "f.cpp", 1, &ignoreAlways);
    std::fprintf(stderr, "still running\n");
}

TEST(AssertDialogDeathTest, ExitAnswerRunsTheHandlersThenEndsWithStatusZero) {
    EXPECT_EXIT(ExitThroughTheReport(), testing::ExitedWithCode(0),
                "f.cpp\\(1\\) : \\[Assert\\] \\(x\\) m\nclosing edited.arc\n$");
}

}  // namespace
