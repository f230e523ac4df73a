// zq_ident FILE: shows what datareport would report about FILE without
// reporting it. The record is computed by the tool's own code; by default in
// one fast pass over as many threads as help, which changes no value.
// zq_ident --verify TABLE FILE checks FILE against a piece table instead.
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cmd_line.h"
#include "str_util.h"
#include "hashval.h"
#include "onepass.h"
#include "progress_line.h"
#include "rc_digests.h"
#include "rc_record.h"
#include "simd_level.h"
#include "tpt_verify.h"

namespace {

const int kExitOk = 0;
const int kExitFile = 1;
const int kExitUsage = 2;

// The fast pass keeps one thread on the SHA-1 and one on the rest, which
// the vector kernels make the lighter half; a third helps where they are
// narrow or missing, a fourth would find nothing to do.
const unsigned int kHelpfulThreads = 3;

struct ident_options_t {
    bool bJson = false;
    bool bTpt = false;
    bool bThrottle = false;
    unsigned int uiThreads = 0;  // 0: as many as help
    ESimdLevel eSimd = SIMD_AUTO;
    std::string strFile;
    std::string strTptOut;
    std::string strVerifyTable;
};

void print_usage(FILE* pOut) {
    fputs("usage: zq_ident [--json] [--tpt] [--tpt-out TABLE] [--throttle | --threads N] [--simd LEVEL] FILE\n"
          "       zq_ident --verify TABLE [--threads N] [--simd LEVEL] FILE\n"
          "       zq_ident --help | --version\n"
          "  prints the size, piece size, piece count, md4, sha1, sid, fid and\n"
          "  piece-table length datareport would report for FILE\n"
          "  --json       one JSON object instead of key: value lines\n"
          "  --tpt        also the piece table itself, in hex\n"
          "  --tpt-out TABLE  writes the piece table to the file TABLE as well\n"
          "  --verify TABLE   checks FILE piece by piece against the piece table\n"
          "               in TABLE (as --tpt-out writes it): each damaged piece,\n"
          "               then a summary; exit 0 intact, 1 damaged or another\n"
          "               size, 2 a table that cannot be read or used\n"
          "  --throttle   read the file as datareport does by default: three\n"
          "               passes with pauses (same values, much slower)\n"
          "  --threads N  threads of the fast single pass, 1 to 4 (default: as\n"
          "               many as help on this machine, at most 3)\n"
          "  --simd LEVEL vector kernels of the fast pass: auto (default, the\n"
          "               widest this processor has; a file not in the page\n"
          "               cache on a rotational disk is read front to back),\n"
          "               portable (single-stream, the file read strictly\n"
          "               front to back), avx2, avx512\n",
          pOut);
}

// The processors this process may run on.
unsigned int usable_cpus() {
    cpu_set_t oSet;
    if (sched_getaffinity(0, sizeof(oSet), &oSet) == 0) {
        int iCount = CPU_COUNT(&oSet);
        if (iCount > 0) return static_cast<unsigned int>(iCount);
    }
    long lOnline = sysconf(_SC_NPROCESSORS_ONLN);
    return lOnline > 0 ? static_cast<unsigned int>(lOnline) : 1;
}

// A whole number from 1 to ONEPASS_MAX_THREADS, nothing else.
bool parse_threads(const char* pszText, unsigned int& uiThreads) {
    unsigned long long iValue = 0;
    if (ParseDecimal(pszText, ONEPASS_MAX_THREADS, &iValue) != 0 || iValue < 1) return false;
    uiThreads = static_cast<unsigned int>(iValue);
    return true;
}

enum : int {
    OPT_JSON = 0x100,
    OPT_TPT,
    OPT_TPT_OUT,
    OPT_VERIFY,
    OPT_THROTTLE,
    OPT_THREADS,
    OPT_SIMD,
};

// 0 to go on, otherwise the exit status (-1: help or version was printed).
int parse_args(int argc, char** argv, ident_options_t& oOpts) {
    CCmdLine oLine("zq_ident",
                   {{"json", no_argument, nullptr, OPT_JSON},
                    {"tpt", no_argument, nullptr, OPT_TPT},
                    {"tpt-out", required_argument, nullptr, OPT_TPT_OUT},
                    {"verify", required_argument, nullptr, OPT_VERIFY},
                    {"throttle", no_argument, nullptr, OPT_THROTTLE},
                    {"threads", required_argument, nullptr, OPT_THREADS},
                    {"simd", required_argument, nullptr, OPT_SIMD}},
                   print_usage);
    const char* pszValue = nullptr;
    for (int iOpt; (iOpt = oLine.Next(argc, argv, pszValue)) != CCmdLine::OPT_END;) {
        switch (iOpt) {
            case CCmdLine::OPT_EXIT:
                return oLine.Finished();
            case OPT_JSON:
                oOpts.bJson = true;
                break;
            case OPT_TPT:
                oOpts.bTpt = true;
                break;
            case OPT_TPT_OUT:
            case OPT_VERIFY:
                if (pszValue[0] == '\0') return oLine.Fail(std::string(iOpt == OPT_VERIFY ? "--verify" : "--tpt-out") +
                                                           " takes a file name");
                (iOpt == OPT_VERIFY ? oOpts.strVerifyTable : oOpts.strTptOut) = pszValue;
                break;
            case OPT_THROTTLE:
                oOpts.bThrottle = true;
                break;
            case OPT_THREADS:
                if (!parse_threads(pszValue, oOpts.uiThreads))
                    return oLine.Fail("--threads takes a number from 1 to " + std::to_string(ONEPASS_MAX_THREADS));
                break;
            case OPT_SIMD:
                if (!SimdParseLevel(pszValue, oOpts.eSimd)) return oLine.Fail("--simd takes auto, portable, avx2 or avx512");
                if (!SimdSupported(oOpts.eSimd)) {
                    fprintf(stderr, "zq_ident: --simd %s: this processor lacks it (the widest here is %s)\n", pszValue,
                            SimdLevelName(SimdResolve(SIMD_AUTO)));
                    return kExitUsage;
                }
                break;
        }
    }
    if (argc - oLine.FirstOperand() != 1) return oLine.Fail("one FILE is expected");
    oOpts.strFile = argv[oLine.FirstOperand()];
    // Checking prints its own lines and always takes the fast pass.
    if (!oOpts.strVerifyTable.empty() && (oOpts.bJson || oOpts.bTpt || oOpts.bThrottle || !oOpts.strTptOut.empty()))
        return oLine.Fail("--verify takes no other option than --threads and --simd");
    // The throttled passes run on one thread; asking for more is a mistake.
    if (oOpts.bThrottle && oOpts.uiThreads != 0) return oLine.Fail("--throttle and --threads exclude each other");
    return 0;
}

// The reason a file cannot be identified, or an empty text when it can be read.
std::string check_readable(const std::string& strFile) {
    struct stat st;
    if (stat(strFile.c_str(), &st) != 0) return strerror(errno);
    if (!S_ISREG(st.st_mode)) return "not a regular file";
    int fd = open(strFile.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return strerror(errno);
    close(fd);
    return "";
}

std::string base_name(const std::string& strPath) {
    std::string::size_type pos = strPath.rfind('/');
    return pos == std::string::npos ? strPath : strPath.substr(pos + 1);
}

void print_record(const RSInfo& oInfo, const ident_options_t& oOpts) {
    std::vector<rc_field_t> oFields = rc_info_fields(oInfo);
    if (oOpts.bTpt) {
        oFields.push_back({"tpt", HashBytesToHex(oInfo.TptFile.GetBegPnt(), oInfo.TptFile.GetDataLen()), false});
    }
    if (!oOpts.bJson) {
        for (const rc_field_t& oField : oFields) printf("%s: %s\n", oField.Key.c_str(), oField.Value.c_str());
        return;
    }
    // Keys and values are digits and hex only, so nothing needs escaping.
    std::string strJson = "{";
    for (size_t i = 0; i < oFields.size(); ++i) {
        if (i > 0) strJson += ", ";
        strJson += "\"" + oFields[i].Key + "\": ";
        strJson += oFields[i].Number ? oFields[i].Value : "\"" + oFields[i].Value + "\"";
    }
    strJson += "}";
    printf("%s\n", strJson.c_str());
}

// 0 with the table, or the reason on standard error and -1.
int load_table(const std::string& strPath, tpt_table_t& oTable) {
    std::string strWhy;
    std::vector<unsigned char> oBytes(TPTFile::MAX_TPT_DATA + 1);
    FILE* pFile = fopen(strPath.c_str(), "rb");
    if (pFile == nullptr) {
        strWhy = strerror(errno);
    } else {
        oBytes.resize(fread(oBytes.data(), 1, oBytes.size(), pFile));
        if (ferror(pFile)) strWhy = "read failed";
        fclose(pFile);
    }
    if (strWhy.empty() && tpt_parse(oBytes.data(), oBytes.size(), oTable, strWhy) == 0) return 0;
    fprintf(stderr, "zq_ident: cannot use the piece table %s: %s\n", strPath.c_str(), strWhy.c_str());
    return -1;
}

bool write_table(const std::string& strPath, const TPTFile& oTpt) {
    FILE* pFile = fopen(strPath.c_str(), "wb");
    bool bOk = pFile != nullptr && fwrite(oTpt.GetBegPnt(), 1, oTpt.GetDataLen(), pFile) == oTpt.GetDataLen();
    if (pFile != nullptr && fclose(pFile) != 0) bOk = false;
    if (!bOk) fprintf(stderr, "zq_ident: cannot write the piece table to %s: %s\n", strPath.c_str(), strerror(errno));
    return bOk;
}

}  // namespace

int main(int argc, char** argv) {
    ident_options_t oOpts;
    int iParse = parse_args(argc, argv, oOpts);
    if (iParse < 0) return kExitOk;
    if (iParse > 0) return iParse;
    bool bVerify = !oOpts.strVerifyTable.empty();
    tpt_table_t oTable;
    if (bVerify && load_table(oOpts.strVerifyTable, oTable) != 0) return kExitUsage;

    std::string strReason = check_readable(oOpts.strFile);
    if (!strReason.empty()) {
        fprintf(stderr, "zq_ident: cannot read %s: %s\n", oOpts.strFile.c_str(), strReason.c_str());
        return kExitFile;
    }

    rc_digest_opts_t oDigestOpts;
    oDigestOpts.Mode = oOpts.bThrottle ? RC_DIGEST_THROTTLED : RC_DIGEST_ONE_PASS;
    oDigestOpts.Threads = oOpts.uiThreads != 0 ? oOpts.uiThreads : std::min(usable_cpus(), kHelpfulThreads);
    oDigestOpts.Simd = oOpts.eSimd;
    CProgressLine oLine(STDERR_FILENO);
    oDigestOpts.Progress = &oLine;
    oDigestOpts.PieceSize = bVerify ? oTable.PieceSize : 0;
    rc_digests_t oDigests;
    if (compute_rc_digests(oOpts.strFile, oDigests, oDigestOpts) != RC_DIGESTS_OK) {
        fprintf(stderr, "zq_ident: cannot read %s: read failed or the file changed while it was read\n",
                oOpts.strFile.c_str());
        return kExitFile;
    }
    if (bVerify) {
        tpt_verdict_t oVerdict = tpt_verify(oTable, oDigests.Pieces, oDigests.Size, oDigests.Hash);
        for (const std::string& strLine : tpt_verdict_lines(oVerdict, oOpts.strFile)) printf("%s\n", strLine.c_str());
        return oVerdict.IsIntact() ? kExitOk : kExitFile;
    }
    RSInfo oInfo;
    if (fill_rc_info(oDigests, base_name(oOpts.strFile), "", oInfo) == RC_TPT_TOO_LARGE) {
        fprintf(stderr, "zq_ident: %s: no piece table, %llu bytes is above the %llu-byte limit\n",
                oOpts.strFile.c_str(), static_cast<unsigned long long>(oDigests.Size),
                static_cast<unsigned long long>(RC_TPT_MAX_FILE_SIZE));
    }
    print_record(oInfo, oOpts);
    if (!oOpts.strTptOut.empty() && (oInfo.TptFile.GetDataLen() == 0 || !write_table(oOpts.strTptOut, oInfo.TptFile)))
        return kExitFile;
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "zq_ident: cannot write the output: %s\n", strerror(errno));
        return kExitFile;
    }
    return kExitOk;
}
