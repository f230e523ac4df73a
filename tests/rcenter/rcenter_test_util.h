// Helpers shared by the zq_rcenter tests: consistent records built from
// chosen sizes and seeds (no file needed), requests packed by the tool's own
// packer, a loopback exchange with the server, and a server process in a
// temporary directory with its configuration, store and logs.
#ifndef ZQ_RCENTER_TEST_UTIL_H
#define ZQ_RCENTER_TEST_UTIL_H

#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "bytes.h"
#include "datareport_svr.h"
#include "files.h"
#include "helper.h"
#include "net.h"
#include "process.h"
#include "rc_check.h"
#include "rc_tsv_line.h"
#include "rc_record_format.h"
#include "tptFile.h"

namespace rctest {

const int kStartTimeoutMs = 30000;
const int kStopTimeoutMs = 10000;
const int kIoTimeoutMs = 10000;

// A System V key nobody else holds, its segment removed when the test ends;
// Key() is 0 when no free key was found.
class SegmentKey {
public:
    SegmentKey() {
        for (int proj = 1; proj < 256; ++proj) {
            key_t key = ftok(m_dir.path().c_str(), proj);
            if (key != -1 && key != 0 && shmget(key, 0, 0) < 0) {
                m_key = key;
                break;
            }
        }
    }
    ~SegmentKey() {
        int id = m_key != 0 ? shmget(m_key, 0, 0) : -1;
        if (id >= 0) shmctl(id, IPC_RMID, nullptr);
    }
    SegmentKey(const SegmentKey&) = delete;
    SegmentKey& operator=(const SegmentKey&) = delete;
    sint32 Key() const { return m_key; }
    // The line of rcenter.conf that selects it.
    std::string Config() const { return "shm_key: " + std::to_string(static_cast<unsigned>(m_key)) + "\n"; }

private:
    zqtest::TempDir m_dir;
    key_t m_key = 0;
};

// Fills info as the tool would for a file of `size` bytes whose piece
// digests and whole-file hashes are drawn from seed.
inline void MakeInfo(RSInfo& info, uint64 size, uint32 seed, const std::string& name = "clip.avi") {
    unsigned int piece = CHelper::GetDefaultPieceSize(size);
    int count = static_cast<int>((size + piece - 1) / piece);
    std::string digests = zqtest::PatternBytes(static_cast<size_t>(count) * 16, seed);
    std::string sha1 = zqtest::PatternBytes(20, seed + 1);
    std::string md4 = zqtest::PatternBytes(16, seed + 2);
    const unsigned char* pDigests = count > 0 ? reinterpret_cast<const unsigned char*>(digests.data()) : nullptr;
    info.Hash = Sha1Hash(reinterpret_cast<const unsigned char*>(sha1.data()), 20);
    info.MD4 = Md5Hash(reinterpret_cast<const unsigned char*>(md4.data()), 16);
    info.Size = size;
    info.TptFile.Makeup(size, count, static_cast<unsigned short>(piece >> 10), pDigests, info.Hash);
    info.FID = Sha1Hash();
    info.SID = Sha1Hash();
    CreateFid(info.FID, size, count, pDigests);
    CreateSid(info.SID, size, count, pDigests);
    info.FileName = name;
    info.ExtName = rc_ext_name(name);
    info.Url = "http://downloads.example.com/" + name;
    info.Ref = ZQ_RC_REFERRER_URL;
}

// The request body as the tool packs it.
inline std::string BodyOf(RSInfo& info) {
    DataBuf body;
    zq_head_t head;
    if (!pack_rc_request(info, 1, body, head)) return std::string();
    return std::string(reinterpret_cast<const char*>(body.GetBegPnt()), body.GetDataLen());
}

// A report as the server decodes it, and what the store is handed of it,
// for a made-up file chosen by seed.
struct Sent {
    rc_report_t report;
    rc_resource_t res;
    rc_location_t where;
};

inline Sent Report(uint32 seed, const std::string& url = "") {
    RSInfo info;
    MakeInfo(info, 100000 + seed * 1000, seed);
    if (!url.empty()) info.Url = url;
    std::string body = BodyOf(info);
    Sent s;
    EXPECT_EQ(rc_decode_report(reinterpret_cast<const unsigned char*>(body.data()), body.size(), s.report), 0u);
    rc_resource_of(s.report, s.res, s.where);
    return s;
}

// A packet around any body: the tool's header with the given fields.
inline std::string PacketOf(const std::string& body, uint32 seq, uint32 cmd = RC_CMD_REPORT) {
    zq_head_t head;
    head.SetHeadData(seq, 1, cmd, nullptr);
    head.SetMsgLen(static_cast<uint32>(body.size()) + RC_HEAD_LEN);
    head.ToNetOrder();
    return std::string(reinterpret_cast<const char*>(&head), sizeof(head)) + body;
}

inline std::string RequestOf(RSInfo& info, uint32 seq) { return PacketOf(BodyOf(info), seq); }

// Offsets inside a packed body, from its texts' lengths.
struct BodyLayout {
    size_t textEnd;  // first byte after the four texts: Hash
    size_t hash, sid, fid, size, tptLen, tpt, md4;
};
inline BodyLayout LayoutOf(const std::string& body) {
    BodyLayout l;
    size_t off = 8;
    for (int i = 0; i < 4; ++i) {
        size_t n = (static_cast<unsigned char>(body[off]) << 8) | static_cast<unsigned char>(body[off + 1]);
        off += 2 + n;
    }
    l.textEnd = off;
    l.hash = off;
    l.sid = off + 20;
    l.fid = off + 40;
    l.size = off + 60;
    l.tptLen = off + 68;
    l.tpt = off + 72;
    l.md4 = l.tpt + zqtest::ReadBigEndian32(body, l.tptLen);
    return l;
}

struct Answer {
    bool received = false;
    std::string bytes;
    uint32 seq = 0;
    uint32 cmd = 0;
    uint32 length = 0;
    uint32 result = 0;
    uint32 err = 0;
};

// Reads one 48-byte response from fd.
inline Answer ReadAnswer(int fd, int timeoutMs = kIoTimeoutMs) {
    Answer a;
    a.bytes = zqtest::RecvExactly(fd, RC_RESPONSE_LEN, timeoutMs);
    if (a.bytes.size() != RC_RESPONSE_LEN) return a;
    a.received = true;
    a.seq = zqtest::ReadBigEndian32(a.bytes, 8);
    a.length = zqtest::ReadBigEndian32(a.bytes, 16);
    a.cmd = zqtest::ReadBigEndian32(a.bytes, 36);
    a.result = zqtest::ReadBigEndian32(a.bytes, 40);
    a.err = zqtest::ReadBigEndian32(a.bytes, 44);
    return a;
}

// Whether the server closed fd (end of stream or reset) within timeoutMs.
inline bool ClosedByPeer(int fd, int timeoutMs = kIoTimeoutMs) {
    if (!zqtest::WaitReadable(fd, timeoutMs)) return false;
    char c;
    ssize_t n = recv(fd, &c, 1, MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

// One connection, one request, one answer.
inline Answer Exchange(unsigned short port, const std::string& packet) {
    int fd = zqtest::PlainConnect(port);
    if (fd < 0) return Answer();
    Answer a;
    if (zqtest::SendAll(fd, packet)) a = ReadAnswer(fd);
    close(fd);
    return a;
}

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

// The key=value fields of a journal line, in order.
inline std::vector<std::pair<std::string, std::string> > Fields(const std::string& line) {
    std::vector<std::pair<std::string, std::string> > fields;
    std::istringstream in(line);
    std::string field;
    while (std::getline(in, field, '\t')) {
        size_t eq = field.find('=');
        if (eq == std::string::npos) {
            fields.emplace_back(field, "<no separator>");
        } else {
            fields.emplace_back(field.substr(0, eq), field.substr(eq + 1));
        }
    }
    return fields;
}

// Every report a store holds as its journal line (zq_lookup --export-tsv);
// empty when there is no store.
inline std::string ExportTsv(const std::string& db) {
    if (!zqtest::FileExists(db)) return "";
    zqtest::ProcessResult r = zqtest::RunProcess(zqtest::BinPath("zq_lookup"), {"--db", db, "--export-tsv"}, "/");
    EXPECT_TRUE(r.exit_code == 0 || r.exit_code == 1) << r.err;
    return r.out;
}

// A zq_rcenter process in its own temporary directory (or a given one).
class Server {
public:
    // Small defaults so a start costs little under sanitizers; extra lines
    // of configuration come before them and win (a key's first value counts).
    // The checks of the locations are off unless a test turns them on: the
    // made-up URLs of the other tests name hosts that are not loopback.
    explicit Server(const std::string& dir = "") : m_dir(dir.empty() ? m_temp.path() : dir) {}
    ~Server() { Stop(); }

    const std::string& Dir() const { return m_dir; }
    std::string File(const std::string& name) const { return m_dir + "/" + name; }
    unsigned short Port() const { return m_port; }
    zqtest::ChildProcess& Process() { return m_process; }

    bool Start(const std::string& extraConfig = "") {
        zqtest::WriteFile(File("rcenter.conf"),
                          extraConfig + "max_fd_num: 64\nshm_size: 1048576\nstat_interval_ms: 100\ncheck_interval_s: 0\n");
        if (!m_process.Start(zqtest::BinPath("zq_rcenter"), {"rcenter.conf"}, m_dir)) return false;
        std::string line;
        if (!m_process.WaitForLine("listening on 127.0.0.1:", &line, kStartTimeoutMs)) return false;
        m_listenLine = line;
        m_port = static_cast<unsigned short>(std::stoi(line.substr(line.rfind(':') + 1)));
        return m_port != 0;
    }

    zqtest::ProcessResult Stop(int sig = SIGTERM) {
        if (!m_process.Running()) return m_last;
        m_process.Signal(sig);
        m_last = m_process.Wait(kStopTimeoutMs);
        return m_last;
    }

    const std::string& ListenLine() const { return m_listenLine; }
    // The stored reports as tab-separated lines (zq_lookup --export-tsv), oldest first.
    std::string StoredLines() const { return ExportTsv(File("data/rcenter.db")); }
    std::string ErrLog() const {
        return zqtest::FileExists(File("log/rcenter_errlog")) ? zqtest::ReadFile(File("log/rcenter_errlog")) : "";
    }

private:
    zqtest::TempDir m_temp;
    std::string m_dir;
    zqtest::ChildProcess m_process;
    zqtest::ProcessResult m_last;
    std::string m_listenLine;
    unsigned short m_port = 0;
};

}  // namespace rctest

#endif
