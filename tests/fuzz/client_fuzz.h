// The report client's framing of what the server sends: ip_svr_t::OnTcpRead
// over an arbitrary byte stream delivered in arbitrary pieces, as the I/O
// operator hands them over (unconsumed bytes first, then the new ones, in an
// exact-size buffer so a read past it is caught). The input starts with a
// count byte and that many 16-bit piece lengths; the rest is the stream, its
// remainder delivered as the last piece.
//
// Whatever the pieces, the walk must agree with a framing of the whole
// stream: it consumes whole packets only; a response whose body holds the
// two result numbers ends the run, and nothing after it is consumed; a
// length outside the protocol's range or a command that is not a response
// closes the connection; short responses are dropped and the walk goes on.
#ifndef ZQ_CLIENT_FUZZ_H
#define ZQ_CLIENT_FUZZ_H

#include <algorithm>
#include <memory>

#include "datareport_svr.h"
#include "fd_context.h"
#include "fuzz_harness.h"

namespace zqfuzz {

namespace clientdetail {

const uint32_t kHeadLen = zq_head_t::HEAD_LEN;
// The response's two numbers after the header.
const uint32_t kAnswerLen = kHeadLen + 8;

inline uint32_t BigEndian32(const std::string& s, size_t off) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s.data()) + off;
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

// The whole stream cut into packets by their length fields, read here
// without the client's code.
struct Framing {
    std::vector<size_t> ends;  // ends[i]: the offset just past packet i+1; ends[0] = 0
    size_t answer = 0;         // first packet (1-based) that answers the report, or 0
    size_t foreign = 0;        // first packet whose command is not a response, or 0
    bool invalid = false;      // the stream goes on with a whole header of a bad length
};

inline Framing Frame(const std::string& stream) {
    Framing f;
    f.ends.push_back(0);
    size_t pos = 0;
    while (stream.size() - pos >= kHeadLen) {
        uint32_t len = BigEndian32(stream, pos + 16);
        uint32_t cmd = BigEndian32(stream, pos + 36);
        if (len < kHeadLen || len > zq_head_t::MAX_PACKET_LEN) {
            f.invalid = true;
            break;
        }
        if (stream.size() - pos < len) break;
        pos += len;
        f.ends.push_back(pos);
        size_t index = f.ends.size() - 1;
        if (cmd != zq_head_t::CMD_RC_INFO_RSP) {
            if (f.foreign == 0) f.foreign = index;
        } else if (len >= kAnswerLen && f.answer == 0) {
            f.answer = index;
        }
    }
    return f;
}

}  // namespace clientdetail

inline int ClientFuzz(const uint8_t* data, size_t size) {
    using namespace clientdetail;
    ByteReader in(data, size);
    std::vector<size_t> pieces(in.Byte() % 24);
    for (size_t& piece : pieces) piece = in.U16();
    const std::string stream = in.Rest();
    const Framing f = Frame(stream);

    const int kFd = 9;
    CFdContext ctx(1024);
    ctx.Init(kFd, FD_TYPE_TCP_CONNECTED);
    ctx.SetRemoteAddr(CInetAddr("127.0.0.1", 4321));
    ip_svr_t client;
    client.m_rc_conn.set_fd(kFd);
    client.m_run = true;

    std::string pending;  // received, not yet consumed
    size_t delivered = 0;
    size_t consumed = 0;
    bool closed = false;
    for (size_t i = 0; i <= pieces.size() && !closed && client.m_run; ++i) {
        size_t take = i < pieces.size() ? std::min(pieces[i], stream.size() - delivered) : stream.size() - delivered;
        // The operator calls only when something arrived.
        if (take == 0) continue;
        pending.append(stream, delivered, take);
        delivered += take;

        std::unique_ptr<char[]> buf(new char[pending.size()]);
        memcpy(buf.get(), pending.data(), pending.size());
        uint32 parsed = 0;
        sint32 ret = client.OnTcpRead(&ctx, buf.get(), static_cast<uint32>(pending.size()), parsed);
        ZQ_FUZZ_CHECK(ret == 0 || ret == -1);
        ZQ_FUZZ_CHECK(parsed <= pending.size());
        consumed += parsed;
        pending.erase(0, parsed);
        // Only whole packets are ever consumed.
        ZQ_FUZZ_CHECK(std::find(f.ends.begin(), f.ends.end(), consumed) != f.ends.end());
        closed = ret != 0;
    }

    const bool answered = client.run_outcome() == RC_ANSWERED;
    ZQ_FUZZ_CHECK(answered == !client.m_run);
    ZQ_FUZZ_CHECK(answered || client.run_outcome() == RC_OUTCOME_NONE);
    if (f.answer != 0 && (f.foreign == 0 || f.answer < f.foreign)) {
        // However the stream was cut, the answer arrives and ends the run.
        ZQ_FUZZ_CHECK(answered && !closed);
        ZQ_FUZZ_CHECK(consumed == f.ends[f.answer]);
    } else if (f.foreign != 0) {
        // The foreign packet closes the connection; a response that came in
        // the same delivery behind it may still have been read.
        ZQ_FUZZ_CHECK(closed);
        ZQ_FUZZ_CHECK(consumed >= f.ends[f.foreign]);
        if (answered) {
            ZQ_FUZZ_CHECK(consumed == f.ends[f.answer]);
        } else {
            ZQ_FUZZ_CHECK(f.answer == 0 || consumed < f.ends[f.answer]);
        }
    } else {
        // Nothing but dropped short responses, then a bad header or a
        // packet still incomplete.
        ZQ_FUZZ_CHECK(!answered);
        ZQ_FUZZ_CHECK(closed == f.invalid);
        ZQ_FUZZ_CHECK(consumed == f.ends.back());
        // Still open, it has been given every byte and kept what it did not use.
        if (!closed) ZQ_FUZZ_CHECK(delivered == stream.size() && pending.size() == stream.size() - consumed);
    }
    return 0;
}

}  // namespace zqfuzz

#endif
