// zq_rcenter when its resources run out: more connections than its
// descriptor table holds, and a journal whose directory disappears, turns
// into a file, becomes read-only or fills up while the server runs. Each
// report is answered with its documented numbers, "accepted" only once the
// line is on disk, and the server serves on and recovers with the disk.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "descriptors.h"
#include "files.h"
#include "net.h"
#include "rcenter_test_util.h"

namespace {

using rctest::Answer;
using rctest::Exchange;
using rctest::Fields;
using rctest::Lines;
using rctest::MakeInfo;
using rctest::ReadAnswer;
using rctest::RequestOf;
using rctest::Server;

uint32 U(uint32 v) { return v; }

size_t CountOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
    return n;
}

// One distinct report per seed, sent on its own connection.
Answer Report(const Server& server, uint32 seed, const std::string& url = "") {
    RSInfo info;
    MakeInfo(info, 1000 + seed, seed);
    if (!url.empty()) info.Url = url;
    return Exchange(server.Port(), RequestOf(info, seed));
}

std::string FidOf(uint32 seed) {
    RSInfo info;
    MakeInfo(info, 1000 + seed, seed);
    return info.FID.Hex();
}

// The fid= fields of a journal, line by line; a line without one counts as "".
std::vector<std::string> JournalFids(const std::string& text) {
    std::vector<std::string> fids;
    for (const std::string& line : Lines(text)) {
        std::string fid;
        for (const auto& field : Fields(line))
            if (field.first == "fid") fid = field.second;
        fids.push_back(fid);
    }
    return fids;
}

// ---- a full descriptor table ----

TEST(RcenterDescriptorTable, ConnectionsBeyondTheTableAreClosedAtOnceAndServingGoesOn) {
    Server server;
    ASSERT_TRUE(server.Start("max_fd_num: 16\ninactive_timeout_ms: 0\n")) << server.Process().Err();
    // The statistics log opens with its first line; counted from then on.
    ASSERT_TRUE(zqtest::WaitForFileWithPrefix(server.File("log"), "rcenter_statlog", 10000));
    int start = zqtest::CountOpenFds(server.Process().Pid());
    int slots = 16 - zqtest::CountOpenFdsBelow(server.Process().Pid(), 16);
    ASSERT_GT(start, 0);
    ASSERT_GT(slots, 0);

    const int kClients = 40;
    std::vector<int> fds;
    for (int i = 0; i < kClients; ++i) {
        int fd = zqtest::PlainConnect(server.Port());
        ASSERT_GE(fd, 0) << "connection " << i;
        fds.push_back(fd);
    }
    // Every client sends one report; the ones the table holds are answered,
    // the rest find their connection closed without waiting for anything.
    int answered = 0;
    int closed = 0;
    for (int i = 0; i < kClients; ++i) {
        RSInfo info;
        MakeInfo(info, 2000 + i, 100 + i);
        zqtest::SendAll(fds[i], RequestOf(info, i + 1));
        Answer a = ReadAnswer(fds[i], 5000);
        if (a.received) {
            ++answered;
            EXPECT_EQ(a.result, U(RC_RESULT_ACCEPTED)) << "client " << i;
            EXPECT_EQ(a.seq, U(i + 1));
        } else {
            EXPECT_TRUE(rctest::ClosedByPeer(fds[i], 0)) << "client " << i << " neither answered nor closed";
            ++closed;
        }
    }
    EXPECT_GE(answered, 1);
    EXPECT_LE(answered, slots);
    EXPECT_EQ(answered + closed, kClients);
    EXPECT_EQ(CountOf(server.ErrLog(), "refused: the table holds 16 descriptors"), static_cast<size_t>(closed));

    for (int fd : fds) close(fd);
    int last = -1;
    EXPECT_TRUE(zqtest::WaitForFdCount(server.Process().Pid(), start, 10000, &last)) << last << " vs " << start;
    // The flood over, every slot is there for new clients again.
    std::vector<int> again;
    for (int i = 0; i < slots; ++i) {
        int fd = zqtest::PlainConnect(server.Port());
        ASSERT_GE(fd, 0);
        again.push_back(fd);
    }
    for (size_t i = 0; i < again.size(); ++i) {
        RSInfo info;
        MakeInfo(info, 3000 + i, 200 + static_cast<uint32>(i));
        ASSERT_TRUE(zqtest::SendAll(again[i], RequestOf(info, 7)));
        Answer a = ReadAnswer(again[i]);
        EXPECT_TRUE(a.received) << "client " << i << " of " << again.size();
        EXPECT_EQ(a.result, U(RC_RESULT_ACCEPTED));
    }
    for (int fd : again) close(fd);
    EXPECT_TRUE(server.Process().Running());
    EXPECT_EQ(server.Stop().exit_code, 0);
}

// ---- the store's directory under a running server ----

TEST(RcenterStoreDirectory, RemovedWhileRunningIsMadeAgainAndNoAcceptedReportIsLost) {
    Server server;
    ASSERT_TRUE(server.Start());
    EXPECT_EQ(Report(server, 1).result, U(RC_RESULT_ACCEPTED));
    std::filesystem::remove_all(server.File("data"));

    Answer a = Report(server, 2);
    ASSERT_TRUE(a.received);
    EXPECT_EQ(a.result, U(RC_RESULT_ACCEPTED));
    // The answer's line is in the file the path names, not in the removed one.
    EXPECT_EQ(JournalFids(server.StoredLines()), std::vector<std::string>{FidOf(2)});
    EXPECT_NE(server.ErrLog().find("no longer names the open file"), std::string::npos);
}

TEST(RcenterStoreDirectory, AMovedStoreKeepsItsReportsAndANewOneIsStartedAtItsPath) {
    Server server;
    ASSERT_TRUE(server.Start());
    EXPECT_EQ(Report(server, 1).result, U(RC_RESULT_ACCEPTED));
    ASSERT_EQ(rename(server.File("data/rcenter.db").c_str(), server.File("data/rcenter.old").c_str()), 0);
    EXPECT_EQ(Report(server, 2).result, U(RC_RESULT_ACCEPTED));
    EXPECT_EQ(JournalFids(rctest::ExportTsv(server.File("data/rcenter.old"))), std::vector<std::string>{FidOf(1)});
    EXPECT_EQ(JournalFids(server.StoredLines()), std::vector<std::string>{FidOf(2)});
}

TEST(RcenterStoreDirectory, APathThroughAFileIsNotStoredUntilTheDirectoryIsBack) {
    Server server;
    ASSERT_TRUE(server.Start());
    EXPECT_EQ(Report(server, 1).result, U(RC_RESULT_ACCEPTED));
    std::filesystem::remove_all(server.File("data"));
    zqtest::WriteFile(server.File("data"), "not a directory");

    for (int i = 0; i < 2; ++i) {
        Answer a = Report(server, 2);
        ASSERT_TRUE(a.received);
        EXPECT_EQ(a.result, U(RC_RESULT_NOT_STORED));
        EXPECT_EQ(a.err, U(ENOTDIR));  // and not remembered: never "already known" after
    }
    EXPECT_NE(server.ErrLog().find("not stored: "), std::string::npos);

    std::filesystem::remove(server.File("data"));
    EXPECT_EQ(Report(server, 2).result, U(RC_RESULT_ACCEPTED));
    EXPECT_EQ(Report(server, 2).result, U(RC_RESULT_KNOWN));
    EXPECT_EQ(JournalFids(server.StoredLines()), std::vector<std::string>{FidOf(2)});
}

TEST(RcenterStoreDirectory, ReadOnlyIsNotStoredUntilItIsWritableAgain) {
    Server server;
    ASSERT_TRUE(server.Start());
    EXPECT_EQ(Report(server, 1).result, U(RC_RESULT_ACCEPTED));
    // Running as root ignores permission bits: only a read-only mount holds.
    std::filesystem::remove_all(server.File("data"));
    std::filesystem::create_directory(server.File("data"));
    zqtest::TestMount ro;
    if (!ro.ReadOnlyBind(server.File("data"))) GTEST_SKIP() << "no read-only mount here: " << ro.Error();

    Answer a = Report(server, 2);
    ASSERT_TRUE(a.received);
    EXPECT_EQ(a.result, U(RC_RESULT_NOT_STORED));
    EXPECT_EQ(a.err, U(EROFS));
    ASSERT_TRUE(ro.Unmount());
    EXPECT_EQ(Report(server, 2).result, U(RC_RESULT_ACCEPTED));
    EXPECT_EQ(JournalFids(server.StoredLines()), std::vector<std::string>{FidOf(2)});
}

// ---- a full disk ----

TEST(RcenterDiskFull, AReportThatDoesNotFitIsNotStoredUntilThereIsRoomAgain) {
    zqtest::TempDir dir;
    std::filesystem::create_directory(dir.file("data"));
    zqtest::TestMount disk;
    if (!disk.Tmpfs(dir.file("data"), 1024 * 1024)) GTEST_SKIP() << "no size-limited tmpfs here: " << disk.Error();
    Server server(dir.path());
    ASSERT_TRUE(server.Start());
    EXPECT_EQ(Report(server, 1).result, U(RC_RESULT_ACCEPTED));
    ASSERT_GT(zqtest::FillUp(dir.file("data/filler")), 0ul);

    // Room the WAL already holds may take a few more; every answer tells the truth.
    std::string longUrl = "http://downloads.example.com/" + std::string(6000, 'u');
    std::vector<std::string> stored{FidOf(1)};
    std::vector<uint32> refused;
    for (uint32 seed = 2; seed < 40 && refused.size() < 2; ++seed) {
        Answer a = Report(server, seed, longUrl);
        ASSERT_TRUE(a.received);
        if (a.result == U(RC_RESULT_ACCEPTED)) {
            stored.push_back(FidOf(seed));
        } else {
            EXPECT_EQ(a.result, U(RC_RESULT_NOT_STORED));
            EXPECT_EQ(a.err, U(ENOSPC));
            refused.push_back(seed);
        }
    }
    ASSERT_EQ(refused.size(), 2u);
    EXPECT_EQ(JournalFids(server.StoredLines()), stored);

    std::filesystem::remove(dir.file("data/filler"));
    for (uint32 seed : refused) {
        EXPECT_EQ(Report(server, seed, longUrl).result, U(RC_RESULT_ACCEPTED));
        stored.push_back(FidOf(seed));
    }
    EXPECT_EQ(JournalFids(server.StoredLines()), stored);
    server.Stop();
}

}  // namespace
