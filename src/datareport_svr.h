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
