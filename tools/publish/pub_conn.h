// CPubConn: zq_publish's one connection to the center. Requests are queued
// as whole packets and written as the socket takes them; the bytes that come
// back are framed with the report codec and handed out as answers, each with
// the sequence number of the request it answers. Non-blocking after the
// connect; the caller polls Fd() for WantEvents(). Single-threaded.
// Failures return -1 with the reason; the connection is then closed.
#ifndef ZQ_PUB_CONN_H
#define ZQ_PUB_CONN_H

#include <string>
#include <vector>

#include "common_header.h"

struct pub_answer_t {
    uint32 Seq = 0;
    uint32 Result = 0;
    uint32 Errno = 0;
};

class CPubConn {
public:
    CPubConn(const std::string& strHost, unsigned short uPort) : m_strHost(strHost), m_uPort(uPort) {}
    ~CPubConn() { Close(); }
    CPubConn(const CPubConn&) = delete;
    CPubConn& operator=(const CPubConn&) = delete;

    // Resolves the host and connects to the first of its addresses that
    // answers, each attempt bounded by iTimeoutMs. Unsent bytes of an
    // earlier connection are dropped.
    int Connect(int iTimeoutMs, std::string& strWhy);
    bool Connected() const { return m_iFd >= 0; }
    int Fd() const { return m_iFd; }
    void Close();

    void Queue(const std::string& strPacket);
    // POLLIN, and POLLOUT while bytes wait to be written.
    short WantEvents() const;
    // Writes and reads as poll's iRevents allow; answers are appended to
    // oAnswers. -1 when the connection ended or the center sent something
    // that is not an answer.
    int OnEvents(short iRevents, std::vector<pub_answer_t>& oAnswers, std::string& strWhy);

private:
    int Fail(const std::string& strWhy, std::string& strOut);

    std::string m_strHost;
    unsigned short m_uPort;
    int m_iFd = -1;
    std::string m_strOut;
    size_t m_iOutPos = 0;
    std::vector<unsigned char> m_oIn;
};

#endif
