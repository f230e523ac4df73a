// RSInfo, the resource-info record the tool reports about one file, and the
// steps that fill it from a file's digests: the piece table, the SID and the
// FID. Pure functions: nothing here reads a file, prints or logs. The record
// is packed onto the wire by report_wire (RSInfo::Pack2Buf lives there, with
// the rest of the codec); fill_rc_info and rc_info_fields are shared by
// datareport, zq_ident and zq_rcenter so the three agree on every value.
#ifndef ZQ_RC_RECORD_H
#define ZQ_RC_RECORD_H

#include <string>
#include <vector>

#include "common_header.h"
#include "databuf.h"
#include "hashval.h"
#include "tptFile.h"

struct rc_digests_t;

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

#endif
