// zq_publish against a real zq_rcenter (and, where the answers must be
// chosen, a scripted center) on loopback: what is stored, what is read, what
// is sent again, and what the state keeps.
#include <gtest/gtest.h>
#include <signal.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "deadline.h"
#include "pub_hasher.h"
#include "pub_state.h"
#include "rcenter_test_util.h"

namespace {

using zqtest::BinPath;
using zqtest::ProcessResult;
using zqtest::WriteFile;

const int kRunTimeoutMs = 60000;
const char kBase[] = "http://dl.example.com/pub";

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The stored reports by URL, each as its journal fields.
std::map<std::string, std::map<std::string, std::string> > StoredByUrl(const rctest::Server& center) {
    std::map<std::string, std::map<std::string, std::string> > byUrl;
    for (const std::string& line : rctest::Lines(center.StoredLines())) {
        std::map<std::string, std::string> fields;
        for (const auto& kv : rctest::Fields(line)) fields[kv.first] = kv.second;
        byUrl[fields["url"]] = fields;
    }
    return byUrl;
}

// What zq_ident computes for a file: the values datareport would report.
std::map<std::string, std::string> IdentOf(const std::string& path) {
    ProcessResult r = zqtest::RunProcess(BinPath("zq_ident"), {path}, "/");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::map<std::string, std::string> fields;
    for (const std::string& line : rctest::Lines(r.out)) {
        size_t colon = line.find(": ");
        if (colon != std::string::npos) fields[line.substr(0, colon)] = line.substr(colon + 2);
    }
    return fields;
}

// Records every file of the watched folders that is opened, until destroyed.
class OpenRecorder {
public:
    explicit OpenRecorder(const std::vector<std::string>& dirs) : m_fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        for (const std::string& dir : dirs) inotify_add_watch(m_fd, dir.c_str(), IN_OPEN);
    }
    ~OpenRecorder() { close(m_fd); }
    // The names of files (not folders) opened so far.
    std::set<std::string> Opened() {
        alignas(struct inotify_event) char buf[65536];
        ssize_t n;
        while ((n = read(m_fd, buf, sizeof(buf))) > 0) {
            for (ssize_t pos = 0; pos < n;) {
                const struct inotify_event* ev = reinterpret_cast<const struct inotify_event*>(buf + pos);
                if (ev->len > 0 && !(ev->mask & IN_ISDIR)) m_opened.insert(ev->name);
                pos += static_cast<ssize_t>(sizeof(struct inotify_event) + ev->len);
            }
        }
        return m_opened;
    }

private:
    int m_fd;
    std::set<std::string> m_opened;
};

class PublishRun : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(center.Start()) << center.ErrLog();
        mkdir(Tree().c_str(), 0755);
    }
    std::string Tree() const { return dir.file("www"); }
    std::string In(const std::string& rel) const { return Tree() + "/" + rel; }
    std::string State() const { return dir.file("state/publish.db"); }
    std::string CenterArg() const { return "127.0.0.1:" + std::to_string(center.Port()); }

    ProcessResult Publish(std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"--center", CenterArg(), "--base-url", kBase, "--state", State()};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(Tree());
        return zqtest::RunProcess(BinPath("zq_publish"), args, dir.path(), kRunTimeoutMs);
    }
    std::string Summary(int files, int accepted, int known, int unchanged, int skipped, int failed) const {
        return Tree() + ": " + std::to_string(files) + " files, " + std::to_string(accepted + known) + " reported (" +
               std::to_string(accepted) + " accepted, " + std::to_string(known) + " already known), " +
               std::to_string(unchanged) + " unchanged, " + std::to_string(skipped) + " skipped, " +
               std::to_string(failed) + " failed\n";
    }
    // Five plain files, two of them in nested folders.
    void FiveFiles() {
        mkdir(In("d").c_str(), 0755);
        mkdir(In("d/e").c_str(), 0755);
        WriteFile(In("a.bin"), zqtest::PatternBytes(70000, 1));
        WriteFile(In("b.bin"), zqtest::PatternBytes(5000, 2));
        WriteFile(In("c.bin"), zqtest::PatternBytes(100, 3));
        WriteFile(In("d/d.bin"), zqtest::PatternBytes(40000, 4));
        WriteFile(In("d/e/e.bin"), zqtest::PatternBytes(1, 5));
    }

    zqtest::TempDir dir;
    rctest::Server center;
};

TEST_F(PublishRun, EveryRegularFileIsStoredWithItsUrlAndTheRecordDatareportWouldSend) {
    mkdir(In("sub dir").c_str(), 0755);
    mkdir(In("sub dir/n\xc3\xa9st").c_str(), 0755);
    const std::map<std::string, std::string> files = {
        {"plain.tar.gz", "http://dl.example.com/pub/plain.tar.gz"},
        {"with space#hash?q%25.txt", "http://dl.example.com/pub/with%20space%23hash%3Fq%2525.txt"},
        {"sub dir/n\xc3\xa9st/\xe6\x96\x87.iso", "http://dl.example.com/pub/sub%20dir/n%C3%A9st/%E6%96%87.iso"},
        {"sub dir/README", "http://dl.example.com/pub/sub%20dir/README"},
        {"empty", "http://dl.example.com/pub/empty"},
    };
    uint32_t seed = 10;
    for (const auto& f : files) {
        WriteFile(In(f.first), zqtest::PatternBytes(f.first == "empty" ? 0 : 300000 + seed, seed));
        ++seed;
    }
    ASSERT_EQ(symlink("plain.tar.gz", In("link.bin").c_str()), 0);
    ASSERT_EQ(mkfifo(In("sub dir/fifo").c_str(), 0644), 0);

    ProcessResult r = Publish();
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, Summary(5, 5, 0, 0, 2, 0));
    auto stored = StoredByUrl(center);
    EXPECT_EQ(stored.size(), files.size());
    for (const auto& f : files) {
        SCOPED_TRACE(f.first);
        ASSERT_EQ(stored.count(f.second), 1u);
        auto& got = stored[f.second];
        for (const auto& want : IdentOf(In(f.first))) EXPECT_EQ(got[want.first], want.second) << want.first;
        std::string name = f.first.substr(f.first.rfind('/') == std::string::npos ? 0 : f.first.rfind('/') + 1);
        EXPECT_EQ(got["file"], name);
        EXPECT_EQ(got["ext"], rc_ext_name(name));
        EXPECT_EQ(got["ref"], ZQ_RC_REFERRER_URL);
    }

    // A second run opens none of the files and sends nothing.
    OpenRecorder opens({Tree(), In("sub dir"), In("sub dir/n\xc3\xa9st")});
    r = Publish();
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, Summary(5, 0, 0, 5, 2, 0));
    EXPECT_TRUE(opens.Opened().empty()) << *opens.Opened().begin();
    EXPECT_EQ(StoredByUrl(center).size(), files.size());
}

TEST_F(PublishRun, OnlyTheRewrittenAppendedAndNewFilesAreReadAgainAndADeletedOneLeavesTheState) {
    FiveFiles();
    ASSERT_EQ(Publish().exit_code, 0);
    WriteFile(In("a.bin"), zqtest::PatternBytes(70000, 99));  // same size, other bytes
    WriteFile(In("b.bin"), zqtest::PatternBytes(5000, 2) + "more");
    WriteFile(In("d/f.bin"), zqtest::PatternBytes(3000, 6));
    ASSERT_EQ(unlink(In("c.bin").c_str()), 0);

    OpenRecorder opens({Tree(), In("d"), In("d/e")});
    // A dry run names them, and reads, sends and records nothing.
    const size_t storedBefore = StoredByUrl(center).size();
    ProcessResult r = Publish({"--dry-run"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::vector<std::string> lines = rctest::Lines(r.out);
    ASSERT_EQ(lines.size(), 4u) << r.out;
    EXPECT_EQ(std::set<std::string>(lines.begin(), lines.begin() + 3),
              (std::set<std::string>{std::string(kBase) + "/a.bin", std::string(kBase) + "/b.bin",
                                     std::string(kBase) + "/d/f.bin"}));
    EXPECT_EQ(lines[3] + "\n", Summary(5, 0, 0, 2, 0, 0));
    EXPECT_TRUE(opens.Opened().empty());
    EXPECT_EQ(StoredByUrl(center).size(), storedBefore);

    r = Publish();
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, Summary(5, 3, 0, 2, 0, 0));
    EXPECT_EQ(opens.Opened(), (std::set<std::string>{"a.bin", "b.bin", "f.bin"}));
    auto stored = StoredByUrl(center);
    EXPECT_EQ(stored[std::string(kBase) + "/a.bin"]["sha1"], IdentOf(In("a.bin"))["sha1"]);
    EXPECT_EQ(stored[std::string(kBase) + "/b.bin"]["size"], "5004");

    CPubState state;
    std::string why;
    ASSERT_EQ(state.Open(State(), false, why), 0) << why;
    EXPECT_EQ(state.Find("c.bin"), nullptr);
    EXPECT_EQ(state.Paths().size(), 5u);
}

TEST_F(PublishRun, AFileMovedWithinTheTreeIsReportedUnderItsNewUrlWithoutBeingRead) {
    FiveFiles();
    ASSERT_EQ(Publish().exit_code, 0);
    ASSERT_EQ(rename(In("a.bin").c_str(), In("d/e/moved here.bin").c_str()), 0);

    OpenRecorder opens({Tree(), In("d"), In("d/e")});
    ProcessResult r = Publish();
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, Summary(5, 1, 0, 4, 0, 0));
    EXPECT_TRUE(opens.Opened().empty()) << *opens.Opened().begin();
    auto stored = StoredByUrl(center);
    auto& moved = stored[std::string(kBase) + "/d/e/moved%20here.bin"];
    EXPECT_EQ(moved["sha1"], IdentOf(In("d/e/moved here.bin"))["sha1"]);
    EXPECT_EQ(moved["fid"], IdentOf(In("d/e/moved here.bin"))["fid"]);
    EXPECT_EQ(moved["file"], "moved here.bin");

    CPubState state;
    std::string why;
    ASSERT_EQ(state.Open(State(), false, why), 0) << why;
    EXPECT_EQ(state.Find("a.bin"), nullptr);
    EXPECT_NE(state.Find("d/e/moved here.bin"), nullptr);
}

TEST_F(PublishRun, AFileThatChangesWhileItIsReadFailsAndIsReportedByTheNextRun) {
    FiveFiles();
    WriteFile(In("growing.bin"), zqtest::PatternBytes(8 << 20, 7));
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        FILE* f = fopen(In("growing.bin").c_str(), "ab");
        if (f == nullptr) return;
        const std::string chunk = zqtest::PatternBytes(4096, 8);
        // Bounded: the run takes well under a second, the loop at most ten.
        for (int i = 0; i < 50000 && !stop.load(); ++i) {
            fwrite(chunk.data(), 1, chunk.size(), f);
            fflush(f);
            usleep(200);
        }
        fclose(f);
    });
    ProcessResult r = Publish();
    stop = true;
    writer.join();
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, Summary(6, 5, 0, 0, 0, 1));
    EXPECT_TRUE(Contains(r.err, "growing.bin") && Contains(r.err, "changed while it was read")) << r.err;
    EXPECT_EQ(StoredByUrl(center).count(std::string(kBase) + "/growing.bin"), 0u);

    r = Publish();
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, Summary(6, 1, 0, 5, 0, 0));
    EXPECT_EQ(StoredByUrl(center)[std::string(kBase) + "/growing.bin"]["sha1"], IdentOf(In("growing.bin"))["sha1"]);
}

TEST_F(PublishRun, ACenterThatCannotBeReachedEndsTheRunWithOneLineAndRecordsNothing) {
    FiveFiles();
    std::vector<std::string> args{"--center", "127.0.0.1:" + std::to_string(zqtest::RefusedPort()), "--base-url",
                                  kBase, "--state", State(), Tree()};
    ProcessResult r = zqtest::RunProcess(BinPath("zq_publish"), args, dir.path(), kRunTimeoutMs);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(rctest::Lines(r.err).size(), 1u) << r.err;
    EXPECT_TRUE(Contains(r.err, "cannot reach the center")) << r.err;
    EXPECT_FALSE(zqtest::FileExists(State()));
}

TEST_F(PublishRun, ACenterKilledMidRunLosesNothingTheUnansweredAreSentAgain) {
    for (int i = 0; i < 40; ++i) WriteFile(In("f" + std::to_string(i)), zqtest::PatternBytes(2000 + i, 100 + i));
    const unsigned short port = center.Port();
    // Stopped, the center takes the connection and the requests but answers none.
    ASSERT_TRUE(center.Process().Signal(SIGSTOP));
    zqtest::ChildProcess publisher;
    ASSERT_TRUE(publisher.Start(BinPath("zq_publish"),
                                {"--center", CenterArg(), "--base-url", kBase, "--state", State(), "--window", "8",
                                 Tree()},
                                dir.path()));
    usleep(500000);
    center.Stop(SIGKILL);
    rctest::Server again(center.Dir());
    ASSERT_TRUE(again.Start("listen_port: " + std::to_string(port) + "\n")) << again.ErrLog();

    ProcessResult r = publisher.Wait(kRunTimeoutMs);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, ": 40 files, 40 reported")) << r.out;
    EXPECT_EQ(StoredByUrl(again).size(), 40u);

    std::vector<std::string> args{"--center", "127.0.0.1:" + std::to_string(port), "--base-url", kBase,
                                  "--state", State(), Tree()};
    r = zqtest::RunProcess(BinPath("zq_publish"), args, dir.path(), kRunTimeoutMs);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, Summary(40, 0, 0, 40, 0, 0));
}

// A center that answers the window's requests in reverse order, rejecting one.
TEST(PublishAnswers, AreMatchedBySequenceNumberAndARejectionFailsOnlyItsFile) {
    zqtest::TempDir dir;
    const std::string tree = dir.file("www");
    mkdir(tree.c_str(), 0755);
    WriteFile(tree + "/good1.bin", zqtest::PatternBytes(1000, 1));
    WriteFile(tree + "/good2.bin", zqtest::PatternBytes(2000, 2));
    WriteFile(tree + "/bad.bin", zqtest::PatternBytes(3000, 3));
    std::map<std::string, uint32_t> answerFor = {
        {"good1.bin", RC_RESULT_ACCEPTED}, {"good2.bin", RC_RESULT_KNOWN}, {"bad.bin", RC_RESULT_REJECTED}};
    zqtest::ScriptedPeer peer([&](zqtest::ScriptedPeer& self, int fd) {
        std::vector<std::pair<uint32_t, std::string> > got;  // sequence number, file name
        for (int i = 0; i < 3; ++i) {
            std::string packet = self.ReadRequest(fd);
            if (packet.size() < RC_HEAD_LEN) return;
            rc_report_t report;
            if (rc_decode_report(reinterpret_cast<const unsigned char*>(packet.data()) + RC_HEAD_LEN,
                                 packet.size() - RC_HEAD_LEN, report) != RC_ERR_NONE)
                return;
            got.emplace_back(zqtest::ReadBigEndian32(packet, 8), report.FileName);
        }
        for (auto it = got.rbegin(); it != got.rend(); ++it) {
            unsigned char answer[RC_RESPONSE_LEN];
            uint32_t result = answerFor[it->second];
            rc_make_response(it->first, result, result == RC_RESULT_REJECTED ? RC_ERR_FID : RC_ERR_NONE, answer);
            zqtest::SendAll(fd, std::string(reinterpret_cast<const char*>(answer), sizeof(answer)));
        }
        self.WaitForClose(fd, 10000);
    });
    const std::string state = dir.file("s.db");
    ProcessResult r = zqtest::RunProcess(BinPath("zq_publish"),
                                         {"--center", "127.0.0.1:" + std::to_string(peer.port()), "--base-url", kBase,
                                          "--state", state, "--threads", "1", tree},
                                         dir.path(), kRunTimeoutMs);
    peer.Join();
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, tree + ": 3 files, 2 reported (1 accepted, 1 already known), 0 unchanged, 0 skipped, 1 failed\n");
    EXPECT_TRUE(Contains(r.err, "bad.bin") && Contains(r.err, rc_errno_text(RC_ERR_FID))) << r.err;

    CPubState st;
    std::string why;
    ASSERT_EQ(st.Open(state, false, why), 0) << why;
    ASSERT_NE(st.Find("good1.bin"), nullptr);
    EXPECT_EQ(st.Find("good1.bin")->Answer, 0);
    ASSERT_NE(st.Find("good2.bin"), nullptr);
    EXPECT_EQ(st.Find("good2.bin")->Answer, 1);
    EXPECT_EQ(st.Find("bad.bin"), nullptr);  // tried again next run
}

// The progress line's byte count: a large file's blocks as they are read,
// small files as their batch ends, each byte once, a file not read not at all.
TEST(PublishHasher, CountsEveryByteReadOnce) {
    zqtest::TempDir dir;
    const size_t big = (3 << 20) + 5;
    WriteFile(dir.file("big"), zqtest::PatternBytes(big, 1));
    WriteFile(dir.file("a"), zqtest::PatternBytes(1000, 2));
    WriteFile(dir.file("b"), zqtest::PatternBytes(0, 3));
    std::atomic<uint64> bytes{0};
    pub_done_t done;
    CPubHasher::ReadOne({1, dir.file("big"), big}, 2, done, &bytes);
    ASSERT_EQ(done.Result, PUB_READ_OK) << done.Why;
    EXPECT_EQ(bytes.load(), big);
    std::vector<pub_done_t> batch(3);
    CPubHasher::ReadSmall({{2, dir.file("a"), 1000}, {3, dir.file("gone"), 10}, {4, dir.file("b"), 0}}, batch, &bytes);
    EXPECT_EQ(batch[0].Result, PUB_READ_OK);
    EXPECT_EQ(batch[1].Result, PUB_READ_GONE);
    EXPECT_EQ(batch[2].Result, PUB_READ_OK);
    EXPECT_EQ(bytes.load(), big + 1000);
}

// Small files in batches and large ones alone, on two threads: each file
// added comes back once, the caller is woken for them, and the count of
// bytes is the sum of the files. The ThreadSanitizer run of scripts/test.sh
// runs this.
TEST(PublishHasher, ThreadsGiveBackEveryFileAddedOnce) {
    zqtest::TempDir dir;
    std::map<uint64, std::string> names;
    uint64 total = 0;
    for (uint64 id = 1; id <= 70; ++id) {
        const size_t size = id % 10 == 0 ? (2 << 20) + id : id * 300;
        names[id] = dir.file("f" + std::to_string(id));
        WriteFile(names[id], zqtest::PatternBytes(size, static_cast<unsigned>(id)));
        total += size;
    }
    names[71] = dir.file("gone");
    int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    ASSERT_GE(wake, 0);
    std::map<uint64, int> results;
    {
        CPubHasher hasher(2, wake);
        for (const auto& kv : names) hasher.Add({kv.first, kv.second, kv.first % 10 == 0 ? 2u << 20 : kv.first * 300});
        zqtest::Deadline deadline(20000);
        while (results.size() < names.size() && !deadline.Passed()) {
            pollfd p = {wake, POLLIN, 0};
            poll(&p, 1, 100);
            uint64 ignored;
            ssize_t got = read(wake, &ignored, sizeof(ignored));
            (void)got;
            std::vector<pub_done_t> done;
            hasher.TakeDone(done);
            for (const pub_done_t& d : done) EXPECT_TRUE(results.emplace(d.Id, d.Result).second) << "twice: " << d.Id;
        }
        EXPECT_EQ(hasher.Busy(), 0u);
        EXPECT_EQ(hasher.BytesRead(), total);
    }
    close(wake);
    ASSERT_EQ(results.size(), names.size());
    for (const auto& kv : results) EXPECT_EQ(kv.second, kv.first == 71 ? PUB_READ_GONE : PUB_READ_OK) << kv.first;
}

TEST(PublishCommandLine, MissingOrBadOptionsAreUsageErrors) {
    zqtest::TempDir dir;
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string> >{
             {"--base-url", kBase, dir.path()},
             {"--center", "127.0.0.1:1", dir.path()},
             {"--center", "::1:80", "--base-url", kBase, dir.path()},
             {"--center", "127.0.0.1:1", "--base-url", kBase, "--window", "0", dir.path()},
             {"--center", "127.0.0.1:1", "--base-url", kBase},
         }) {
        ProcessResult r = zqtest::RunProcess(BinPath("zq_publish"), args, dir.path());
        EXPECT_EQ(r.exit_code, 2) << args[0] << " " << args[1];
        EXPECT_TRUE(Contains(r.err, "usage: zq_publish")) << r.err;
    }
}

// Polls the center until it holds every URL, at most timeoutMs.
bool WaitForUrls(const rctest::Server& center, const std::vector<std::string>& urls, int timeoutMs) {
    zqtest::Deadline deadline(timeoutMs);
    while (!deadline.Passed()) {
        auto stored = StoredByUrl(center);
        bool all = true;
        for (const std::string& url : urls) all = all && stored.count(url) == 1;
        if (all) return true;
        usleep(200000);
    }
    return false;
}

TEST_F(PublishRun, WatchReportsNewMovedInAndNewFolderFilesAndStopsOnSigterm) {
    WriteFile(In("first.bin"), zqtest::PatternBytes(1000, 1));
    zqtest::ChildProcess watcher;
    ASSERT_TRUE(watcher.Start(BinPath("zq_publish"),
                              {"--center", CenterArg(), "--base-url", kBase, "--state", State(), "--watch", Tree()},
                              dir.path()));
    ASSERT_TRUE(WaitForUrls(center, {std::string(kBase) + "/first.bin"}, 20000));

    WriteFile(In("new.bin"), zqtest::PatternBytes(2000, 2));
    WriteFile(dir.file("outside.bin"), zqtest::PatternBytes(3000, 3));
    ASSERT_EQ(rename(dir.file("outside.bin").c_str(), In("moved in.bin").c_str()), 0);
    mkdir(In("fresh").c_str(), 0755);
    WriteFile(In("fresh/inner.bin"), zqtest::PatternBytes(4000, 4));
    EXPECT_TRUE(WaitForUrls(center,
                            {std::string(kBase) + "/new.bin", std::string(kBase) + "/moved%20in.bin",
                             std::string(kBase) + "/fresh/inner.bin"},
                            20000))
        << center.StoredLines();

    ASSERT_TRUE(watcher.Signal(SIGTERM));
    ProcessResult r = watcher.Wait(20000);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, Summary(4, 4, 0, 0, 0, 0));
}

}  // namespace
