#include "wire.h"

#include "bytes.h"

namespace zqtest {

std::string PacketHead(uint32_t length, uint32_t cmd, uint32_t seq) {
    return BigEndian32(100) + BigEndian32(19781224) + BigEndian32(seq) + BigEndian32(1) + BigEndian32(length) +
           std::string(16, '\0') + BigEndian32(cmd);
}

std::string Packet(uint32_t cmd, const std::string& body) {
    return PacketHead(static_cast<uint32_t>(40 + body.size()), cmd) + body;
}

std::string Response(uint32_t result, uint32_t err, uint32_t total) {
    std::string body = BigEndian32(result) + BigEndian32(err);
    if (total > 48) body += std::string(total - 48, '\0');
    return PacketHead(total, 0x10908) + body;
}

}  // namespace zqtest
