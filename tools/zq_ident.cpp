// zq_ident FILE: shows what datareport would report about FILE without
// reporting it. The record is computed by the tool's own code; only the
// pacing differs (no pauses between reads, which change no value).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "datareport_svr.h"
#include "hashval.h"

namespace {

const int kExitOk = 0;
const int kExitFile = 1;
const int kExitUsage = 2;

struct ident_options_t {
    bool bJson = false;
    bool bTpt = false;
    std::string strFile;
};

void print_usage(FILE* pOut) {
    fputs("usage: zq_ident [--json] [--tpt] FILE\n"
          "  prints the size, piece size, piece count, md4, sha1, sid, fid and\n"
          "  piece-table length datareport would report for FILE\n"
          "  --json  one JSON object instead of key: value lines\n"
          "  --tpt   also the piece table itself, in hex\n",
          pOut);
}

// 0 to go on, otherwise the exit status.
int parse_args(int argc, char** argv, ident_options_t& oOpts) {
    bool bFiles = false;
    int iFiles = 0;
    for (int i = 1; i < argc; ++i) {
        std::string strArg = argv[i];
        if (!bFiles && strArg == "--") {
            bFiles = true;
        } else if (!bFiles && strArg == "--json") {
            oOpts.bJson = true;
        } else if (!bFiles && strArg == "--tpt") {
            oOpts.bTpt = true;
        } else if (!bFiles && (strArg == "-h" || strArg == "--help")) {
            print_usage(stdout);
            return -1;
        } else if (!bFiles && strArg.size() > 1 && strArg[0] == '-') {
            fprintf(stderr, "zq_ident: unknown option %s\n", strArg.c_str());
            print_usage(stderr);
            return kExitUsage;
        } else {
            oOpts.strFile = strArg;
            ++iFiles;
        }
    }
    if (iFiles != 1) {
        print_usage(stderr);
        return kExitUsage;
    }
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

}  // namespace

int main(int argc, char** argv) {
    ident_options_t oOpts;
    int iParse = parse_args(argc, argv, oOpts);
    if (iParse < 0) return kExitOk;
    if (iParse > 0) return iParse;

    std::string strReason = check_readable(oOpts.strFile);
    if (!strReason.empty()) {
        fprintf(stderr, "zq_ident: cannot read %s: %s\n", oOpts.strFile.c_str(), strReason.c_str());
        return kExitFile;
    }

    rc_digests_t oDigests;
    if (compute_rc_digests(oOpts.strFile, oDigests, false) != RC_DIGESTS_OK) {
        fprintf(stderr, "zq_ident: cannot read %s: read failed or the file changed while it was read\n",
                oOpts.strFile.c_str());
        return kExitFile;
    }
    RSInfo oInfo;
    if (fill_rc_info(oDigests, base_name(oOpts.strFile), "", oInfo) == RC_TPT_TOO_LARGE) {
        fprintf(stderr, "zq_ident: %s: no piece table, %llu bytes is above the %llu-byte limit\n",
                oOpts.strFile.c_str(), static_cast<unsigned long long>(oDigests.Size),
                static_cast<unsigned long long>(RC_TPT_MAX_FILE_SIZE));
    }
    print_record(oInfo, oOpts);
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "zq_ident: cannot write the output: %s\n", strerror(errno));
        return kExitFile;
    }
    return kExitOk;
}
