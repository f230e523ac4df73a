// The piece table ("TPT", version 4): a 35-byte little-endian header, the
// MD5 of every piece and the SHA-1 of the whole file, 55 + 16 x pieces bytes.
// TPTFile builds it into its own buffer (Makeup), reads one in place
// (Resolve: the caller's bytes must outlive the object's use of them) or
// copies one in (SetTptData). Also the two resource identifiers computed from
// a file's size and piece digests: the FID and the SID.
#ifndef ZQ_TPTFILE_H
#define ZQ_TPTFILE_H

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

// Both leave the identifier unchanged when there are no digests (pTpt null
// or tptSegCnt 0 or less) or more than 8192 of them.
// FID: SHA-1 of the size (8 bytes little-endian) and every piece digest.
void CreateFid(Sha1Hash& Fid, unsigned long long filesize, int tptSegCnt, const unsigned char* pTpt);
// SID: SHA-1 of the first, middle (index count / 2) and last piece digests,
// as far as there are that many distinct pieces, then the size.
void CreateSid(Sha1Hash& Sid, unsigned long long filesize, int tptSegCnt, const unsigned char* pTpt);

#endif
