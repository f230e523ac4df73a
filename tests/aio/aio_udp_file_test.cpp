#include "aio_operator.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "aio_recorder.h"
#include "descriptors.h"
#include "files.h"
#include "log_capture.h"
#include "net.h"
#include "aio_operator_fixture.h"

using namespace zqtest;
using namespace aiotest;

class AioUdpTest : public AioTest {
protected:
    int PlainUdp(unsigned short* port) {
        *port = 0;
        int fd = Keep(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        CInetAddr addr = Loopback(0);
        if (bind(fd, reinterpret_cast<sockaddr*>(addr.GetSockAddr()), sizeof(sockaddr_in)) != 0) return -1;
        *port = LocalPort(fd);
        return fd;
    }
    static void SendTo(int fd, const std::string& data, unsigned short port) {
        CInetAddr to = Loopback(port);
        ASSERT_EQ(static_cast<ssize_t>(data.size()),
                  sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(to.GetSockAddr()),
                         sizeof(sockaddr_in)));
    }
    static std::string RecvFrom(int fd, unsigned short* fromPort) {
        char buf[2048];
        sockaddr_in from;
        socklen_t len = sizeof(from);
        if (!WaitReadable(fd, 2000)) return "<timeout>";
        ssize_t n = recvfrom(fd, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) return "<error>";
        *fromPort = ntohs(from.sin_port);
        return std::string(buf, static_cast<size_t>(n));
    }
};

TEST_F(AioUdpTest, UnboundSocketSendsAndReceivesTheReply) {
    LogCapture log;
    unsigned short peerPort = 0;
    int peer = PlainUdp(&peerPort);
    int fd = op.AddUdpSock(nullptr);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fd, op.GetUdpSockFd());
    EXPECT_EQ(FD_TYPE_UDP, op.GetFdContext(fd)->GetFdType());
    EXPECT_TRUE(log.Contains("udp fd=" + std::to_string(fd)));
    EXPECT_FALSE(log.Contains("bind on"));
    EXPECT_EQ(5, op.UdpSend(fd, "query", 5, Loopback(peerPort)));
    unsigned short opPort = 0;
    EXPECT_EQ("query", RecvFrom(peer, &opPort));
    ASSERT_NE(0, opPort);
    SendTo(peer, "answer", opPort);
    ASSERT_TRUE(RunUntil(op, [&] { return handler.CountOf(AioEvent::UDP_READ) == 1; }));
    EXPECT_EQ("answer", handler.events[0].data);
    EXPECT_TRUE(handler.events[0].addr == Loopback(peerPort));
    EXPECT_TRUE(*op.GetFdContext(fd)->GetRemoteAddr() == Loopback(peerPort));
}

TEST_F(AioUdpTest, EveryWaitingDatagramIsDeliveredInOneStepWithItsSender) {
    unsigned short p1 = 0, p2 = 0;
    int peer1 = PlainUdp(&p1);
    int peer2 = PlainUdp(&p2);
    int fd = op.AddUdpSock(nullptr);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(1, op.UdpSend(fd, "!", 1, Loopback(p1)));
    unsigned short opPort = 0;
    ASSERT_EQ("!", RecvFrom(peer1, &opPort));
    SendTo(peer1, "one-a", opPort);
    SendTo(peer2, "two-a", opPort);
    SendTo(peer1, "one-b", opPort);
    EXPECT_EQ(0, op.OnUdpRead(op.GetFdContext(fd)));
    ASSERT_EQ(3u, handler.events.size());
    EXPECT_EQ("one-a", handler.events[0].data);
    EXPECT_EQ(p1, handler.events[0].addr.GetPort());
    EXPECT_EQ("two-a", handler.events[1].data);
    EXPECT_EQ(p2, handler.events[1].addr.GetPort());
    EXPECT_EQ("one-b", handler.events[2].data);
    EXPECT_EQ(p1, handler.events[2].addr.GetPort());
}

TEST_F(AioUdpTest, EmptyDatagramEndsTheStep) {
    unsigned short peerPort = 0;
    int peer = PlainUdp(&peerPort);
    int fd = op.AddUdpSock(nullptr);
    ASSERT_EQ(1, op.UdpSend(fd, "!", 1, Loopback(peerPort)));
    unsigned short opPort = 0;
    ASSERT_EQ("!", RecvFrom(peer, &opPort));
    SendTo(peer, "before", opPort);
    SendTo(peer, "", opPort);
    SendTo(peer, "after", opPort);
    EXPECT_EQ(0, op.OnUdpRead(op.GetFdContext(fd)));
    ASSERT_EQ(1u, handler.events.size());
    EXPECT_EQ("before", handler.events[0].data);
    EXPECT_EQ(0, op.OnUdpRead(op.GetFdContext(fd)));
    ASSERT_EQ(2u, handler.events.size());
    EXPECT_EQ("after", handler.events[1].data);
    EXPECT_EQ(-1, op.OnUdpRead(nullptr));
}

TEST_F(AioUdpTest, BoundSocketReceivesOnItsPortAndClosesWithItsLine) {
    LogCapture log;
    unsigned short port = 0;
    {
        // Find a free datagram port, then bind the operator's socket to it.
        int probe = socket(AF_INET, SOCK_DGRAM, 0);
        CInetAddr any = Loopback(0);
        bind(probe, reinterpret_cast<sockaddr*>(any.GetSockAddr()), sizeof(sockaddr_in));
        port = LocalPort(probe);
        close(probe);
    }
    CInetAddr bindAddr = Loopback(port);
    int fd = op.AddUdpSock(&bindAddr);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(port, LocalPort(fd));
    EXPECT_TRUE(log.Contains("udp fd=" + std::to_string(fd) + ", bind on 127.0.0.1:" + std::to_string(port)));
    unsigned short peerPort = 0;
    int peer = PlainUdp(&peerPort);
    SendTo(peer, "hi", port);
    ASSERT_TRUE(RunUntil(op, [&] { return handler.CountOf(AioEvent::UDP_READ) == 1; }));
    EXPECT_EQ(0, op.CloseSocket(fd));
    EXPECT_TRUE(log.Contains("close fd=" + std::to_string(fd) + ", type=UDP"));
    EXPECT_FALSE(IsOpenFd(fd));
    EXPECT_EQ(fd, op.GetUdpSockFd());
}

TEST_F(AioUdpTest, BindingABusyPortFails) {
    unsigned short port = 0;
    ASSERT_GE(PlainUdp(&port), 0);
    CInetAddr bindAddr = Loopback(port);
    EXPECT_EQ(-1, op.CreateUdpSock(&bindAddr));
    EXPECT_EQ(-1, op.AddUdpSock(&bindAddr));
    EXPECT_EQ(-1, op.GetUdpSockFd());
}

class AioFileTest : public AioTest {
protected:
    TempDir dir;
};

TEST_F(AioFileTest, CreateWritesAndReadsBack) {
    LogCapture log;
    std::string path = dir.file("data.bin");
    mode_t old = umask(022);
    int fd = op.CreateFile(path.c_str());
    umask(old);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(log.Contains("fd=" + std::to_string(fd) + ", create file " + path));
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777u);
    EXPECT_EQ(10, op.WriteFile(fd, "0123456789", 10));
    EXPECT_EQ(10, op.GetFileSize(fd));
    EXPECT_TRUE(log.Contains("fd=" + std::to_string(fd) + ", file size=10"));
    op.CloseFile(fd);
    EXPECT_FALSE(IsOpenFd(fd));

    int rfd = op.OpenFile(path.c_str());
    ASSERT_GE(rfd, 0);
    EXPECT_TRUE(log.Contains("succeeded to open file " + path + ", fd=" + std::to_string(rfd)));
    char buf[32];
    // A short read comes back as it is.
    EXPECT_EQ(10, op.ReadFile(rfd, buf, sizeof(buf)));
    EXPECT_EQ("0123456789", std::string(buf, 10));
    EXPECT_EQ(0, op.ReadFile(rfd, buf, sizeof(buf)));
    EXPECT_TRUE(log.Contains("[err] "));
    EXPECT_TRUE(log.Contains("fd=" + std::to_string(rfd) + ", file read eof"));
    // Writing to a read-only descriptor fails and is logged.
    EXPECT_EQ(-1, op.WriteFile(rfd, "x", 1));
    EXPECT_TRUE(log.Contains("fd=" + std::to_string(rfd) + ", file write error"));
    op.CloseFile(rfd);
}

TEST_F(AioFileTest, CreateTruncatesAnExistingFile) {
    std::string path = dir.file("old.txt");
    WriteFile(path, "previous contents");
    int fd = op.CreateFile(path.c_str());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(0, op.GetFileSize(fd));
    op.CloseFile(fd);
    EXPECT_EQ("", ReadFile(path));
}

TEST_F(AioFileTest, FailuresAreReportedAndLogged) {
    LogCapture log;
    std::string missing = dir.file("missing");
    EXPECT_EQ(-1, op.OpenFile(missing.c_str()));
    EXPECT_TRUE(log.Contains("failed to open file " + missing + ", errno=2, errmsg="));
    std::string noDir = dir.file("no/such/dir");
    EXPECT_EQ(-1, op.CreateFile(noDir.c_str()));
    EXPECT_TRUE(log.Contains("failed to create file " + noDir + ", errno=2"));
    EXPECT_EQ(-1, op.GetFileSize(-1));
    char buf[4];
    EXPECT_EQ(-1, op.ReadFile(-1, buf, sizeof(buf)));
    EXPECT_TRUE(log.Contains("fd=-1, file read error"));
}

TEST_F(AioFileTest, SizeBeyondTheResultRangeIsRefused) {
    std::string path = dir.file("sparse");
    int fd = op.CreateFile(path.c_str());
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, ftruncate(fd, static_cast<off_t>(3) << 30));
    EXPECT_EQ(-1, op.GetFileSize(fd));
    ASSERT_EQ(0, ftruncate(fd, 0x7FFFFFFF));
    EXPECT_EQ(0x7FFFFFFF, op.GetFileSize(fd));
    op.CloseFile(fd);
}
