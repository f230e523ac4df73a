// zq_fetch: downloads a resource from several mirrors at once, checking
// every piece against its piece table before it is written, and repairs a
// damaged copy piece by piece. The table and the mirrors come from a
// resource center (--center) or from the command line (--tpt and URLs).
// Exit statuses are decided in main alone: 0 done, 1 not done, 2 usage.
#include <curl/curl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "cmd_line.h"
#include "fetch_center.h"
#include "fetch_engine.h"
#include "fetch_file.h"
#include "fetch_plan.h"
#include "fetch_record.h"
#include "str_util.h"
#include "tptFile.h"
#include "tpt_verify.h"

namespace {

const int kExitOk = 0;
const int kExitFailed = 1;
const int kExitUsage = 2;
const unsigned int kMaxConnections = 64;

struct fetch_cli_t {
    std::string strCenter;
    std::string strTable;
    std::string strOutput;
    std::string strRepair;
    bool bForce = false;
    fetch_opts_t oOpts;
    std::vector<std::string> oArgs;  // the FID with --center, else the URLs
};

void print_usage(FILE* pOut) {
    fputs("usage: zq_fetch [OPTIONS] --center URL FID [URL...]\n"
          "       zq_fetch [OPTIONS] --tpt TABLE (-o FILE | --repair FILE) URL...\n"
          "  downloads a resource from several mirrors at once, checking every piece\n"
          "  against the piece table before it is written\n"
          "  --center URL         the resource center whose record and piece table are used\n"
          "  --tpt TABLE          the piece table in the file TABLE (as zq_ident --tpt-out writes it)\n"
          "  -o, --output FILE    the file to write (default with --center: the record's file name)\n"
          "  --repair FILE        rewrite only the damaged or missing pieces of FILE, in place\n"
          "  --connections N      connections at once, 1 to 64 (default 4)\n"
          "  --per-mirror M       connections to one mirror at most (default 2)\n"
          "  --stall-timeout S    drop a mirror that sends nothing for S seconds (default 30)\n"
          "  --force              overwrite an existing output file\n"
          "  --ca-file PEM        trust the certificate authorities in PEM instead of the system's\n"
          "  -h, --help           this text; --version the version\n"
          "exit status: 0 complete and verified (or repaired, or intact), 1 could not\n"
          "complete, 2 usage or an unusable record or table\n",
          pOut);
}

int usage_error(const std::string& strLine) {
    fprintf(stderr, "zq_fetch: %s\n", strLine.c_str());
    print_usage(stderr);
    return kExitUsage;
}

bool parse_number(const char* pszText, long lMin, long lMax, long& lValue) {
    unsigned long long iValue = 0;
    if (lMin < 0 || ParseDecimal(pszText, static_cast<unsigned long long>(lMax), &iValue) != 0 ||
        iValue < static_cast<unsigned long long>(lMin))
        return false;
    lValue = static_cast<long>(iValue);
    return true;
}

// 0 to go on, -1 after --help or --version, otherwise the exit status.
int parse_args(int argc, char** argv, fetch_cli_t& oCli) {
    enum { OPT_CENTER = 256, OPT_TPT, OPT_REPAIR, OPT_CONNECTIONS, OPT_PER_MIRROR, OPT_STALL, OPT_FORCE, OPT_CA };
    CCmdLine oLine("zq_fetch",
                   {{"center", required_argument, nullptr, OPT_CENTER},
                    {"tpt", required_argument, nullptr, OPT_TPT},
                    {"output", required_argument, nullptr, 'o'},
                    {"repair", required_argument, nullptr, OPT_REPAIR},
                    {"connections", required_argument, nullptr, OPT_CONNECTIONS},
                    {"per-mirror", required_argument, nullptr, OPT_PER_MIRROR},
                    {"stall-timeout", required_argument, nullptr, OPT_STALL},
                    {"force", no_argument, nullptr, OPT_FORCE},
                    {"ca-file", required_argument, nullptr, OPT_CA}},
                   print_usage);
    const char* pszValue = nullptr;
    long lValue = 0;
    for (int iOpt; (iOpt = oLine.Next(argc, argv, pszValue)) != CCmdLine::OPT_END;) {
        switch (iOpt) {
            case CCmdLine::OPT_EXIT:
                return oLine.Finished();
            case OPT_CENTER: oCli.strCenter = pszValue; break;
            case OPT_TPT: oCli.strTable = pszValue; break;
            case 'o': oCli.strOutput = pszValue; break;
            case OPT_REPAIR: oCli.strRepair = pszValue; break;
            case OPT_FORCE: oCli.bForce = true; break;
            case OPT_CA: oCli.oOpts.CaFile = pszValue; break;
            case OPT_CONNECTIONS:
                if (!parse_number(pszValue, 1, kMaxConnections, lValue))
                    return usage_error("--connections takes a number from 1 to 64");
                oCli.oOpts.Connections = static_cast<unsigned int>(lValue);
                break;
            case OPT_PER_MIRROR:
                if (!parse_number(pszValue, 1, kMaxConnections, lValue))
                    return usage_error("--per-mirror takes a number from 1 to 64");
                oCli.oOpts.PerMirror = static_cast<unsigned int>(lValue);
                break;
            case OPT_STALL:
                if (!parse_number(pszValue, 1, 86400, lValue))
                    return usage_error("--stall-timeout takes seconds from 1 to 86400");
                oCli.oOpts.StallSeconds = lValue;
                break;
        }
    }
    for (int i = oLine.FirstOperand(); i < argc; ++i) oCli.oArgs.push_back(argv[i]);
    if (oCli.strCenter.empty() == oCli.strTable.empty()) return usage_error("give --center or --tpt (one of them)");
    if (!oCli.strOutput.empty() && !oCli.strRepair.empty()) return usage_error("-o and --repair exclude each other");
    if (!oCli.strCenter.empty() && oCli.oArgs.empty()) return usage_error("--center takes a FID after the options");
    if (!oCli.strTable.empty() && oCli.strOutput.empty() && oCli.strRepair.empty())
        return usage_error("--tpt takes -o FILE or --repair FILE");
    if (!oCli.strTable.empty() && oCli.oArgs.empty()) return usage_error("--tpt takes at least one URL");
    return 0;
}

int load_table(const std::vector<unsigned char>& oBytes, const std::string& strFrom, tpt_table_t& oTable) {
    std::string strWhy;
    if (tpt_parse(oBytes.data(), oBytes.size(), oTable, strWhy) == 0) return 0;
    fprintf(stderr, "zq_fetch: cannot use the piece table %s: %s\n", strFrom.c_str(), strWhy.c_str());
    return -1;
}

int read_table_file(const std::string& strPath, tpt_table_t& oTable) {
    std::vector<unsigned char> oBytes(TPTFile::MAX_TPT_DATA + 1);
    FILE* pFile = fopen(strPath.c_str(), "rb");
    if (pFile == nullptr) {
        fprintf(stderr, "zq_fetch: cannot read the piece table %s: %s\n", strPath.c_str(), strerror(errno));
        return -1;
    }
    oBytes.resize(fread(oBytes.data(), 1, oBytes.size(), pFile));
    bool bFailed = ferror(pFile) != 0;
    fclose(pFile);
    if (bFailed) {
        fprintf(stderr, "zq_fetch: cannot read the piece table %s\n", strPath.c_str());
        return -1;
    }
    return load_table(oBytes, strPath, oTable);
}

Sha1Hash table_fid(const tpt_table_t& oTable) {
    Sha1Hash oFid;
    CreateFid(oFid, oTable.Size, static_cast<int>(oTable.Pieces),
              oTable.Pieces > 0 ? oTable.Digests.data() : nullptr);
    return oFid;
}

// The record's table and mirrors; an unusable record is a usage error.
int from_center(fetch_cli_t& oCli, tpt_table_t& oTable, std::vector<std::string>& oUrls,
                std::string& strDefaultName) {
    const std::string& strFid = oCli.oArgs[0];
    std::string strWhy;
    fetch_record_t oRecord;
    if (fetch_center_record(oCli.strCenter, strFid, oCli.oOpts.CaFile, oRecord, strWhy) != 0) {
        fprintf(stderr, "zq_fetch: cannot read the record: %s\n", fetch_printable(strWhy).c_str());
        return kExitUsage;
    }
    std::vector<unsigned char> oBytes;
    if (fetch_center_table(oCli.strCenter, strFid, oCli.oOpts.CaFile, oBytes, strWhy) != 0) {
        fprintf(stderr, "zq_fetch: cannot read the piece table: %s\n", strWhy.c_str());
        return kExitUsage;
    }
    if (load_table(oBytes, "of " + strFid, oTable) != 0) return kExitUsage;
    if (oTable.Size != oRecord.Size) {
        fprintf(stderr, "zq_fetch: the record says %llu bytes, its piece table %llu\n",
                static_cast<unsigned long long>(oRecord.Size), static_cast<unsigned long long>(oTable.Size));
        return kExitUsage;
    }
    if (strcasecmp(table_fid(oTable).Hex().c_str(), strFid.c_str()) != 0) {
        fprintf(stderr, "zq_fetch: the piece table gives the FID %s, not %s\n", table_fid(oTable).Hex().c_str(),
                strFid.c_str());
        return kExitUsage;
    }
    if (oRecord.Cut)
        fprintf(stderr, "zq_fetch: the center names more locations than %zu (or %zu MiB of them); the first %zu are used\n",
                FETCH_MAX_LOCATIONS, FETCH_MAX_RECORD_BYTES >> 20, oRecord.Urls.size());
    // The center's checks order the mirrors and leave out those it found
    // unusable; among equals the record's order stays.
    oUrls.clear();
    size_t iSkipped = 0;
    for (int iRank = FETCH_RANK_GOOD; iRank < FETCH_RANK_UNUSABLE; ++iRank)
        for (size_t i = 0; i < oRecord.Urls.size(); ++i)
            if (oRecord.Ranks[i] == iRank) oUrls.push_back(oRecord.Urls[i]);
    for (int iRank : oRecord.Ranks) iSkipped += iRank == FETCH_RANK_UNUSABLE ? 1 : 0;
    if (iSkipped > 0)
        fprintf(stderr, "zq_fetch: %zu of the %zu mirrors left out: the center found them serving other bytes, "
                        "without the file or unreachable\n",
                iSkipped, oRecord.Urls.size());
    for (const std::string& strFile : oRecord.Files) {
        if (!strFile.empty()) {
            strDefaultName = strFile;
            break;
        }
    }
    return kExitOk;
}

bool exists(const std::string& strPath) {
    struct stat st;
    return lstat(strPath.c_str(), &st) == 0;
}

std::string piece_list(const std::vector<uint32>& oPieces) {
    std::string strOut;
    const size_t kShown = 20;
    for (size_t i = 0; i < oPieces.size() && i < kShown; ++i) strOut += (i > 0 ? ", " : "") + std::to_string(oPieces[i]);
    if (oPieces.size() > kShown) strOut += " and " + std::to_string(oPieces.size() - kShown) + " more";
    return strOut;
}

int run(fetch_cli_t& oCli) {
    tpt_table_t oTable;
    std::vector<std::string> oUrls;
    std::string strDefaultName;
    if (!oCli.strCenter.empty()) {
        int iExit = from_center(oCli, oTable, oUrls, strDefaultName);
        if (iExit != kExitOk) return iExit;
        oUrls.insert(oUrls.end(), oCli.oArgs.begin() + 1, oCli.oArgs.end());
    } else {
        if (read_table_file(oCli.strTable, oTable) != 0) return kExitUsage;
        oUrls = oCli.oArgs;
    }
    // The same mirror twice would only double its share of connections.
    std::vector<std::string> oMirrors;
    std::set<std::string> oSeen;
    for (const std::string& strUrl : oUrls) {
        if (oSeen.insert(strUrl).second) oMirrors.push_back(strUrl);
    }

    bool bRepair = !oCli.strRepair.empty();
    std::string strFinal = bRepair ? oCli.strRepair : oCli.strOutput;
    if (strFinal.empty()) {
        if (!fetch_usable_name(strDefaultName)) {
            fprintf(stderr, "zq_fetch: the record names no usable file name (\"%s\"): give -o FILE\n",
                    fetch_printable(strDefaultName).c_str());
            return kExitUsage;
        }
        strFinal = strDefaultName;
    }
    if (!bRepair && exists(strFinal) && !oCli.bForce) {
        fprintf(stderr, "zq_fetch: %s exists: --force to overwrite it, or --repair to mend it\n", strFinal.c_str());
        return kExitUsage;
    }
    if (bRepair && !exists(strFinal)) {
        fprintf(stderr, "zq_fetch: --repair %s: no such file\n", strFinal.c_str());
        return kExitUsage;
    }
    std::string strWork = bRepair ? strFinal : strFinal + ".part";

    CFetchFile oFile(oTable);
    std::string strWhy;
    bool bHadPart = exists(strWork);
    bool bResized = false;
    if (oFile.Open(strWork, !bRepair, &bResized, strWhy) != 0) {
        fprintf(stderr, "zq_fetch: %s\n", strWhy.c_str());
        return kExitFailed;
    }
    std::vector<bool> oWanted(oTable.Pieces, true);
    if (bHadPart) {
        std::vector<bool> oGood;
        if (oFile.Check(oGood, strWhy) != 0) {
            fprintf(stderr, "zq_fetch: %s\n", strWhy.c_str());
            return kExitFailed;
        }
        for (uint32 k = 0; k < oTable.Pieces; ++k) oWanted[k] = !oGood[k];
    }
    CFetchPlan oPlan(oWanted);
    uint32 uiWanted = oPlan.Wanted();
    fetch_result_t oResult;
    if (uiWanted > 0) {
        if (oMirrors.empty()) {
            fprintf(stderr, "zq_fetch: %s: %u pieces wanted and no mirror to fetch them from\n", strFinal.c_str(),
                    uiWanted);
            return kExitFailed;
        }
        oCli.oOpts.Progress = isatty(STDERR_FILENO) != 0;
        oResult = fetch_run(oMirrors, oTable, oPlan, oFile, oCli.oOpts);
        if (oResult.Outcome == fetch_result_t::WRITE_FAILED) {
            fprintf(stderr, "zq_fetch: %s; %s kept\n", fetch_printable(oResult.Why).c_str(), strWork.c_str());
            return kExitFailed;
        }
        if (oResult.Outcome != fetch_result_t::COMPLETE) {
            fprintf(stderr, "zq_fetch: %s: %zu pieces no mirror delivered intact: %s; %s kept\n", strFinal.c_str(),
                    oResult.Missing.size(), piece_list(oResult.Missing).c_str(), strWork.c_str());
            return kExitFailed;
        }
    }
    Sha1Hash oSha1;
    if (oFile.HashUpTo(oTable.Pieces, 0, strWhy) != 0 || !oFile.FileSha1(oSha1)) {
        fprintf(stderr, "zq_fetch: %s\n", strWhy.empty() ? "the file's SHA-1 could not be taken" : strWhy.c_str());
        return kExitFailed;
    }
    if (!(oSha1 == oTable.FileHash)) {
        fprintf(stderr, "zq_fetch: %s: every piece matches, but the file's SHA-1 is %s, the table's %s; %s kept\n",
                strFinal.c_str(), oSha1.Hex().c_str(), oTable.FileHash.Hex().c_str(), strWork.c_str());
        return kExitFailed;
    }
    if (!oCli.strCenter.empty() && strcasecmp(table_fid(oTable).Hex().c_str(), oCli.oArgs[0].c_str()) != 0) {
        fprintf(stderr, "zq_fetch: %s: the pieces give another FID; %s kept\n", strFinal.c_str(), strWork.c_str());
        return kExitFailed;
    }
    unsigned long long ullSize = static_cast<unsigned long long>(oTable.Size);
    if (bRepair && uiWanted == 0 && !bResized) {
        printf("%s: intact: %u pieces, %llu bytes\n", strFinal.c_str(), oTable.Pieces, ullSize);
        return kExitOk;
    }
    if (oFile.Finish(bRepair ? "" : strFinal, strWhy) != 0) {
        fprintf(stderr, "zq_fetch: %s; %s kept\n", strWhy.c_str(), strWork.c_str());
        return kExitFailed;
    }
    unsigned long long ullFetched = static_cast<unsigned long long>(oResult.BytesFetched);
    if (bRepair) {
        printf("%s: repaired: %u of %u pieces fetched (%llu bytes), %llu bytes\n", strFinal.c_str(), uiWanted,
               oTable.Pieces, ullFetched, ullSize);
    } else {
        printf("%s: complete: %u pieces, %llu bytes, %u fetched (%llu bytes), %u bad pieces on the way\n",
               strFinal.c_str(), oTable.Pieces, ullSize, uiWanted, ullFetched, oResult.BadPieces);
    }
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    fetch_cli_t oCli;
    int iParse = parse_args(argc, argv, oCli);
    if (iParse < 0) return kExitOk;
    if (iParse > 0) return iParse;
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        fprintf(stderr, "zq_fetch: cannot start libcurl\n");
        return kExitFailed;
    }
    int iExit = run(oCli);
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "zq_fetch: cannot write the output: %s\n", strerror(errno));
        iExit = kExitFailed;
    }
    curl_global_cleanup();
    return iExit;
}
