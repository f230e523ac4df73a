// The report protocol as bytes, built independently of the code under test:
// the 40-byte header, whole packets and responses; and the packed
// piece-table header's fields read by value.
#ifndef ZQ_TEST_WIRE_H
#define ZQ_TEST_WIRE_H

#include <cstdint>
#include <string>

namespace zqtest {

// The 40-byte header as the protocol lays it out (big-endian integers, 16
// zero reserved bytes), with the given length field and command.
std::string PacketHead(uint32_t length, uint32_t cmd, uint32_t seq = 1);
// A whole packet: header with length 40 + body.size(), then the body.
std::string Packet(uint32_t cmd, const std::string& body);
// A response of total bytes (at least 48): result and error number, then
// zero filler.
std::string Response(uint32_t result, uint32_t err, uint32_t total = 48);

// Piece-table header fields by value: members of a packed record must not
// bind to the references the assertion macros take.
template <class Tpt>
unsigned int SegCntOf(const Tpt& tpt) {
    return tpt.mTptHead.SegCnt;
}
template <class Tpt>
unsigned int SegSizeOf(const Tpt& tpt) {
    return tpt.mTptHead.SegSize;
}
template <class Tpt>
unsigned int LastSegSizeOf(const Tpt& tpt) {
    return tpt.mTptHead.LastSegSize;
}

}  // namespace zqtest

#endif
