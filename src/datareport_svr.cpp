#include "datareport_svr.h"

#include <cstdio>

#include "filehelper.h"
#include "helper.h"
#include "svr_log.h"

const char* const ZQ_RC_REFERRER_URL = "http://datareport.example.com/";

RSInfo::RSInfo() : Size(0) {}

RSInfo::~RSInfo() {}

int compute_rc_digests(const std::string& strFileName, rc_digests_t& oDigests, bool bSleep) {
    // Only a regular file has a size that matches its content; opening a
    // FIFO or a device could also block the tool for good.
    if (!CFileHelper::IsRegularFile(strFileName.c_str())) return RC_DIGESTS_MD4_FAILED;

    unsigned char arMd4[16];
    if (!CHelper::GetFileMd4(strFileName, arMd4, bSleep)) return RC_DIGESTS_MD4_FAILED;
    unsigned char arSha1[20];
    if (!CHelper::GetFileSha1(strFileName, arSha1, bSleep)) return RC_DIGESTS_SHA1_FAILED;
    std::vector<std::vector<unsigned char> > oPieceHash;
    if (!CHelper::GetFilePieceHashs(strFileName, oPieceHash, bSleep)) return RC_DIGESTS_PIECES_FAILED;

    // The size of the content that was read, symbolic links followed, so the
    // size, the digests and the piece table describe the same bytes.
    unsigned long long iFileSize = CFileHelper::GetContentSize(strFileName.c_str());
    unsigned int uiPiece = CHelper::GetDefaultPieceSize(iFileSize);
    if (iFileSize == ~0ULL || uiPiece == 0) return RC_DIGESTS_PIECES_FAILED;
    // A file that grew or shrank between the passes gives a piece count that
    // does not match its size; its digests describe no single version of it.
    if (oPieceHash.size() != (iFileSize + uiPiece - 1) / uiPiece) return RC_DIGESTS_PIECES_FAILED;

    oDigests.MD4 = Md5Hash(arMd4, sizeof(arMd4));
    oDigests.Hash = Sha1Hash(arSha1, sizeof(arSha1));
    oDigests.Size = iFileSize;
    oDigests.Pieces.clear();
    oDigests.Pieces.reserve(oPieceHash.size() * 16);
    for (const std::vector<unsigned char>& oDigest : oPieceHash)
        oDigests.Pieces.insert(oDigests.Pieces.end(), oDigest.begin(), oDigest.end());
    return RC_DIGESTS_OK;
}

int fill_rc_info(const rc_digests_t& oDigests, const std::string& realFileName, const std::string& url, RSInfo& oInfo) {
    const unsigned char* pTpt = oDigests.Pieces.empty() ? nullptr : oDigests.Pieces.data();
    int iCount = oDigests.PieceCount();
    int iTpt = RC_TPT_TOO_LARGE;
    if (oDigests.Size <= RC_TPT_MAX_FILE_SIZE) {
        unsigned short usSegKiB = static_cast<unsigned short>(CHelper::GetDefaultPieceSize(oDigests.Size) >> 10);
        iTpt = oInfo.TptFile.Makeup(oDigests.Size, iCount, usSegKiB, pTpt, oDigests.Hash) ? RC_TPT_BUILT
                                                                                            : RC_TPT_REFUSED;
    }
    Sha1Hash oSid;
    Sha1Hash oFid;
    CreateSid(oSid, oDigests.Size, iCount, pTpt);
    CreateFid(oFid, oDigests.Size, iCount, pTpt);

    oInfo.Hash = oDigests.Hash;
    oInfo.FID = oFid;
    oInfo.SID = oSid;
    oInfo.MD4 = oDigests.MD4;
    oInfo.FileName = realFileName;
    oInfo.Size = oDigests.Size;
    oInfo.Url = url;
    oInfo.Ref = ZQ_RC_REFERRER_URL;
    oInfo.ExtName = rc_ext_name(realFileName);
    return iTpt;
}

std::string rc_ext_name(const std::string& realFileName) {
    std::string::size_type pos = realFileName.rfind('.');
    if (pos == std::string::npos) return realFileName;
    return realFileName.substr(pos + 1);
}

std::vector<rc_field_t> rc_info_fields(const RSInfo& oInfo) {
    unsigned int uiPiece = CHelper::GetDefaultPieceSize(oInfo.Size);
    unsigned long long uiPieces = uiPiece == 0 ? 0 : (oInfo.Size + uiPiece - 1) / uiPiece;
    std::vector<rc_field_t> oFields;
    oFields.push_back({"size", std::to_string(oInfo.Size), true});
    oFields.push_back({"piece_size", std::to_string(uiPiece), true});
    oFields.push_back({"pieces", std::to_string(uiPieces), true});
    oFields.push_back({"md4", oInfo.MD4.Hex(), false});
    oFields.push_back({"sha1", oInfo.Hash.Hex(), false});
    oFields.push_back({"sid", oInfo.SID.Hex(), false});
    oFields.push_back({"fid", oInfo.FID.Hex(), false});
    oFields.push_back({"tpt_bytes", std::to_string(oInfo.TptFile.GetDataLen()), true});
    return oFields;
}

ip_svr_t::ip_svr_t() : m_compute(false) {}

ip_svr_t::~ip_svr_t() {}

int ip_svr_t::compute_rc_info(const std::string& strFileName, const std::string& realFileName,
                              const std::string& url) {
    const char* pszPath = strFileName.c_str();
    LOG_INFO("start compute %s", pszPath);
    printf("start compute %s\n", pszPath);

    rc_digests_t oDigests;
    switch (compute_rc_digests(strFileName, oDigests, true)) {
        case RC_DIGESTS_OK:
            break;
        case RC_DIGESTS_MD4_FAILED:
            printf("compute error %s\n", pszPath);
            return -1;
        case RC_DIGESTS_SHA1_FAILED:
            printf("compute error 1 %s\n", pszPath);
            return -1;
        default:
            printf("compute error 2 %s\n", pszPath);
            return -1;
    }

    if (fill_rc_info(oDigests, realFileName, url, mData) == RC_TPT_TOO_LARGE) {
        LOG_WARN("no piece table for %s: %llu bytes is above the %llu-byte limit", pszPath,
                 static_cast<unsigned long long>(oDigests.Size), static_cast<unsigned long long>(RC_TPT_MAX_FILE_SIZE));
        printf("no piece table for %s: %llu bytes is above the %llu-byte limit\n", pszPath,
               static_cast<unsigned long long>(oDigests.Size), static_cast<unsigned long long>(RC_TPT_MAX_FILE_SIZE));
    }

    LOG_INFO("complete compute %s", pszPath);
    printf("complete compute %s\n", pszPath);
    m_compute = true;
    return 0;
}
