// The journal when its name is taken away under it: a line always goes to
// the file the path names, and a reopen that fails is tried again with the
// next line, so the journal recovers as soon as the path is usable.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>

#include "files.h"
#include "rc_journal.h"

namespace {

using zqtest::ReadFile;
using zqtest::TempDir;
using zqtest::WriteFile;

TEST(RcJournalRenamed, TheNextLineGoesToANewFileAtThePath) {
    TempDir dir;
    CRcJournal journal(dir.file("j.tsv"));
    ASSERT_EQ(journal.Open(), 0);
    ASSERT_EQ(journal.Append("first\n"), 0);
    ASSERT_EQ(rename(dir.file("j.tsv").c_str(), dir.file("j.old").c_str()), 0);
    ASSERT_EQ(journal.Append("second\n"), 0);
    EXPECT_EQ(ReadFile(dir.file("j.old")), "first\n");
    EXPECT_EQ(ReadFile(dir.file("j.tsv")), "second\n");
}

TEST(RcJournalRemoved, AFailedReopenIsTriedAgainWithTheNextLine) {
    TempDir dir;
    CRcJournal journal(dir.file("d/j.tsv"));
    ASSERT_EQ(journal.Open(), 0);
    ASSERT_EQ(journal.Append("first\n"), 0);
    std::filesystem::remove_all(dir.file("d"));
    WriteFile(dir.file("d"), "a file where the directory was");
    EXPECT_EQ(journal.Append("lost\n"), ENOTDIR);
    EXPECT_EQ(journal.Append("lost again\n"), ENOTDIR);
    ASSERT_EQ(unlink(dir.file("d").c_str()), 0);
    ASSERT_EQ(journal.Append("back\n"), 0);
    EXPECT_EQ(ReadFile(dir.file("d/j.tsv")), "back\n");
}

}  // namespace
