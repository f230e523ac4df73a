// The resource-info record (RSInfo) that the tool reports about one file, the
// computation that fills it, the packet header and request layout of the
// report protocol, and the report client ip_svr_t that owns the record.
// The computation is split in two pure steps shared by datareport and
// zq_ident: compute_rc_digests reads the file (three throttled passes, or one
// fast pass), fill_rc_info builds the piece table and the identifiers and
// fills the record. Neither prints nor logs (a progress line on a terminal
// aside); compute_rc_info wraps them with the tool's lines.
#ifndef ZQ_DATAREPORT_SVR_H
#define ZQ_DATAREPORT_SVR_H

#include <atomic>
#include <string>
#include <vector>

#include "aio_evt_handler.h"
#include "aio_operator.h"
#include "common_header.h"
#include "hashval.h"
#include "tcp_connect.h"
#include "tptFile.h"

class CProgressLine;

// The referrer stored in every record.
extern const char* const ZQ_RC_REFERRER_URL;

// The record owns its texts and its piece table; it is not copied.
struct RSInfo {
    RSInfo();
    ~RSInfo();
    RSInfo(const RSInfo&) = delete;
    RSInfo& operator=(const RSInfo&) = delete;

    Sha1Hash Hash;  // SHA-1 of the whole file
    std::string Url;
    std::string Ref;
    std::string FileName;
    std::string ExtName;
    Sha1Hash SID;
    Sha1Hash FID;
    Md5Hash MD4;  // chunked MD4 of the whole file
    uint64_t Size;
    TPTFile TptFile;

    // Appends the request body at buf's cursor: time stamp, the value 2, the
    // four texts behind 2-byte lengths (each cut to its low 16 bits of length
    // and as many leading bytes), Hash, SID, FID, Size, the piece table behind
    // a 4-byte length, MD4. False when buf could not take it all; the body is
    // then incomplete and must not be sent.
    bool Pack2Buf(DataBuf& buf);
};

// What the three passes over one file produce.
struct rc_digests_t {
    Md5Hash MD4;
    Sha1Hash Hash;
    std::vector<unsigned char> Pieces;  // 16-byte piece MD5s, concatenated in file order
    uint64 Size = 0;

    int PieceCount() const { return static_cast<int>(Pieces.size() / 16); }
};

// Results of compute_rc_digests: the pass that failed.
enum {
    RC_DIGESTS_OK = 0,
    RC_DIGESTS_MD4_FAILED = -1,  // also: missing, unreadable or not a regular file
    RC_DIGESTS_SHA1_FAILED = -2,
    RC_DIGESTS_PIECES_FAILED = -3,  // also: the file changed size between the passes
};

// How the file is read. Both ways give the same digests.
struct rc_digest_opts_t {
    rc_digest_opts_t() {}
    rc_digest_opts_t(bool bThrottle, unsigned int uiThreads) : Throttle(bThrottle), Threads(uiThreads) {}

    // True: three passes (MD4, SHA-1, pieces) with the throttle's pauses.
    // False: one pass in large reads, no pauses, Threads threads (1 to 4).
    bool Throttle = true;
    unsigned int Threads = 1;
    // Shows how far the passes have got; may be null. Cleared at the end.
    CProgressLine* Progress = nullptr;
};

// Reads strFileName: chunked MD4, whole-file SHA-1, piece MD5s. The three
// passes stop at the first failure. The one pass reports a read error, or a
// file that shrank under it, as the MD4 pass would (the first to read), and a
// file that grew or changed size as RC_DIGESTS_PIECES_FAILED, like the three
// passes finding another size at their end.
int compute_rc_digests(const std::string& strFileName, rc_digests_t& oDigests, const rc_digest_opts_t& oOpts);
// The three passes; bSleep throttles them.
int compute_rc_digests(const std::string& strFileName, rc_digests_t& oDigests, bool bSleep);

// Results of fill_rc_info: whether the record carries a piece table.
enum {
    RC_TPT_BUILT = 0,
    RC_TPT_REFUSED = 1,    // the table builder refused the pieces
    RC_TPT_TOO_LARGE = 2,  // the piece size does not fit the table's 16-bit KiB field
};

// Largest file whose piece size (in KiB) fits the table's 16-bit field.
const uint64 RC_TPT_MAX_FILE_SIZE = 549747425280ULL;

// Builds the piece table, the SID and the FID and fills every field of
// oInfo. A file too large for a table gets none (an empty TptFile) rather
// than one with a truncated piece size.
int fill_rc_info(const rc_digests_t& oDigests, const std::string& realFileName, const std::string& url, RSInfo& oInfo);

// The text after the last '.' of the name, or the whole name without one.
std::string rc_ext_name(const std::string& realFileName);

// The identifying values of a record as printable fields, in a fixed order:
// size, piece_size, pieces, md4, sha1, sid, fid (lowercase hex), tpt_bytes.
struct rc_field_t {
    std::string Key;
    std::string Value;
    bool Number;
};
std::vector<rc_field_t> rc_info_fields(const RSInfo& oInfo);

// Every packet, both ways, starts with this 40-byte header; integers are
// big-endian on the wire. The record is kept in host order until ToNetOrder,
// after which its 40 bytes are the header as sent.
struct zq_head_t {
    enum {
        HEAD_LEN = 40,
        MAX_PACKET_LEN = 524288,  // also a connection's read buffer in the tool
        VERSION = 100,
        SIGNATURE = 19781224,
        CMD_RC_INFO_REQ = 0x10907,
        CMD_RC_INFO_RSP = 0x10908,
        OFFSET_LENGTH = 16,
        OFFSET_CMD = 36,
    };

    zq_head_t();

    // pReserve, when not null, supplies the 16 reserved bytes.
    void SetHeadData(uint32_t seq, uint32_t flag, uint32_t cmd, uint8_t* pReserve);
    void SetMsgLen(uint32_t len);
    // Integers to network order; Reserved is raw and left alone.
    void ToNetOrder();
    // The inverse, for a header copied off the wire.
    void ToHostOrder();

    // The length and command fields of the packet at p, which must hold at
    // least HEAD_LEN bytes.
    static uint32_t PeekLength(const char* p);
    static uint32_t PeekCmd(const char* p);

    uint32_t iVer;
    uint32_t iSign;
    uint32_t iSeq;
    uint32_t iFlag;
    uint32_t iLength;
    uint8_t Reserved[16];
    uint32_t iCmd;
};

static_assert(sizeof(zq_head_t) == zq_head_t::HEAD_LEN, "the header is 40 bytes without padding");

// Builds one report request for info: body packed into body (which is
// resized first), header with sequence number seq, length and command set and
// already in network order. False when the body could not be packed whole.
bool pack_rc_request(RSInfo& info, uint32_t seq, DataBuf& body, zq_head_t& head);

// How a report run ended, as ip_svr_t::run_outcome() tells it.
enum ERcOutcome {
    RC_OUTCOME_NONE = 0,     // run has not ended (or not started)
    RC_ANSWERED,             // the server's response was decoded
    RC_NOTHING_TO_SEND,      // connected, but the record was never computed
    RC_CONNECT_FAILED,       // the connect was refused or failed
    RC_SEND_FAILED,          // the request could not be built or queued
    RC_CLOSED,               // the connection closed or broke before a response
    RC_TIMED_OUT,            // no response within the task timeout
    RC_STOPPED,              // a termination signal stopped the wait
};

// The report client. It owns the record, an I/O operator for which it is the
// event handler, and the keeper of its one connection to the resource center.
// compute_rc_info, init, run, in that order, on one thread; run returns once
// the report was answered, cannot be answered, timed out, or a termination
// signal asked it to stop (polled from app_signal each turn).
class ip_svr_t : public CAioEvtHandler {
public:
    enum {
        MAX_FD_NUM = 64,
        READ_BUF_SIZE = zq_head_t::MAX_PACKET_LEN,
        INACTIVE_TIMEOUT_MS = 10000,
        RETRY_INTERVAL_MS = 2000,
        DEFAULT_TASK_TIMEOUT_MS = 3000,
    };

    ip_svr_t();
    ~ip_svr_t() override;
    ip_svr_t(const ip_svr_t&) = delete;
    ip_svr_t& operator=(const ip_svr_t&) = delete;

    // Reads strFileName, records realFileName and url; 0 on success (and
    // m_compute set), -1 when a pass failed (the record stays untouched).
    // Prints and logs its progress lines; with standard error on a terminal
    // a progress line shows there while the file is read.
    int compute_rc_info(const std::string& strFileName, const std::string& realFileName, const std::string& url,
                        const rc_digest_opts_t& oOpts = rc_digest_opts_t());

    // The operator's table and epoll instance, and the keeper aimed at
    // g_config's rc_ip:rc_port; 0, or the failing step's negative result.
    int init();
    // Waits at most task_timeout_ms (g_config; non-positive means the
    // default) from its start. Always 0; run_outcome() says how it ended.
    int run();
    // Ends the run after the current turn, as a termination signal does.
    int Stop();
    // Packs and queues the request on the keeper's connection; 0 when both
    // parts were queued, otherwise negative (nothing, or only the header,
    // was queued).
    int send_rc_info();
    // Decodes one response packet of iBufLen bytes (header included): logs
    // its result and error number and ends the run; -1 (dropped) when the
    // body holds fewer than 8 bytes.
    int process_rc_info_response(CFdContext* pFdContext, char* pData, uint32_t iBufLen);

    sint32 OnTcpConnOut(CFdContext* pFdContext, bool bSuccess) override;
    sint32 OnTcpRead(CFdContext* pFdContext, char* pData, uint32 iDataSize, uint32& iParsedDataSize) override;
    sint32 OnTcpWrote(CFdContext* pFdContext, void* pHandle, const char* pRefedMem, uint32 iWantSize,
                      sint32 iWroteSize) override;
    sint32 OnUdpRead(CFdContext* pFdContext, char* pData, uint32 iDataSize, const CInetAddr& remoteAddr) override;
    // Our connection closing before the response ends the run; -1 for null.
    sint32 OnFdClosed(CFdContext* pFdContext) override;

    // After the keeper started a connect: one that completed inside Connect
    // gets no OnTcpConnOut from the operator, so it is announced here.
    void on_connect_started();

    ERcOutcome run_outcome() const { return m_outcome; }
    // The signal behind RC_STOPPED, else 0.
    int stop_signal() const { return m_stop_sig; }

    RSInfo mData;
    std::atomic<bool> m_run;
    CAioOperator m_AioOperator;
    tcp_connect m_rc_conn;
    bool m_compute;

private:
    // Records the first outcome and ends the run; later calls change nothing.
    void finish(ERcOutcome outcome);
    // Whether pFdContext is the keeper's live connection.
    bool is_rc_conn(CFdContext* pFdContext) const;

    ERcOutcome m_outcome;
    int m_stop_sig;
    bool m_announced;  // OnTcpConnOut handled for the current connection
};

// The request counter: 0 at start, incremented before each request is built.
extern uint32_t mSeq;

// Milliseconds from time_start (a GetTickCount() value) to now; 0, with a
// warning, when the tick is below time_start. timeval_us: the same in
// microseconds.
uint32_t timeval_ms(uint32_t time_start);
uint64_t timeval_us(uint32_t time_start);

extern ip_svr_t g_ip_svr;

#endif
