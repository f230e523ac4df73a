// zq_sig mints and checks the signed-request tokens zq_rcenter accepts for a
// removal, so an operator can sign a request with curl and see why a token is
// refused. The token format and its checks are the library's (req_sig.h).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "req_sig.h"
#include "str_util.h"

namespace {

const int kExitValid = 0;
const int kExitInvalid = 1;
const int kExitUsage = 2;

enum ESigMode { SIGMODE_NONE, SIGMODE_MINT, SIGMODE_CHECK };

struct sig_options_t {
    ESigMode eMode = SIGMODE_NONE;
    unsigned char aSecret[SIG_SECRET_LEN];
    bool bSecret = false;
    uint32 uiUser = 0;
    bool bUser = false;
    std::string strPath;
    bool bPath = false;
    uint32 uiTime = 0;
    bool bTime = false;
    unsigned char aSession[SIG_KEY_LEN];
    bool bSession = false;
    uint32 uiWindow = SIG_DEFAULT_WINDOW_S;
    std::string strToken;
    bool bToken = false;
};

void print_usage(FILE* pOut) {
    fputs("usage: zq_sig mint --key HEX --user N --path PATH [--time T] [--session HEX]\n"
          "       zq_sig check --key HEX --user N --path PATH [--window S] SIG\n"
          "  mint   prints a token for user N on request path PATH (without the query),\n"
          "         stamped now (or T, Unix seconds), carrying a random 16-byte key\n"
          "         (or --session, 32 hex digits)\n"
          "  check  opens SIG, prints its fields and the verdict; valid when it was made\n"
          "         with this key for this path and user, within S seconds of now\n"
          "         (default 300)\n"
          "  --key  the server's secret, 32 hex digits (sig_key)\n"
          "exit status: 0 valid (or minted), 1 invalid, 2 bad arguments\n",
          pOut);
}

// A whole decimal number from 0 to 2^32 - 1, nothing else.
bool parse_u32(const char* pszText, uint32& uiValue) {
    if (*pszText < '0' || *pszText > '9') return false;
    char* pEnd = nullptr;
    errno = 0;
    unsigned long long ullValue = strtoull(pszText, &pEnd, 10);
    if (errno != 0 || *pEnd != '\0' || ullValue > 0xffffffffULL) return false;
    uiValue = static_cast<uint32>(ullValue);
    return true;
}

bool parse_hex16(const char* pszText, unsigned char* pOut) {
    return SigFromHex(pszText, strlen(pszText), pOut, 16) == 0;
}

// Reads the value of option argv[i] into oOpts; false when it is not usable.
bool parse_option(const std::string& strName, const char* pszValue, sig_options_t& oOpts) {
    if (strName == "--key") return oOpts.bSecret = parse_hex16(pszValue, oOpts.aSecret);
    if (strName == "--user") return oOpts.bUser = parse_u32(pszValue, oOpts.uiUser);
    if (strName == "--time" && oOpts.eMode == SIGMODE_MINT) return oOpts.bTime = parse_u32(pszValue, oOpts.uiTime);
    if (strName == "--session" && oOpts.eMode == SIGMODE_MINT)
        return oOpts.bSession = parse_hex16(pszValue, oOpts.aSession);
    if (strName == "--window" && oOpts.eMode == SIGMODE_CHECK) return parse_u32(pszValue, oOpts.uiWindow);
    if (strName == "--path") {
        oOpts.strPath = pszValue;
        return oOpts.bPath = !oOpts.strPath.empty();
    }
    return false;
}

// 0 to go on, otherwise the exit status (-1: help was asked for).
int parse_args(int argc, char** argv, sig_options_t& oOpts) {
    if (argc >= 2 && (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0)) {
        print_usage(stdout);
        return -1;
    }
    if (argc >= 2 && strcmp(argv[1], "mint") == 0) oOpts.eMode = SIGMODE_MINT;
    if (argc >= 2 && strcmp(argv[1], "check") == 0) oOpts.eMode = SIGMODE_CHECK;
    if (oOpts.eMode == SIGMODE_NONE) {
        fprintf(stderr, "zq_sig: the first argument is mint or check\n");
        print_usage(stderr);
        return kExitUsage;
    }
    for (int i = 2; i < argc; ++i) {
        std::string strArg = argv[i];
        if (strArg.size() > 2 && strArg.compare(0, 2, "--") == 0) {
            if (i + 1 >= argc || !parse_option(strArg, argv[i + 1], oOpts)) {
                fprintf(stderr, "zq_sig: unknown option or bad value: %s\n", strArg.c_str());
                print_usage(stderr);
                return kExitUsage;
            }
            ++i;
        } else if (oOpts.eMode == SIGMODE_CHECK && !oOpts.bToken) {
            oOpts.strToken = strArg;
            oOpts.bToken = true;
        } else {
            fprintf(stderr, "zq_sig: unexpected argument: %s\n", strArg.c_str());
            print_usage(stderr);
            return kExitUsage;
        }
    }
    if (!oOpts.bSecret || !oOpts.bUser || !oOpts.bPath || (oOpts.eMode == SIGMODE_CHECK && !oOpts.bToken)) {
        fprintf(stderr, "zq_sig: --key, --user and --path are required%s\n",
                oOpts.eMode == SIGMODE_CHECK ? ", and the token to check" : "");
        print_usage(stderr);
        return kExitUsage;
    }
    return 0;
}

std::string hex_of(const unsigned char* p, size_t n) {
    char szHex[2 * SIG_KEY_LEN + 1];
    if (BinBufToHexStr(szHex, sizeof(szHex), p, n) < 0) return "";
    return szHex;
}

int run_mint(const sig_options_t& oOpts) {
    stSigFields oFields;
    if (oOpts.bSession) {
        memcpy(oFields.Key, oOpts.aSession, SIG_KEY_LEN);
    } else if (SigRandomBytes(oFields.Key, SIG_KEY_LEN) != 0) {
        fprintf(stderr, "zq_sig: no random bytes to be had\n");
        return kExitInvalid;
    }
    oFields.Time = oOpts.bTime ? oOpts.uiTime : static_cast<uint32>(time(nullptr));
    oFields.User = oOpts.uiUser;
    std::string strToken;
    if (SigMint(oOpts.aSecret, oFields, oOpts.strPath, strToken) != 0) {
        fprintf(stderr, "zq_sig: the token could not be made\n");
        return kExitInvalid;
    }
    printf("%s\n", strToken.c_str());
    return kExitValid;
}

int run_check(const sig_options_t& oOpts) {
    stSigFields oFields;
    ESigResult eResult = SigCheck(oOpts.aSecret, oOpts.strToken.data(), oOpts.strToken.size(), oOpts.strPath,
                                  oOpts.uiUser, static_cast<sint64>(time(nullptr)), oOpts.uiWindow, oFields);
    if (eResult == SIG_OK || eResult == SIG_WRONG_USER || eResult == SIG_STALE) {
        printf("session: %s\ntime: %u\nuser: %u\n", hex_of(oFields.Key, SIG_KEY_LEN).c_str(), oFields.Time,
               oFields.User);
    }
    if (eResult == SIG_OK) {
        printf("verdict: valid\n");
        return kExitValid;
    }
    printf("verdict: invalid: %s\n", SigResultText(eResult));
    return kExitInvalid;
}

}  // namespace

int main(int argc, char** argv) {
    sig_options_t oOpts;
    int iParse = parse_args(argc, argv, oOpts);
    if (iParse < 0) return kExitValid;
    if (iParse > 0) return iParse;
    int iStatus = oOpts.eMode == SIGMODE_MINT ? run_mint(oOpts) : run_check(oOpts);
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "zq_sig: cannot write the output: %s\n", strerror(errno));
        return kExitInvalid;
    }
    return iStatus;
}
