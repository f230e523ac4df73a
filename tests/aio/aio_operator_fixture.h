// What the operator's tests share: a probe that reaches the protected steps,
// the epoll interest masks they expect, and AioTest, an operator with a
// 512-slot table and an epoll instance, a recording handler, and pairs of
// connected sockets (one end the operator's, the other plain) that are closed
// after each test.
#ifndef ZQ_TESTS_AIO_OPERATOR_FIXTURE_H
#define ZQ_TESTS_AIO_OPERATOR_FIXTURE_H

#include <sys/epoll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "aio_recorder.h"
#include "descriptors.h"
#include "files.h"
#include "log_capture.h"
#include "net.h"
#include "aio_operator.h"

namespace aiotest {

using namespace zqtest;

// Reaches the steps and watch-list operations the operator keeps protected.
class CAioProbe : public CAioOperator {
public:
    using CAioOperator::CAioOperator;
    using CAioOperator::CleanInactiveFds;
    using CAioOperator::OnTcpAccept;
    using CAioOperator::OnUdpRead;
};

const long kInterestIn = EPOLLIN | EPOLLERR | EPOLLHUP;
const long kInterestInOut = EPOLLIN | EPOLLOUT | EPOLLERR | EPOLLHUP;
const long kInterestOut = EPOLLOUT | EPOLLERR | EPOLLHUP;

inline std::string Pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + i / 4096) & 0xFF);
    return s;
}

class AioTest : public ::testing::Test {
protected:
    RecordingHandler handler;
    CAioProbe op{handler};
    std::vector<int> plain;

    void SetUp() override {
        ASSERT_EQ(0, op.InitMaxFdNum(512, 4096));
        ASSERT_EQ(0, op.CreateEpoll());
    }

    // Closes whatever the operator still has open, without running test hooks.
    void TearDown() override {
        handler.onConnOut = nullptr;
        handler.onRead = nullptr;
        handler.onWrote = nullptr;
        handler.onClosed = nullptr;
        CloseOperatorFds(op);
        for (int fd : plain) close(fd);
    }

    static void CloseOperatorFds(CAioOperator& anOp) {
        for (uint32 i = 0; i < anOp.GetMaxFdNum(); ++i) {
            CFdContext* ctx = anOp.GetFdContext(static_cast<sint32>(i));
            if (ctx != nullptr && ctx->GetFd() >= 0) anOp.CloseSocket(ctx->GetFd());
        }
    }

    int Keep(int fd) {
        if (fd >= 0) plain.push_back(fd);
        return fd;
    }

    // An outgoing connection through the operator to a plain listener,
    // completed; returns the operator's descriptor and the plain peer.
    void ConnectedPair(unsigned short port, int listenFd, int* opFd, int* peerFd) {
        *opFd = op.Connect(Loopback(port));
        ASSERT_GE(*opFd, 0);
        *peerFd = Keep(PlainAccept(listenFd));
        ASSERT_GE(*peerFd, 0);
        int fd = *opFd;
        ASSERT_TRUE(RunUntil(op, [&] { return handler.CountOf(AioEvent::CONN_OUT, fd) == 1; }));
        ASSERT_TRUE(handler.events.back().success);
    }

    // A connection accepted by the operator's listener; returns the accepted
    // descriptor and the plain client.
    void AcceptedPair(int listenFd, int* acceptedFd, int* clientFd) {
        uint32 before = op.GetStatisInfo().m_iAcceptCount;
        *clientFd = Keep(PlainConnect(LocalPort(listenFd)));
        ASSERT_GE(*clientFd, 0);
        ASSERT_TRUE(RunUntil(op, [&] { return op.GetStatisInfo().m_iAcceptCount == before + 1; }));
        *acceptedFd = -1;
        unsigned short clientPort = LocalPort(*clientFd);
        for (uint32 i = 0; i < op.GetMaxFdNum(); ++i) {
            CFdContext* ctx = op.GetFdContext(static_cast<sint32>(i));
            if (ctx->GetFdType() == FD_TYPE_TCP_ACCEPTED && ctx->GetRemoteAddr()->GetPort() == clientPort)
                *acceptedFd = ctx->GetFd();
        }
        ASSERT_GE(*acceptedFd, 0);
    }
};

}  // namespace aiotest

#endif
