// Checking a file against its piece table ("TPT", version 4), as
// `zq_ident --verify` does: tpt_parse reads and checks a table, tpt_verify
// compares it with the piece MD5s computed over the file at the table's piece
// size, tpt_verdict_lines words the result. Pure functions: the caller reads
// the table and the file; a table that cannot be used comes back as -1 with
// the reason as text.
#ifndef ZQ_TPT_VERIFY_H
#define ZQ_TPT_VERIFY_H

#include <cstddef>
#include <string>
#include <vector>

#include "common_header.h"
#include "hashval.h"

// What a table says about its file.
struct tpt_table_t {
    uint32 Pieces = 0;
    uint64 PieceSize = 0;                // bytes
    uint64 Size = 0;                     // bytes of the file the table was made of
    std::vector<unsigned char> Digests;  // 16-byte piece MD5s in file order
    Sha1Hash FileHash;
};

// 0 with oTable filled, or -1 with the reason in strWhy: too short or too
// long for its piece count, no "TPT" mark, another version, more than 8192
// pieces, or a geometry no file has (a last piece longer than a piece, a
// piece size other than the one its file size gives).
int tpt_parse(const unsigned char* pData, size_t uiLen, tpt_table_t& oTable, std::string& strWhy);

// A piece whose bytes differ from the table's, at the place the table puts it.
struct tpt_damage_t {
    uint32 Piece;
    uint64 First;  // byte offsets, both included
    uint64 Last;
    Md5Hash Expected;
    Md5Hash Actual;
};

struct tpt_verdict_t {
    uint32 Pieces = 0;
    uint64 PieceSize = 0;
    uint64 TableSize = 0;
    uint64 FileSize = 0;
    std::vector<tpt_damage_t> Damaged;
    uint32 MissingFirst = 0;  // table pieces that begin at or past the file's end
    uint32 MissingCount = 0;
    // Every piece matches, yet the whole-file SHA-1 does not.
    bool Sha1Differs = false;
    Sha1Hash FileSha1;

    bool SizeDiffers() const { return FileSize != TableSize; }
    bool IsIntact() const { return Damaged.empty() && MissingCount == 0 && !SizeDiffers() && !Sha1Differs; }
};

// oPieces: the file's piece MD5s cut at oTable.PieceSize (16 bytes each),
// uiFileSize and oFileSha1 its size and SHA-1. A piece the file holds only in
// part, or holds past the table's end, differs like a damaged one.
tpt_verdict_t tpt_verify(const tpt_table_t& oTable, const std::vector<unsigned char>& oPieces, uint64 uiFileSize,
                         const Sha1Hash& oFileSha1);

// One line per damaged piece ("piece 3: bytes 98304-131071: expected …,
// actual …"), one for the pieces missing at the end, one for a size or a
// SHA-1 that differs, then the summary naming strFile. No newlines.
std::vector<std::string> tpt_verdict_lines(const tpt_verdict_t& oVerdict, const std::string& strFile);

#endif
