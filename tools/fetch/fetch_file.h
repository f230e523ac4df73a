// The file a download writes into: FILE.part (or, when repairing, FILE
// itself) opened, set to the table's size and checked piece by piece, then
// written one verified piece at a time with pwrite. The whole-file SHA-1 is
// taken from the front as pieces become done, so the end needs no second
// pass. Failures come back as -1 with the reason in the text argument; the
// file is never removed here.
#ifndef ZQ_FETCH_FILE_H
#define ZQ_FETCH_FILE_H

#include <string>
#include <vector>

#include "common_header.h"
#include "hashval.h"
#include "sha1.h"
#include "tpt_verify.h"

class CFetchFile {
public:
    explicit CFetchFile(const tpt_table_t& oTable);
    ~CFetchFile();
    CFetchFile(const CFetchFile&) = delete;
    CFetchFile& operator=(const CFetchFile&) = delete;

    // Opens strPath, creating it when bCreate (and then never through a
    // symbolic link: that is refused), and cuts or extends it to the
    // table's size (space reserved, so a full disk shows here and not half
    // way). *pbResized: whether its size had to change.
    int Open(const std::string& strPath, bool bCreate, bool* pbResized, std::string& strWhy);
    // Reads the file once: the MD5 of every piece against the table (oGood
    // marks those that match) beside the SHA-1 from the front, which then
    // resumes at the first piece that does not match.
    int Check(std::vector<bool>& oGood, std::string& strWhy);
    // Writes piece uiPiece (already checked against the table).
    int WritePiece(uint32 uiPiece, const unsigned char* pData, size_t uiLen, std::string& strWhy);
    // Takes the SHA-1 on over the done pieces uiDonePrefix from the start,
    // reading at most uiBudget bytes (0: no limit).
    int HashUpTo(uint32 uiDonePrefix, uint64 uiBudget, std::string& strWhy);
    // The SHA-1 of the whole file; every piece must be hashed (HashUpTo).
    bool FileSha1(Sha1Hash& oSha1);
    // Everything to disk, then strPath renamed to strFinal (when not empty).
    int Finish(const std::string& strFinal, std::string& strWhy);

    uint64 Size() const { return m_oTable.Size; }
    uint64 PieceBytes(uint32 uiPiece) const;

private:
    // The MD5 of one piece read through oBuf a block at a time; -1 when a read fails.
    int StreamedMd5(uint32 uiPiece, std::vector<unsigned char>& oBuf, unsigned char* pMd5);

    const tpt_table_t& m_oTable;
    std::string m_strPath;
    int m_iFd = -1;
    SHA_INFO m_oSha;
    uint64 m_uiHashed = 0;  // bytes from the start in m_oSha
    std::vector<unsigned char> m_oBuf;
};

#endif
