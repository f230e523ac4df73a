#include "pub_conn.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "report_wire.h"

namespace {

int connect_one(const struct addrinfo* pAddr, int iTimeoutMs, std::string& strWhy) {
    int fd = socket(pAddr->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        strWhy = strerror(errno);
        return -1;
    }
    if (connect(fd, pAddr->ai_addr, pAddr->ai_addrlen) != 0 && errno != EINPROGRESS) {
        strWhy = strerror(errno);
        close(fd);
        return -1;
    }
    struct pollfd oPoll = {fd, POLLOUT, 0};
    int iReady;
    do {
        iReady = poll(&oPoll, 1, iTimeoutMs);
    } while (iReady < 0 && errno == EINTR);
    int iErr = 0;
    socklen_t iLen = sizeof(iErr);
    if (iReady == 0) {
        strWhy = "no answer to the connection within " + std::to_string(iTimeoutMs / 1000) + " s";
    } else if (iReady < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &iErr, &iLen) != 0) {
        strWhy = strerror(errno);
    } else if (iErr != 0) {
        strWhy = strerror(iErr);
    } else {
        int iOne = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &iOne, sizeof(iOne));
        return fd;
    }
    close(fd);
    return -1;
}

}  // namespace

int CPubConn::Connect(int iTimeoutMs, std::string& strWhy) {
    Close();
    struct addrinfo oHints;
    memset(&oHints, 0, sizeof(oHints));
    oHints.ai_family = AF_UNSPEC;
    oHints.ai_socktype = SOCK_STREAM;
    struct addrinfo* pList = nullptr;
    std::string strPort = std::to_string(m_uPort);
    int iGai = getaddrinfo(m_strHost.c_str(), strPort.c_str(), &oHints, &pList);
    if (iGai != 0) {
        strWhy = std::string("cannot resolve ") + m_strHost + ": " + gai_strerror(iGai);
        return -1;
    }
    strWhy = "no address";
    for (const struct addrinfo* p = pList; p != nullptr && m_iFd < 0; p = p->ai_next)
        m_iFd = connect_one(p, iTimeoutMs, strWhy);
    freeaddrinfo(pList);
    return m_iFd >= 0 ? 0 : -1;
}

void CPubConn::Close() {
    if (m_iFd >= 0) close(m_iFd);
    m_iFd = -1;
    m_strOut.clear();
    m_iOutPos = 0;
    m_oIn.clear();
}

int CPubConn::Fail(const std::string& strWhy, std::string& strOut) {
    strOut = strWhy;
    Close();
    return -1;
}

void CPubConn::Queue(const std::string& strPacket) {
    // Written bytes are dropped once they are most of the buffer, so a long
    // run does not keep every packet it sent.
    if (m_iOutPos > 0 && m_iOutPos * 2 >= m_strOut.size()) {
        m_strOut.erase(0, m_iOutPos);
        m_iOutPos = 0;
    }
    m_strOut += strPacket;
}

short CPubConn::WantEvents() const { return static_cast<short>(POLLIN | (m_iOutPos < m_strOut.size() ? POLLOUT : 0)); }

int CPubConn::OnEvents(short iRevents, std::vector<pub_answer_t>& oAnswers, std::string& strWhy) {
    if (m_iFd < 0) return Fail("not connected", strWhy);
    if (iRevents & POLLOUT) {
        while (m_iOutPos < m_strOut.size()) {
            ssize_t n = send(m_iFd, m_strOut.data() + m_iOutPos, m_strOut.size() - m_iOutPos, MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK) break;
                return Fail(strerror(errno), strWhy);
            }
            m_iOutPos += static_cast<size_t>(n);
        }
    }
    if (iRevents & (POLLIN | POLLHUP | POLLERR)) {
        unsigned char arBuf[65536];
        // Answers that came before the end still count: frame first.
        bool bEnded = false;
        while (true) {
            ssize_t n = recv(m_iFd, arBuf, sizeof(arBuf), 0);
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK) break;
                return Fail(strerror(errno), strWhy);
            }
            if (n == 0) {
                bEnded = true;
                break;
            }
            m_oIn.insert(m_oIn.end(), arBuf, arBuf + n);
            if (static_cast<size_t>(n) < sizeof(arBuf)) break;
        }
        size_t iPos = 0;
        while (true) {
            zq_head_t oHead;
            ERcFrame eFrame = rc_frame(m_oIn.data() + iPos, m_oIn.size() - iPos, oHead);
            if (eFrame == RC_FRAME_PARTIAL) break;
            if (eFrame == RC_FRAME_INVALID) return Fail("the center sent an invalid packet", strWhy);
            if (oHead.iCmd != RC_CMD_REPORT_RESPONSE)
                return Fail("the center sent an unexpected command 0x" + std::to_string(oHead.iCmd), strWhy);
            pub_answer_t oAnswer;
            oAnswer.Seq = oHead.iSeq;
            if (!rc_decode_response(m_oIn.data() + iPos, oHead.iLength, oAnswer.Result, oAnswer.Errno))
                return Fail("the center sent a short answer", strWhy);
            oAnswers.push_back(oAnswer);
            iPos += oHead.iLength;
        }
        m_oIn.erase(m_oIn.begin(), m_oIn.begin() + static_cast<std::ptrdiff_t>(iPos));
        if (bEnded) return Fail("the center closed the connection", strWhy);
    }
    return 0;
}
