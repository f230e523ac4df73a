#include "inet_addr.h"

#include <arpa/inet.h>
#include <cstring>

CInetAddr::CInetAddr(const CInetAddr& other) { memcpy(&m_SockAddr, &other.m_SockAddr, sizeof(m_SockAddr)); }

CInetAddr::CInetAddr(const char* pszIp, uint16 nPort) {
    memset(&m_SockAddr, 0, sizeof(m_SockAddr));
    SetAddr(pszIp, nPort);
}

CInetAddr::CInetAddr(uint32 iIpAddr, uint16 nPort) {
    memset(&m_SockAddr, 0, sizeof(m_SockAddr));
    SetAddr(iIpAddr, nPort);
}

CInetAddr& CInetAddr::operator=(const CInetAddr& right) {
    if (this != &right) memcpy(&m_SockAddr, &right.m_SockAddr, sizeof(m_SockAddr));
    return *this;
}

void CInetAddr::SetAddr(const sockaddr_in& sockAddr) { memcpy(&m_SockAddr, &sockAddr, sizeof(m_SockAddr)); }

void CInetAddr::SetAddr(const char* pszIp, uint16 nPort) {
    m_SockAddr.sin_family = AF_INET;
    m_SockAddr.sin_addr.s_addr = inet_addr(pszIp ? pszIp : "");
    m_SockAddr.sin_port = htons(nPort);
}

void CInetAddr::SetAddr(uint32 iIpAddr, uint16 nPort) {
    m_SockAddr.sin_family = AF_INET;
    m_SockAddr.sin_addr.s_addr = htonl(iIpAddr);
    m_SockAddr.sin_port = htons(nPort);
}

void CInetAddr::Reset() { memset(&m_SockAddr, 0, sizeof(m_SockAddr)); }

uint32 CInetAddr::GetIp() const { return ntohl(m_SockAddr.sin_addr.s_addr); }

uint16 CInetAddr::GetPort() const { return ntohs(m_SockAddr.sin_port); }

const char* CInetAddr::GetIpStr() const { return inet_ntoa(m_SockAddr.sin_addr); }

std::string CInetAddr::GetText() const {
    char szIp[INET_ADDRSTRLEN] = "";
    if (inet_ntop(AF_INET, &m_SockAddr.sin_addr, szIp, sizeof(szIp)) == nullptr) return "?";
    return std::string(szIp) + ":" + std::to_string(GetPort());
}

bool operator==(const CInetAddr& left, const CInetAddr& right) {
    return left.m_SockAddr.sin_addr.s_addr == right.m_SockAddr.sin_addr.s_addr &&
           left.m_SockAddr.sin_port == right.m_SockAddr.sin_port;
}
