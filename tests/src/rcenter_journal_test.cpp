// The journal of accepted reports: created with its directories, appended
// line by line, and failing loudly with the system's error number.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "files.h"
#include "rc_journal.h"

namespace {

using zqtest::ReadFile;
using zqtest::TempDir;
using zqtest::WriteFile;

TEST(RcJournalOpen, CreatesMissingDirectoriesAndAnEmptyFile) {
    TempDir dir;
    CRcJournal journal(dir.file("a/b/journal.tsv"));
    ASSERT_EQ(journal.Open(), 0);
    struct stat st;
    ASSERT_EQ(stat(dir.file("a/b/journal.tsv").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
}

TEST(RcJournalOpen, KeepsWhatAnExistingJournalHolds) {
    TempDir dir;
    WriteFile(dir.file("j.tsv"), "old\n");
    CRcJournal journal(dir.file("j.tsv"));
    ASSERT_EQ(journal.Open(), 0);
    ASSERT_EQ(journal.Append("new\n"), 0);
    EXPECT_EQ(ReadFile(dir.file("j.tsv")), "old\nnew\n");
}

TEST(RcJournalOpen, APathThroughAFileGivesTheSystemsError) {
    TempDir dir;
    WriteFile(dir.file("plain"), "x");
    CRcJournal journal(dir.file("plain/j.tsv"));
    EXPECT_EQ(journal.Open(), ENOTDIR);
    EXPECT_EQ(journal.Append("line\n"), EBADF);
}

TEST(RcJournalAppend, LinesFollowOneAnotherInOrder) {
    TempDir dir;
    CRcJournal journal(dir.file("j.tsv"));
    ASSERT_EQ(journal.Open(), 0);
    for (int i = 0; i < 5; ++i) ASSERT_EQ(journal.Append("line " + std::to_string(i) + "\n"), 0);
    EXPECT_EQ(ReadFile(dir.file("j.tsv")), "line 0\nline 1\nline 2\nline 3\nline 4\n");
}

TEST(RcJournalAppend, AJournalRemovedMeanwhileIsStartedAfresh) {
    TempDir dir;
    CRcJournal journal(dir.file("d/j.tsv"));
    ASSERT_EQ(journal.Open(), 0);
    ASSERT_EQ(journal.Append("first\n"), 0);
    ASSERT_EQ(unlink(dir.file("d/j.tsv").c_str()), 0);
    ASSERT_EQ(journal.Append("second\n"), 0);
    EXPECT_EQ(ReadFile(dir.file("d/j.tsv")), "second\n");
    ASSERT_EQ(journal.Append("third\n"), 0);
    EXPECT_EQ(ReadFile(dir.file("d/j.tsv")), "second\nthird\n");
}

TEST(RcJournalAppend, BeforeOpenNothingIsWritten) {
    TempDir dir;
    CRcJournal journal(dir.file("j.tsv"));
    EXPECT_EQ(journal.Append("line\n"), EBADF);
    EXPECT_FALSE(zqtest::FileExists(dir.file("j.tsv")));
}

TEST(RcJournalAppend, AFullDeviceGivesNoSpace) {
    CRcJournal journal("/dev/full");
    ASSERT_EQ(journal.Open(), 0);
    EXPECT_EQ(journal.Append("line\n"), ENOSPC);
}

}  // namespace
