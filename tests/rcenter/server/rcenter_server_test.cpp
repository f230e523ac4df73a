// zq_rcenter as a running process on 127.0.0.1: start-up and stop, answers
// to good and bad reports over real sockets, hostile peers, a store that
// cannot be written, deduplication across restarts, and its statistics.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sqlite3.h>
#include <signal.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "deadline.h"
#include "rcenter_test_util.h"

namespace {

using rctest::SegmentKey;
using rctest::Answer;
using rctest::BodyLayout;
using rctest::BodyOf;
using rctest::ClosedByPeer;
using rctest::Exchange;
using rctest::Fields;
using rctest::LayoutOf;
using rctest::Lines;
using rctest::MakeInfo;
using rctest::PacketOf;
using zqtest::PutBigEndian32;
using rctest::ReadAnswer;
using rctest::RequestOf;
using rctest::Server;
using zqtest::PlainConnect;
using zqtest::SendAll;
using zqtest::TempDir;

uint32 U(uint32 v) { return v; }

std::string StatLog(const Server& server) {
    std::string text;
    DIR* d = opendir(server.File("log").c_str());
    if (d == nullptr) return text;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name.rfind("rcenter_statlog", 0) == 0) text += zqtest::ReadFile(server.File("log/" + name));
    }
    closedir(d);
    return text;
}

// ---- start-up and stop ----

TEST(RcenterStart, PrintsOnlyItsListeningLineAndStopsCleanlyOnSigterm) {
    Server server;
    ASSERT_TRUE(server.Start()) << server.Process().Err();
    zqtest::ProcessResult r = server.Stop(SIGTERM);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, server.ListenLine() + "\n");
    EXPECT_NE(server.ErrLog().find("caught sig:15, server is stopping"), std::string::npos);
}

TEST(RcenterStart, SigintStopsItCleanlyToo) {
    Server server;
    ASSERT_TRUE(server.Start());
    zqtest::ProcessResult r = server.Stop(SIGINT);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(server.ErrLog().find("caught sig:2, server is stopping"), std::string::npos);
}

TEST(RcenterStart, ListensOnTheConfiguredPort) {
    unsigned short port = zqtest::RefusedPort();
    Server server;
    ASSERT_TRUE(server.Start("listen_port: " + std::to_string(port) + "\n"));
    EXPECT_EQ(server.Port(), port);
    EXPECT_EQ(server.ListenLine(), "listening on 127.0.0.1:" + std::to_string(port));
}

TEST(RcenterStart, ABadValueEndsItWithStatusOneNamingTheKey) {
    TempDir dir;
    zqtest::WriteFile(dir.file("rcenter.conf"), "listen_port: 70000\n");
    zqtest::ProcessResult r = zqtest::RunProcess(zqtest::BinPath("zq_rcenter"), {}, dir.path(), 30000);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("listen_port"), std::string::npos) << r.err;
}

TEST(RcenterStart, MoreThanOneArgumentIsAUsageError) {
    TempDir dir;
    zqtest::ProcessResult r = zqtest::RunProcess(zqtest::BinPath("zq_rcenter"), {"a.conf", "b.conf"}, dir.path(), 30000);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("usage: zq_rcenter [CONFIG_FILE]"), std::string::npos);
}

TEST(RcenterStart, APortInUseFailsToStart) {
    unsigned short port = 0;
    int fd = zqtest::PlainListen(&port);
    ASSERT_GE(fd, 0);
    TempDir dir;
    zqtest::WriteFile(dir.file("rcenter.conf"),
                      "max_fd_num: 64\nshm_size: 1048576\nlisten_port: " + std::to_string(port) + "\n");
    zqtest::ProcessResult r = zqtest::RunProcess(zqtest::BinPath("zq_rcenter"), {}, dir.path(), 30000);
    close(fd);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("cannot listen on 127.0.0.1:" + std::to_string(port)), std::string::npos) << r.err;
}

TEST(RcenterStart, AStoreThatCannotBeOpenedOrIsOfANewerSchemaFailsToStart) {
    TempDir dir;
    zqtest::WriteFile(dir.file("plain"), "x");
    zqtest::WriteFile(dir.file("rcenter.conf"), "max_fd_num: 64\nshm_size: 1048576\ndb_path: plain/rc.db\n");
    zqtest::ProcessResult r = zqtest::RunProcess(zqtest::BinPath("zq_rcenter"), {}, dir.path(), 30000);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("store plain/rc.db: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Not a directory"), std::string::npos) << r.err;

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(dir.file("newer.db").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE future (x); PRAGMA user_version = 4", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    zqtest::WriteFile(dir.file("rcenter.conf"), "max_fd_num: 64\nshm_size: 1048576\ndb_path: newer.db\n");
    r = zqtest::RunProcess(zqtest::BinPath("zq_rcenter"), {}, dir.path(), 30000);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("newer.db: schema version 4 is newer than this program's 3; refusing"), std::string::npos)
        << r.err;
}

// ---- reports ----

TEST(RcenterReports, AGoodReportIsAnsweredAcceptedAfterItIsStored) {
    Server server;
    ASSERT_TRUE(server.Start());
    RSInfo info;
    MakeInfo(info, 100000, 21, "clip.avi");
    Answer a = Exchange(server.Port(), RequestOf(info, 0x01020304));
    ASSERT_TRUE(a.received);
    EXPECT_EQ(a.bytes.substr(0, 8), std::string("\x00\x00\x00\x64\x01\x2d\xd6\x68", 8));
    EXPECT_EQ(a.seq, 0x01020304u);
    EXPECT_EQ(a.length, 48u);
    EXPECT_EQ(a.cmd, U(RC_CMD_REPORT_RESPONSE));
    EXPECT_EQ(a.result, U(RC_RESULT_ACCEPTED));
    EXPECT_EQ(a.err, 0u);
    std::vector<std::string> lines = Lines(server.StoredLines());
    ASSERT_EQ(lines.size(), 1u);
    auto fields = Fields(lines[0]);
    ASSERT_EQ(fields.size(), 13u);
    EXPECT_EQ(fields[7].first, "fid");
    EXPECT_EQ(fields[7].second, info.FID.Hex());
    EXPECT_EQ(fields[9].second, "clip.avi");
    // At the default level an accepted or known report writes no line of its own.
    EXPECT_EQ(Exchange(server.Port(), RequestOf(info, 2)).result, U(RC_RESULT_KNOWN));
    EXPECT_EQ(server.ErrLog().find(info.FID.Hex()), std::string::npos) << server.ErrLog();
}

struct Rejection {
    const char* name;
    std::function<std::string(RSInfo&)> packet;
    uint32 err;
};

std::string Mutated(RSInfo& info, const std::function<void(std::string&, const BodyLayout&)>& change) {
    std::string body = BodyOf(info);
    BodyLayout l = LayoutOf(body);
    change(body, l);
    return PacketOf(body, 9);
}

std::vector<Rejection> Rejections() {
    return {
        {"text length past the packet",
         [](RSInfo& i) { return Mutated(i, [](std::string& b, const BodyLayout&) { b[8] = b[9] = '\xff'; }); },
         RC_ERR_MALFORMED},
        {"bytes left over", [](RSInfo& i) { return PacketOf(BodyOf(i) + "!", 9); }, RC_ERR_MALFORMED},
        {"empty table",
         [](RSInfo& i) {
             return Mutated(i, [](std::string& b, const BodyLayout& l) {
                 b.erase(l.tpt, l.md4 - l.tpt);
                 PutBigEndian32(b, l.tptLen, 0);
             });
         },
         RC_ERR_TPT_UNREADABLE},
        {"truncated table",
         [](RSInfo& i) {
             return Mutated(i, [](std::string& b, const BodyLayout& l) {
                 b.erase(l.md4 - 1, 1);
                 PutBigEndian32(b, l.tptLen, static_cast<uint32>(l.md4 - l.tpt - 1));
             });
         },
         RC_ERR_TPT_UNREADABLE},
        {"last piece size", [](RSInfo& i) { return Mutated(i, [](std::string& b, const BodyLayout& l) { b[l.tpt + 15] ^= 1; }); },
         RC_ERR_TPT_MISMATCH},
        {"size", [](RSInfo& i) { return Mutated(i, [](std::string& b, const BodyLayout& l) { b[l.size + 7] ^= 1; }); },
         RC_ERR_TPT_MISMATCH},
        {"wrong fid", [](RSInfo& i) { return Mutated(i, [](std::string& b, const BodyLayout& l) { b[l.fid] ^= 1; }); },
         RC_ERR_FID},
        {"mismatched sid", [](RSInfo& i) { return Mutated(i, [](std::string& b, const BodyLayout& l) { b[l.sid + 19] ^= 1; }); },
         RC_ERR_SID},
        {"table sha1 differs from hash",
         [](RSInfo& i) { return Mutated(i, [](std::string& b, const BodyLayout& l) { b[l.hash + 5] ^= 1; }); }, RC_ERR_HASH},
        {"unknown command", [](RSInfo& i) { return PacketOf(BodyOf(i), 9, RC_CMD_REPORT_RESPONSE); }, RC_ERR_UNKNOWN_CMD},
    };
}

TEST(RcenterReports, EachRejectionHasItsNumbersAndTheServerServesOn) {
    Server server;
    ASSERT_TRUE(server.Start());
    int fd = PlainConnect(server.Port());
    ASSERT_GE(fd, 0);
    for (const Rejection& rej : Rejections()) {
        RSInfo info;
        MakeInfo(info, 100000, 22);
        ASSERT_TRUE(SendAll(fd, rej.packet(info))) << rej.name;
        Answer a = ReadAnswer(fd);
        ASSERT_TRUE(a.received) << rej.name;
        EXPECT_EQ(a.seq, 9u) << rej.name;
        EXPECT_EQ(a.result, U(RC_RESULT_REJECTED)) << rej.name;
        EXPECT_EQ(a.err, rej.err) << rej.name;
    }
    // The same connection, then a new one, still get good reports accepted.
    RSInfo good;
    MakeInfo(good, 100000, 23);
    ASSERT_TRUE(SendAll(fd, RequestOf(good, 10)));
    Answer a = ReadAnswer(fd);
    EXPECT_EQ(a.seq, 10u);
    EXPECT_EQ(a.result, U(RC_RESULT_ACCEPTED));
    close(fd);
    RSInfo other;
    MakeInfo(other, 5000, 24);
    EXPECT_EQ(Exchange(server.Port(), RequestOf(other, 11)).result, U(RC_RESULT_ACCEPTED));

    std::vector<std::string> lines = Lines(server.StoredLines());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("fid=" + good.FID.Hex()), std::string::npos);
    EXPECT_NE(lines[1].find("fid=" + other.FID.Hex()), std::string::npos);
    EXPECT_NE(server.ErrLog().find("rejected: errno=4 (fid mismatch)"), std::string::npos);
}

TEST(RcenterReports, ARequestArrivingInPiecesIsAnsweredOnceWhole) {
    Server server;
    ASSERT_TRUE(server.Start());
    RSInfo info;
    MakeInfo(info, 300000, 25);
    std::string packet = RequestOf(info, 5);
    int fd = PlainConnect(server.Port());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(SendAll(fd, packet.substr(0, 20)));
    EXPECT_FALSE(zqtest::WaitReadable(fd, 100));
    ASSERT_TRUE(SendAll(fd, packet.substr(20, 100)));
    EXPECT_FALSE(zqtest::WaitReadable(fd, 100));
    ASSERT_TRUE(SendAll(fd, packet.substr(120)));
    Answer a = ReadAnswer(fd);
    EXPECT_EQ(a.seq, 5u);
    EXPECT_EQ(a.result, U(RC_RESULT_ACCEPTED));
    close(fd);
}

TEST(RcenterReports, TwoRequestsInOneWriteGetTwoAnswersInOrder) {
    Server server;
    ASSERT_TRUE(server.Start());
    RSInfo first, second;
    MakeInfo(first, 1000, 26);
    MakeInfo(second, 2000, 27);
    int fd = PlainConnect(server.Port());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(SendAll(fd, RequestOf(first, 1) + PacketOf("xyz", 2) + RequestOf(second, 3)));
    Answer a1 = ReadAnswer(fd), a2 = ReadAnswer(fd), a3 = ReadAnswer(fd);
    close(fd);
    EXPECT_EQ(a1.seq, 1u);
    EXPECT_EQ(a1.result, U(RC_RESULT_ACCEPTED));
    EXPECT_EQ(a2.seq, 2u);
    EXPECT_EQ(a2.result, U(RC_RESULT_REJECTED));
    EXPECT_EQ(a2.err, U(RC_ERR_MALFORMED));
    EXPECT_EQ(a3.seq, 3u);
    EXPECT_EQ(a3.result, U(RC_RESULT_ACCEPTED));
}

TEST(RcenterReports, TheLargestReportTheLimitsAllowIsAccepted) {
    Server server;
    ASSERT_TRUE(server.Start());
    RSInfo info;
    MakeInfo(info, 4294967296ULL, 28, std::string(65535, 'n'));
    info.Url = std::string(65535, 'u');
    info.Ref = std::string(65535, 'r');
    info.ExtName = std::string(65535, 'e');
    std::string packet = RequestOf(info, 1);
    EXPECT_EQ(packet.size(), 144u + 4 * 65535 + 55 + 16 * 8192);
    EXPECT_EQ(Exchange(server.Port(), packet).result, U(RC_RESULT_ACCEPTED));
}

// ---- hostile peers ----

TEST(RcenterHostile, LengthsOutsideTheLimitsCloseTheConnection) {
    Server server;
    ASSERT_TRUE(server.Start());
    for (uint32 len : {39u, 524289u}) {
        std::string packet = PacketOf(std::string(60, 'x'), 1);
        PutBigEndian32(packet, 16, len);
        int fd = PlainConnect(server.Port());
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(SendAll(fd, packet));
        EXPECT_TRUE(ClosedByPeer(fd)) << len;
        close(fd);
    }
    EXPECT_NE(server.ErrLog().find("invalid packet from 127.0.0.1:"), std::string::npos);
    EXPECT_NE(server.ErrLog().find("len=524289"), std::string::npos);
    RSInfo info;
    MakeInfo(info, 1000, 29);
    EXPECT_EQ(Exchange(server.Port(), RequestOf(info, 1)).result, U(RC_RESULT_ACCEPTED));
}

TEST(RcenterHostile, GarbageClosesTheConnection) {
    Server server;
    ASSERT_TRUE(server.Start());
    int fd = PlainConnect(server.Port());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(SendAll(fd, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: test\r\n\r\n"));
    EXPECT_TRUE(ClosedByPeer(fd));
    close(fd);
    RSInfo info;
    MakeInfo(info, 1000, 30);
    EXPECT_EQ(Exchange(server.Port(), RequestOf(info, 1)).result, U(RC_RESULT_ACCEPTED));
}

// A good report followed in the same write by garbage: stored, and answered
// before the close the garbage earns.
TEST(RcenterHostile, AReportBeforeGarbageIsAnsweredBeforeTheClose) {
    Server server;
    ASSERT_TRUE(server.Start());
    RSInfo info;
    MakeInfo(info, 1000, 31);
    int fd = PlainConnect(server.Port());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(SendAll(fd, RequestOf(info, 9) + std::string(40, '\x5a')));
    Answer a = rctest::ReadAnswer(fd);
    EXPECT_TRUE(a.received);
    EXPECT_EQ(a.seq, 9u);
    EXPECT_EQ(a.result, U(RC_RESULT_ACCEPTED));
    EXPECT_TRUE(ClosedByPeer(fd));
    close(fd);
    EXPECT_EQ(Lines(server.StoredLines()).size(), 1u);
}

// A client that sends its report and shuts its side at once (shutdown
// SHUT_WR) still reads the answer, and then the end of the connection.
TEST(RcenterHostile, AReportFollowedByAHalfCloseIsStillAnswered) {
    Server server;
    ASSERT_TRUE(server.Start());
    RSInfo info;
    MakeInfo(info, 1000, 34);
    int fd = PlainConnect(server.Port());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(SendAll(fd, RequestOf(info, 11)));
    ASSERT_EQ(shutdown(fd, SHUT_WR), 0);
    Answer a = ReadAnswer(fd);
    EXPECT_TRUE(a.received);
    EXPECT_EQ(a.seq, 11u);
    EXPECT_EQ(a.result, U(RC_RESULT_ACCEPTED));
    EXPECT_TRUE(ClosedByPeer(fd));
    close(fd);
}

// A connection to 127.0.0.1:port from another loopback address.
int ConnectFrom(const char* from, unsigned short port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    sockaddr_in local = {}, remote = {};
    local.sin_family = remote.sin_family = AF_INET;
    inet_pton(AF_INET, from, &local.sin_addr);
    inet_pton(AF_INET, "127.0.0.1", &remote.sin_addr);
    remote.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof(remote)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Many connections from one address, each trickling a packet a byte at a
// time: those over the address's share are closed at once, the rest when
// their packet outlives the deadline, and a client from elsewhere is served
// all the while; the log tells of them in a line per interval, not one each.
TEST(RcenterHostile, TricklingConnectionsFromOneAddressAreBoundedAndOthersAreServed) {
    Server server;
    ASSERT_TRUE(server.Start("max_fd_num: 1024\nmax_conns_per_addr: 200\nrequest_timeout_ms: 1500\n"));
    std::vector<int> slow;
    for (int i = 0; i < 300; ++i) {
        int fd = PlainConnect(server.Port());
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(SendAll(fd, std::string("\0\0\0\x64", 4)));
        slow.push_back(fd);
    }
    RSInfo info;
    MakeInfo(info, 1000, 33);
    std::vector<bool> closed(slow.size(), false);
    zqtest::Deadline deadline(10000);
    bool served = false;
    size_t open = slow.size();
    for (int round = 0; open > 0 && !deadline.Passed(); ++round) {
        for (size_t i = 0; i < slow.size(); ++i) {
            if (closed[i]) continue;
            if (ClosedByPeer(slow[i], 0)) {
                closed[i] = true;
                --open;
            } else {
                SendAll(slow[i], std::string(1, '\0'));
            }
        }
        if (round == 1) {
            // By now the 100 over the address's share are gone; a client
            // from elsewhere is answered while the others trickle on.
            EXPECT_LE(open, 200u);
            int fd = ConnectFrom("127.0.0.2", server.Port());
            ASSERT_GE(fd, 0);
            ASSERT_TRUE(SendAll(fd, RequestOf(info, 5)));
            Answer a = ReadAnswer(fd, 3000);
            served = a.received && a.result == U(RC_RESULT_ACCEPTED);
            close(fd);
        }
        usleep(100000);
    }
    EXPECT_TRUE(served);
    EXPECT_EQ(open, 0u) << "connections still open past the deadline";
    for (int fd : slow) close(fd);
    size_t lines = 0;
    for (const std::string& line : Lines(server.ErrLog()))
        if (line.find("connections in the last") != std::string::npos) ++lines;
    EXPECT_GE(lines, 1u);
    EXPECT_LE(lines, 3u);
}

TEST(RcenterHostile, ASilentOrStalledPeerIsClosedAfterTheInactivityTimeout) {
    Server server;
    ASSERT_TRUE(server.Start("inactive_timeout_ms: 200\n"));
    int silent = PlainConnect(server.Port());
    int stalled = PlainConnect(server.Port());
    ASSERT_GE(silent, 0);
    ASSERT_GE(stalled, 0);
    ASSERT_TRUE(SendAll(stalled, std::string(30, '\0')));
    EXPECT_TRUE(ClosedByPeer(silent, 5000));
    EXPECT_TRUE(ClosedByPeer(stalled, 5000));
    close(silent);
    close(stalled);
    RSInfo info;
    MakeInfo(info, 1000, 31);
    EXPECT_EQ(Exchange(server.Port(), RequestOf(info, 1)).result, U(RC_RESULT_ACCEPTED));
}

// ---- storage ----

TEST(RcenterStoreFailure, AReportThatCannotBeStoredIsNeverAnsweredAcceptedNorRemembered) {
    Server server;
    ASSERT_TRUE(server.Start());
    RSInfo info;
    MakeInfo(info, 1000, 32);
    // Another process holding the write lock longer than the server waits.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(server.File("data/rcenter.db").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    for (uint32 seq : {1u, 2u}) {
        Answer a = Exchange(server.Port(), RequestOf(info, seq));
        ASSERT_TRUE(a.received);
        EXPECT_EQ(a.result, U(RC_RESULT_NOT_STORED));
        EXPECT_EQ(a.err, U(EBUSY));
    }
    EXPECT_NE(server.ErrLog().find("not stored: "), std::string::npos);
    ASSERT_EQ(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    EXPECT_EQ(Exchange(server.Port(), RequestOf(info, 3)).result, U(RC_RESULT_ACCEPTED));
    EXPECT_EQ(Exchange(server.Port(), RequestOf(info, 4)).result, U(RC_RESULT_KNOWN));
}

TEST(RcenterDedup, TheSameReportTwiceIsAlreadyKnownAndAnotherUrlIsANewLocation) {
    Server server;
    ASSERT_TRUE(server.Start());
    RSInfo info;
    MakeInfo(info, 100000, 33);
    EXPECT_EQ(Exchange(server.Port(), RequestOf(info, 1)).result, U(RC_RESULT_ACCEPTED));
    Answer a = Exchange(server.Port(), RequestOf(info, 2));
    EXPECT_EQ(a.result, U(RC_RESULT_KNOWN));
    EXPECT_EQ(a.err, 0u);
    // Another name and URL for the same content: one more place to fetch it.
    info.FileName = "copy.avi";
    info.Url = "http://mirror.example.com/copy.avi";
    EXPECT_EQ(Exchange(server.Port(), RequestOf(info, 3)).result, U(RC_RESULT_ACCEPTED));
    EXPECT_EQ(Exchange(server.Port(), RequestOf(info, 4)).result, U(RC_RESULT_KNOWN));
    std::vector<std::string> lines = Lines(server.StoredLines());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[1].find("\turl=http://mirror.example.com/copy.avi\t"), std::string::npos) << lines[1];
}

TEST(RcenterDedup, ARestartWithTheSameKeyStillKnowsTheReport) {
    SegmentKey key;
    TempDir dir;
    RSInfo info;
    MakeInfo(info, 100000, 34);
    {
        Server server(dir.path());
        ASSERT_TRUE(server.Start(key.Config()));
        EXPECT_EQ(Exchange(server.Port(), RequestOf(info, 1)).result, U(RC_RESULT_ACCEPTED));
        EXPECT_EQ(server.Stop().exit_code, 0);
    }
    Server restarted(dir.path());
    ASSERT_TRUE(restarted.Start(key.Config()));
    EXPECT_EQ(Exchange(restarted.Port(), RequestOf(info, 1)).result, U(RC_RESULT_KNOWN));
    EXPECT_EQ(Lines(restarted.StoredLines()).size(), 1u);
    EXPECT_NE(restarted.ErrLog().find("dedup cache attached"), std::string::npos);
}

TEST(RcenterDedup, APrivateSegmentGoesWithTheServerButTheStoreRemembers) {
    TempDir dir;
    RSInfo info;
    MakeInfo(info, 100000, 35);
    {
        Server server(dir.path());
        ASSERT_TRUE(server.Start());
        EXPECT_EQ(Exchange(server.Port(), RequestOf(info, 1)).result, U(RC_RESULT_ACCEPTED));
    }
    Server restarted(dir.path());
    ASSERT_TRUE(restarted.Start());
    EXPECT_EQ(Exchange(restarted.Port(), RequestOf(info, 1)).result, U(RC_RESULT_KNOWN));
    EXPECT_EQ(Lines(restarted.StoredLines()).size(), 1u);
}

TEST(RcenterDedup, ASecondServerOnTheSameKeyRefusesToStart) {
    SegmentKey key;
    Server first;
    ASSERT_TRUE(first.Start(key.Config()));
    TempDir dir;
    zqtest::WriteFile(dir.file("rcenter.conf"), "max_fd_num: 64\nshm_size: 1048576\n" + key.Config());
    zqtest::ProcessResult r = zqtest::RunProcess(zqtest::BinPath("zq_rcenter"), {}, dir.path(), 30000);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("in use by another process"), std::string::npos) << r.err;
}

TEST(RcenterStatistics, TheCacheAndReportCountsGoToTheStatisticsLog) {
    Server server;
    ASSERT_TRUE(server.Start());
    RSInfo info;
    MakeInfo(info, 1000, 36);
    EXPECT_EQ(Exchange(server.Port(), RequestOf(info, 1)).result, U(RC_RESULT_ACCEPTED));
    EXPECT_EQ(Exchange(server.Port(), RequestOf(info, 2)).result, U(RC_RESULT_KNOWN));
    EXPECT_EQ(server.Stop().exit_code, 0);
    std::string stat = StatLog(server);
    // One entry more than the reports made: the generation of the store
    // the cache records when the server starts.
    EXPECT_NE(stat.find("] hit=50.00% hit=1 miss=1 insert=2 remove=0 using_node_num=2 total_node_num="),
              std::string::npos)
        << stat;
    EXPECT_NE(stat.find("reports accepted=1 known=1 rejected=0 not_stored=0 dropped_connections=0"),
              std::string::npos)
        << stat;
}

}  // namespace
