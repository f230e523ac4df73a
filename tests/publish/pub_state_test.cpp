#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "bytes.h"
#include "files.h"
#include "pub_state.h"

namespace {

rc_digests_t Digests(uint64 size, int pieces, uint32 seed) {
    rc_digests_t d;
    std::string md4 = zqtest::PatternBytes(16, seed), sha1 = zqtest::PatternBytes(20, seed + 1);
    std::string p = zqtest::PatternBytes(static_cast<size_t>(pieces) * 16, seed + 2);
    d.MD4 = Md5Hash(reinterpret_cast<const unsigned char*>(md4.data()), 16);
    d.Hash = Sha1Hash(reinterpret_cast<const unsigned char*>(sha1.data()), 20);
    d.Pieces.assign(p.begin(), p.end());
    d.Size = size;
    return d;
}

pub_stat_t Stat(uint64 ino, uint64 size, sint64 mtime, sint64 ctime) {
    pub_stat_t s;
    s.Dev = 2049;
    s.Ino = ino;
    s.Size = size;
    s.MtimeNs = mtime;
    s.CtimeNs = ctime;
    return s;
}

TEST(PubState, RowsAndDigestsOutliveTheProcessThatWroteThem) {
    zqtest::TempDir dir;
    const std::string path = dir.file("deep/er/state.db");  // folders are made
    std::string why;
    const sint64 before = CPubState::NowNs();
    {
        CPubState st;
        ASSERT_EQ(st.Open(path, true, why), 0) << why;
        ASSERT_EQ(st.Put("a b/\xc3\xa9.bin", Stat(7, 100000, 5, 6), 1, Digests(100000, 4, 1), why), 0) << why;
        ASSERT_EQ(st.Put("gone", Stat(8, 10, 5, 6), 0, Digests(10, 1, 9), why), 0) << why;
        ASSERT_EQ(st.Remove("gone", why), 0) << why;
    }  // closed without an explicit flush: the destructor commits
    CPubState st;
    ASSERT_EQ(st.Open(path, false, why), 0) << why;
    EXPECT_EQ(st.Find("gone"), nullptr);
    const pub_row_t* row = st.Find("a b/\xc3\xa9.bin");
    ASSERT_NE(row, nullptr);
    EXPECT_TRUE(row->Stat == Stat(7, 100000, 5, 6));
    EXPECT_EQ(row->Answer, 1);
    EXPECT_GE(row->WrittenNs, before);
    rc_digests_t got, want = Digests(100000, 4, 1);
    ASSERT_EQ(st.Digests("a b/\xc3\xa9.bin", got, why), 0) << why;
    EXPECT_EQ(got.Pieces, want.Pieces);
    EXPECT_TRUE(got.Hash == want.Hash);
    EXPECT_TRUE(got.MD4 == want.MD4);
    EXPECT_EQ(got.Size, 100000u);
    EXPECT_EQ(st.Paths().size(), 1u);
}

TEST(PubState, AMoveIsFoundByInodeSizeAndModificationTimeNotByChangeTime) {
    zqtest::TempDir dir;
    std::string why;
    CPubState st;
    ASSERT_EQ(st.Open(dir.file("s.db"), true, why), 0) << why;
    ASSERT_EQ(st.Put("old", Stat(7, 100, 5, 6), 0, Digests(100, 1, 1), why), 0) << why;
    EXPECT_EQ(st.FindInode(Stat(7, 100, 5, 99), "new"), "old");  // a rename sets the change time
    EXPECT_EQ(st.FindInode(Stat(7, 100, 5, 6), "old"), "");      // not the path itself
    EXPECT_EQ(st.FindInode(Stat(7, 101, 5, 6), "new"), "");      // other size
    EXPECT_EQ(st.FindInode(Stat(7, 100, 4, 6), "new"), "");      // other modification time
    EXPECT_EQ(st.FindInode(Stat(8, 100, 5, 6), "new"), "");      // other inode
    ASSERT_EQ(st.Put("old", Stat(9, 100, 5, 6), 0, Digests(100, 1, 1), why), 0) << why;
    EXPECT_EQ(st.FindInode(Stat(7, 100, 5, 6), "new"), "");  // a rewritten row is found by its new inode only
    EXPECT_EQ(st.FindInode(Stat(9, 100, 5, 6), "new"), "old");
}

TEST(PubState, AFileThatIsNotAStateIsRefusedWithAReason) {
    zqtest::TempDir dir;
    zqtest::WriteFile(dir.file("x.db"), std::string(4096, 'x'));
    CPubState st;
    std::string why;
    EXPECT_EQ(st.Open(dir.file("x.db"), true, why), -1);
    EXPECT_FALSE(why.empty());
}

TEST(PubState, TheDefaultPlaceIsOnePerFolderAndCenter) {
    const char* home = getenv("HOME");
    const std::string oldHome = home != nullptr ? home : "";
    setenv("XDG_STATE_HOME", "/var/tmp/st", 1);
    std::string why;
    std::string a = pub_default_state_path("/srv/www", "c:1", why);
    EXPECT_EQ(a.rfind("/var/tmp/st/zq_publish/www-", 0), 0u) << a;
    EXPECT_NE(a, pub_default_state_path("/srv/www", "c:2", why));
    EXPECT_NE(a, pub_default_state_path("/srv2/www", "c:1", why));
    EXPECT_EQ(a, pub_default_state_path("/srv/www", "c:1", why));
    unsetenv("XDG_STATE_HOME");
    setenv("HOME", "/home/u", 1);
    EXPECT_EQ(pub_default_state_path("/srv/www", "c:1", why).rfind("/home/u/.local/state/zq_publish/www-", 0), 0u);
    if (home != nullptr) setenv("HOME", oldHome.c_str(), 1);
}

}  // namespace
