// One IPv4 socket address held as a value, so endpoints can be passed,
// compared and printed. Owns nothing; copying copies the 16-byte record.
#ifndef ZQ_INET_ADDR_H
#define ZQ_INET_ADDR_H

#include <netinet/in.h>

#include <string>

#include "common_header.h"

class CInetAddr {
public:
    // Leaves the record undefined until Reset or SetAddr, like a plain sockaddr_in.
    CInetAddr() {}
    CInetAddr(const CInetAddr& other);
    CInetAddr(const char* pszIp, uint16 nPort);
    CInetAddr(uint32 iIpAddr, uint16 nPort);
    ~CInetAddr() {}

    CInetAddr& operator=(const CInetAddr& right);

    void SetAddr(const sockaddr_in& sockAddr);
    // Unreadable text yields 255.255.255.255, as inet_addr does.
    void SetAddr(const char* pszIp, uint16 nPort);
    // iIpAddr in host order.
    void SetAddr(uint32 iIpAddr, uint16 nPort);
    void Reset();

    sockaddr_in* GetSockAddr() { return &m_SockAddr; }
    uint32 GetIp() const;
    uint16 GetPort() const;
    // Text lives in the process-wide inet_ntoa buffer: the next call overwrites it.
    const char* GetIpStr() const;
    // "IP:PORT", the one way a peer is named in a log line; a copy of its own.
    std::string GetText() const;

    friend bool operator==(const CInetAddr& left, const CInetAddr& right);

private:
    sockaddr_in m_SockAddr;
};

bool operator==(const CInetAddr& left, const CInetAddr& right);

#endif
