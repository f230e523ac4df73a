// Which addresses the checker may connect to. A reported URL is anyone's
// text, so a check must never become a way into the center's own networks:
// loopback, private (RFC 1918), link-local, shared (100.64/10), multicast,
// unspecified, IPv6 unique-local and link-local addresses (and IPv4 ones
// mapped into IPv6) are refused unless a block of the allow list holds
// them. Immutable after Parse; any thread may ask.
#ifndef ZQ_RC_NET_RULE_H
#define ZQ_RC_NET_RULE_H

#include <sys/socket.h>

#include <string>
#include <vector>

#include "common_header.h"

class CRcNetRule {
public:
    // strList: CIDR blocks ("10.1.0.0/16", "::1/128"; a bare address is a
    // block of one) separated by commas or spaces; empty allows nothing
    // more. 0, or EINVAL with the block that is not one in strError.
    int Parse(const std::string& strList, std::string& strError);
    // Whether the checker may connect to pAddr (AF_INET or AF_INET6; any
    // other family is refused).
    bool Allows(const struct sockaddr* pAddr) const;
    // The same for an address in text; false for text that is none.
    bool AllowsText(const std::string& strAddr) const;

private:
    struct stBlock {
        int Family = 0;
        unsigned char Bytes[16] = {};
        uint32 Prefix = 0;
    };
    static bool Inside(const stBlock& oBlock, int iFamily, const unsigned char* pBytes);
    static bool Special(int iFamily, const unsigned char* pBytes);

    std::vector<stBlock> m_oAllowed;
};

#endif
