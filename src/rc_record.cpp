#include "rc_record.h"

#include "helper.h"
#include "rc_digests.h"

const char* const ZQ_RC_REFERRER_URL = "http://datareport.example.com/";

RSInfo::RSInfo() : Size(0) {}

RSInfo::~RSInfo() {}

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
