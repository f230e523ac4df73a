#include "rc_net_rule.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>

#include "str_util.h"

namespace {

struct stSpecial {
    int Family;
    const char* Addr;
    uint32 Prefix;
};

// The blocks no check may reach unless allowed.
const stSpecial kSpecial[] = {
    {AF_INET, "0.0.0.0", 8},       {AF_INET, "10.0.0.0", 8},     {AF_INET, "100.64.0.0", 10},
    {AF_INET, "127.0.0.0", 8},     {AF_INET, "169.254.0.0", 16}, {AF_INET, "172.16.0.0", 12},
    {AF_INET, "192.168.0.0", 16},  {AF_INET, "224.0.0.0", 4},    {AF_INET, "255.255.255.255", 32},
    {AF_INET6, "::", 128},         {AF_INET6, "::1", 128},       {AF_INET6, "fc00::", 7},
    {AF_INET6, "fe80::", 10},      {AF_INET6, "ff00::", 8},
};

bool PrefixEqual(const unsigned char* a, const unsigned char* b, uint32 iPrefix) {
    uint32 iFull = iPrefix / 8;
    if (memcmp(a, b, iFull) != 0) return false;
    uint32 iRest = iPrefix % 8;
    if (iRest == 0) return true;
    unsigned char cMask = static_cast<unsigned char>(0xff << (8 - iRest));
    return (a[iFull] & cMask) == (b[iFull] & cMask);
}

}  // namespace

int CRcNetRule::Parse(const std::string& strList, std::string& strError) {
    m_oAllowed.clear();
    size_t i = 0;
    while (i < strList.size()) {
        size_t j = strList.find_first_of(", \t", i);
        if (j == std::string::npos) j = strList.size();
        std::string strBlock = strList.substr(i, j - i);
        i = j + 1;
        if (strBlock.empty()) continue;
        std::string strAddr = strBlock;
        std::string strPrefix;
        size_t iSlash = strBlock.find('/');
        if (iSlash != std::string::npos) {
            strAddr = strBlock.substr(0, iSlash);
            strPrefix = strBlock.substr(iSlash + 1);
        }
        stBlock oBlock;
        if (inet_pton(AF_INET, strAddr.c_str(), oBlock.Bytes) == 1) {
            oBlock.Family = AF_INET;
        } else if (inet_pton(AF_INET6, strAddr.c_str(), oBlock.Bytes) == 1) {
            oBlock.Family = AF_INET6;
        } else {
            strError = "not a CIDR block: " + strBlock;
            return EINVAL;
        }
        const uint32 iMax = oBlock.Family == AF_INET ? 32 : 128;
        oBlock.Prefix = iMax;
        if (iSlash != std::string::npos) {
            unsigned long long iPrefix = 0;
            if (ParseDecimal(strPrefix.data(), strPrefix.size(), iMax, &iPrefix) != 0) {
                strError = "not a CIDR block: " + strBlock;
                return EINVAL;
            }
            oBlock.Prefix = static_cast<uint32>(iPrefix);
        }
        m_oAllowed.push_back(oBlock);
    }
    return 0;
}

bool CRcNetRule::Inside(const stBlock& oBlock, int iFamily, const unsigned char* pBytes) {
    return oBlock.Family == iFamily && PrefixEqual(oBlock.Bytes, pBytes, oBlock.Prefix);
}

bool CRcNetRule::Special(int iFamily, const unsigned char* pBytes) {
    for (const stSpecial& o : kSpecial) {
        if (o.Family != iFamily) continue;
        unsigned char arBytes[16] = {};
        inet_pton(o.Family, o.Addr, arBytes);
        if (PrefixEqual(arBytes, pBytes, o.Prefix)) return true;
    }
    return false;
}

bool CRcNetRule::Allows(const struct sockaddr* pAddr) const {
    if (pAddr == nullptr) return false;
    int iFamily = pAddr->sa_family;
    unsigned char arBytes[16] = {};
    if (iFamily == AF_INET) {
        memcpy(arBytes, &reinterpret_cast<const sockaddr_in*>(pAddr)->sin_addr, 4);
    } else if (iFamily == AF_INET6) {
        memcpy(arBytes, &reinterpret_cast<const sockaddr_in6*>(pAddr)->sin6_addr, 16);
        // An IPv4 address mapped (::ffff:a.b.c.d) or translated (64:ff9b::/96)
        // into IPv6 reaches the IPv4 host: judged as that one.
        static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
        static const unsigned char kNat64[12] = {0, 0x64, 0xff, 0x9b, 0, 0, 0, 0, 0, 0, 0, 0};
        if (memcmp(arBytes, kMapped, 12) == 0 || memcmp(arBytes, kNat64, 12) == 0) {
            memmove(arBytes, arBytes + 12, 4);
            memset(arBytes + 4, 0, 12);
            iFamily = AF_INET;
        }
    } else {
        return false;
    }
    for (const stBlock& oBlock : m_oAllowed)
        if (Inside(oBlock, iFamily, arBytes)) return true;
    return !Special(iFamily, arBytes);
}

bool CRcNetRule::AllowsText(const std::string& strAddr) const {
    sockaddr_storage oAddr;
    memset(&oAddr, 0, sizeof(oAddr));
    auto* p4 = reinterpret_cast<sockaddr_in*>(&oAddr);
    auto* p6 = reinterpret_cast<sockaddr_in6*>(&oAddr);
    if (inet_pton(AF_INET, strAddr.c_str(), &p4->sin_addr) == 1) {
        p4->sin_family = AF_INET;
    } else if (inet_pton(AF_INET6, strAddr.c_str(), &p6->sin6_addr) == 1) {
        p6->sin6_family = AF_INET6;
    } else {
        return false;
    }
    return Allows(reinterpret_cast<const sockaddr*>(&oAddr));
}
