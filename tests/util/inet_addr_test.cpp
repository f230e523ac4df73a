#include "inet_addr.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

TEST(InetAddr, IsExactlyOneSocketAddressRecord) { EXPECT_EQ(sizeof(sockaddr_in), sizeof(CInetAddr)); }

TEST(InetAddr, TextAndPortRoundTrip) {
    CInetAddr addr("10.0.0.1", 80);
    EXPECT_EQ(167772161u, addr.GetIp());
    EXPECT_EQ(80, addr.GetPort());
    EXPECT_STREQ("10.0.0.1", addr.GetIpStr());
    EXPECT_EQ(AF_INET, addr.GetSockAddr()->sin_family);
    EXPECT_EQ(htons(80), addr.GetSockAddr()->sin_port);
    EXPECT_EQ(inet_addr("10.0.0.1"), addr.GetSockAddr()->sin_addr.s_addr);
}

TEST(InetAddr, HostOrderNumberIsStoredInNetworkOrder) {
    CInetAddr addr(0x7F000001u, 65535);
    EXPECT_STREQ("127.0.0.1", addr.GetIpStr());
    EXPECT_EQ(htonl(0x7F000001u), addr.GetSockAddr()->sin_addr.s_addr);
    EXPECT_EQ(0x7F000001u, addr.GetIp());
    EXPECT_EQ(65535, addr.GetPort());
}

TEST(InetAddr, UnreadableTextBecomesAllOnes) {
    CInetAddr addr("not.an.address", 1);
    EXPECT_EQ(0xFFFFFFFFu, addr.GetIp());
    EXPECT_STREQ("255.255.255.255", addr.GetIpStr());
    addr.SetAddr(static_cast<const char*>(nullptr), 2);
    EXPECT_EQ(0xFFFFFFFFu, addr.GetIp());
    EXPECT_EQ(2, addr.GetPort());
}

TEST(InetAddr, ResetClearsAllSixteenBytes) {
    CInetAddr addr("1.2.3.4", 5);
    addr.Reset();
    sockaddr_in zero;
    memset(&zero, 0, sizeof(zero));
    EXPECT_EQ(0, memcmp(&zero, addr.GetSockAddr(), sizeof(zero)));
    EXPECT_EQ(0u, addr.GetIp());
    EXPECT_EQ(0, addr.GetPort());
}

TEST(InetAddr, CopiesTakeEveryByte) {
    sockaddr_in raw;
    memset(&raw, 0xAB, sizeof(raw));
    raw.sin_family = AF_INET;
    CInetAddr a;
    a.SetAddr(raw);
    EXPECT_EQ(0, memcmp(&raw, a.GetSockAddr(), sizeof(raw)));
    CInetAddr b(a);
    EXPECT_EQ(0, memcmp(&raw, b.GetSockAddr(), sizeof(raw)));
    CInetAddr c("9.9.9.9", 9);
    c = a;
    EXPECT_EQ(0, memcmp(&raw, c.GetSockAddr(), sizeof(raw)));
    CInetAddr& self = c;
    c = self;
    EXPECT_EQ(0, memcmp(&raw, c.GetSockAddr(), sizeof(raw)));
}

TEST(InetAddr, EqualityLooksAtAddressAndPortOnly) {
    CInetAddr a("192.168.1.2", 8080);
    CInetAddr b("192.168.1.2", 8080);
    b.GetSockAddr()->sin_family = AF_UNSPEC;
    memset(b.GetSockAddr()->sin_zero, 0x55, sizeof(b.GetSockAddr()->sin_zero));
    EXPECT_TRUE(a == b);
    EXPECT_FALSE(a == CInetAddr("192.168.1.2", 8081));
    EXPECT_FALSE(a == CInetAddr("192.168.1.3", 8080));
}

TEST(InetAddr, TextLivesInOneSharedBuffer) {
    CInetAddr a("1.1.1.1", 1);
    CInetAddr b("2.2.2.2", 2);
    const char* first = a.GetIpStr();
    const char* second = b.GetIpStr();
    EXPECT_EQ(first, second);
    EXPECT_STREQ("2.2.2.2", first);
}

TEST(InetAddr, RecordServesTheSocketCallsDirectly) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    CInetAddr addr("127.0.0.1", 0);
    ASSERT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(addr.GetSockAddr()), sizeof(sockaddr_in)));
    CInetAddr bound;
    bound.Reset();
    socklen_t len = sizeof(sockaddr_in);
    ASSERT_EQ(0, getsockname(fd, reinterpret_cast<sockaddr*>(bound.GetSockAddr()), &len));
    EXPECT_EQ(0x7F000001u, bound.GetIp());
    EXPECT_NE(0, bound.GetPort());
    close(fd);
}

TEST(InetAddrText, IsIpColonPortAndNotTheSharedBufferOfTheNextCall) {
    CInetAddr a("10.1.2.3", 8080);
    CInetAddr b("127.0.0.1", 9);
    const std::string first = a.GetText();
    EXPECT_EQ(b.GetText(), "127.0.0.1:9");
    EXPECT_EQ(first, "10.1.2.3:8080");
}
