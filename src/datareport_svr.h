// The resource-info record (RSInfo) that the tool reports about one file, the
// computation that fills it, and the report client ip_svr_t that owns it.
// The computation is split in two pure steps shared by datareport and
// zq_ident: compute_rc_digests reads the file (three passes), fill_rc_info
// builds the piece table and the identifiers and fills the record. Neither
// prints nor logs; compute_rc_info wraps them with the tool's lines.
#ifndef ZQ_DATAREPORT_SVR_H
#define ZQ_DATAREPORT_SVR_H

#include <string>
#include <vector>

#include "common_header.h"
#include "hashval.h"
#include "tptFile.h"

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

// Reads strFileName: chunked MD4, whole-file SHA-1, piece MD5s, in that order,
// stopping at the first failure. bSleep throttles the passes.
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

// The report client: holds the record to send and whether it was computed.
class ip_svr_t {
public:
    ip_svr_t();
    ~ip_svr_t();
    ip_svr_t(const ip_svr_t&) = delete;
    ip_svr_t& operator=(const ip_svr_t&) = delete;

    // Reads strFileName, records realFileName and url; 0 on success (and
    // m_compute set), -1 when a pass failed (the record stays untouched).
    // Prints and logs its progress lines.
    int compute_rc_info(const std::string& strFileName, const std::string& realFileName, const std::string& url);

    RSInfo mData;
    bool m_compute;
};

extern ip_svr_t g_ip_svr;

#endif
