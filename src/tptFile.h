// The piece table ("TPT", version 4): a 35-byte little-endian header, the
// MD5 of every piece and the SHA-1 of the whole file, 55 + 16 x pieces bytes.
// TPTFile builds it into its own buffer (Makeup), reads one in place
// (Resolve: the caller's bytes must outlive the object's use of them) or
// copies one in (SetTptData). Also the two resource identifiers computed from
// a file's size and piece digests: the FID and the SID.
#ifndef ZQ_TPTFILE_H
#define ZQ_TPTFILE_H

#include <cstddef>
#include <type_traits>

#include "databuf.h"
#include "hashval.h"

#pragma pack(push, 1)
struct stTptHeadInfo {
    char Format[3] = {'T', 'P', 'T'};
    short Version = 4;
    unsigned int FileID = 0;
    unsigned int SegCnt = 0;
    unsigned short SegSize = 0;  // KiB
    unsigned int LastSegSize = 0;
    Md5Hash FileHash;
};
#pragma pack(pop)
typedef stTptHeadInfo TptHeadInfo;

static_assert(sizeof(stTptHeadInfo) == 35, "the header is 35 bytes without padding");
static_assert(std::is_trivially_copyable<stTptHeadInfo>::value, "the header is copied as raw bytes");

class TPTFile : public DataBuf {
public:
    enum {
        MAX_SEG_CNT = 8192,
        // Anything this long or longer is refused by SetTptData.
        MAX_TPT_DATA = 133121,
    };

    TPTFile();
    ~TPTFile() override;

    // Builds the table of segCnt pieces of segSize KiB. False (and no new
    // table) for more than 8192 pieces, a negative count, missing digests, or
    // a last piece longer than a piece; the header fields are set regardless.
    bool Makeup(unsigned long long filesize, int segCnt, unsigned short segSize, const unsigned char* pTpt,
                const Sha1Hash& filehash);
    // Reads a serialized table without copying it. A null or empty input is
    // accepted and changes nothing; truncated input gives false.
    bool Resolve(unsigned char* pFileData, unsigned int len);
    // Copies a serialized table of fewer than 133,121 bytes; longer ones are ignored.
    void SetTptData(void* buf, unsigned int len);

    stTptHeadInfo mTptHead;
    DataBuf mTptPieces;  // view of the digests inside the table, not owned
    Sha1Hash mFilehash;
};

// What a serialized table says of its file, read by every caller that
// takes a table from outside (tpt_parse, the center's checks) through
// tpt_read_shape, so they agree on what a well-formed table is. The
// pointers are views into the caller's bytes.
struct tpt_shape_t {
    unsigned int Pieces = 0;
    unsigned long long PieceSize = 0;  // bytes
    unsigned long long Size = 0;       // bytes of the file the table describes
    const unsigned char* Digests = nullptr;
    const unsigned char* FileHash = nullptr;  // 20 bytes
    unsigned int SegSize = 0;        // the header's fields as they came, for messages
    unsigned int LastSegSize = 0;
    short Version = 0;
};

// Results of tpt_read_shape, in the order the checks run. The first four
// mean the bytes are not a table at all; the last two that they are one,
// but of a geometry no file has.
enum ETptShape {
    TPT_SHAPE_OK = 0,
    TPT_SHAPE_SHORT = 1,       // fewer than the 55 bytes of an empty table
    TPT_SHAPE_MARK = 2,        // no "TPT" at the start
    TPT_SHAPE_VERSION = 3,     // a version other than 4
    TPT_SHAPE_LENGTH = 4,      // a length other than 55 + 16 x its piece count
    TPT_SHAPE_TOO_MANY = 5,    // more than 8192 pieces
    TPT_SHAPE_GEOMETRY = 6,    // a last piece of 0 bytes or longer than a piece, or pieces of 0 bytes,
                               // or an empty table whose sizes are not the builder's
    TPT_SHAPE_PIECE_SIZE = 7,  // a piece size other than the one its file size gives
};

// Reads the header and checks the shape; oShape is filled as far as the
// bytes allow, whatever the result.
int tpt_read_shape(const unsigned char* pData, size_t uiLen, tpt_shape_t& oShape);

// Both leave the identifier unchanged when there are no digests (pTpt null
// or tptSegCnt 0 or less) or more than 8192 of them.
// FID: SHA-1 of the size (8 bytes little-endian) and every piece digest.
void CreateFid(Sha1Hash& Fid, unsigned long long filesize, int tptSegCnt, const unsigned char* pTpt);
// SID: SHA-1 of the first, middle (index count / 2) and last piece digests,
// as far as there are that many distinct pieces, then the size.
void CreateSid(Sha1Hash& Sid, unsigned long long filesize, int tptSegCnt, const unsigned char* pTpt);

#endif
