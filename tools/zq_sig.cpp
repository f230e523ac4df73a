// zq_sig mints and checks the signed-request tokens zq_rcenter accepts for a
// removal, so an operator can sign a request with curl and see why a token is
// refused. The token format and its checks are the library's (req_sig.h).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "cmd_line.h"
#include "req_sig.h"
#include "sig_key.h"
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

    ~sig_options_t() { SigWipe(aSecret, sizeof(aSecret)); }
};

void print_usage(FILE* pOut) {
    fputs("usage: zq_sig mint (--key-file FILE | --key HEX) --user N --path PATH [--time T] [--session HEX]\n"
          "       zq_sig check (--key-file FILE | --key HEX) --user N --path PATH [--window S] SIG\n"
          "       zq_sig --help | --version\n"
          "  mint   prints a token for user N on request path PATH (without the query),\n"
          "         stamped now (or T, Unix seconds), carrying a random 16-byte key\n"
          "         (or --session, 32 hex digits)\n"
          "  check  opens SIG, prints its fields and the verdict; valid when it was made\n"
          "         with this key for this path and user, within S seconds of now\n"
          "         (default 300)\n"
          "  --key-file FILE  the server's secret (sig_key), 32 hex digits in a file\n"
          "                   no one but its owner may read; without it and --key,\n"
          "                   the secret is taken from ZQ_SIG_KEY\n"
          "  --key HEX        the secret on the command line, where other users see it\n"
          "exit status: 0 valid (or minted), 1 invalid, 2 bad arguments\n",
          pOut);
}

// A whole decimal number from 0 to 2^32 - 1, nothing else.
bool parse_u32(const char* pszText, uint32& uiValue) {
    unsigned long long ullValue = 0;
    if (ParseDecimal(pszText, 0xffffffffULL, &ullValue) != 0) return false;
    uiValue = static_cast<uint32>(ullValue);
    return true;
}

bool parse_hex16(const char* pszText, unsigned char* pOut) {
    return BinBufFromHexExact(pOut, 16, pszText, strlen(pszText)) == 0;
}

enum : int {
    OPT_KEY = 0x100,
    OPT_KEY_FILE,
    OPT_USER,
    OPT_PATH,
    OPT_TIME,
    OPT_SESSION,
    OPT_WINDOW,
};

const char* option_name(int iOpt) {
    switch (iOpt) {
        case OPT_KEY: return "--key";
        case OPT_KEY_FILE: return "--key-file";
        case OPT_USER: return "--user";
        case OPT_PATH: return "--path";
        case OPT_TIME: return "--time";
        case OPT_SESSION: return "--session";
        default: return "--window";
    }
}

// Reads one option's value into oOpts; false when it is not usable.
bool take_option(int iOpt, const char* pszValue, sig_options_t& oOpts, std::string& strKeyFile) {
    switch (iOpt) {
        case OPT_KEY:
            return oOpts.bSecret = parse_hex16(pszValue, oOpts.aSecret);
        case OPT_KEY_FILE:
            strKeyFile = pszValue;
            return !strKeyFile.empty();
        case OPT_USER:
            return oOpts.bUser = parse_u32(pszValue, oOpts.uiUser);
        case OPT_TIME:
            return oOpts.eMode == SIGMODE_MINT && (oOpts.bTime = parse_u32(pszValue, oOpts.uiTime));
        case OPT_SESSION:
            return oOpts.eMode == SIGMODE_MINT && (oOpts.bSession = parse_hex16(pszValue, oOpts.aSession));
        case OPT_WINDOW:
            return oOpts.eMode == SIGMODE_CHECK && parse_u32(pszValue, oOpts.uiWindow);
        case OPT_PATH:
            oOpts.strPath = pszValue;
            return oOpts.bPath = !oOpts.strPath.empty();
    }
    return false;
}

// The secret from the key file or the environment when --key did not give
// it. 0, or the exit status after the reason.
int find_secret(CCmdLine& oLine, const std::string& strKeyFile, bool bKeyOption, sig_options_t& oOpts) {
    if (bKeyOption && !strKeyFile.empty()) return oLine.Fail("--key and --key-file exclude each other");
    if (bKeyOption) {
        fprintf(stderr, "zq_sig: warning: --key shows the secret to other users of this machine "
                        "(ps, /proc, shell history); prefer --key-file or ZQ_SIG_KEY\n");
        return 0;
    }
    if (!strKeyFile.empty()) {
        std::string strError;
        if (SigReadKeyFile(strKeyFile, oOpts.aSecret, sizeof(oOpts.aSecret), strError) != 0) {
            fprintf(stderr, "zq_sig: %s\n", strError.c_str());
            return kExitUsage;
        }
        oOpts.bSecret = true;
        return 0;
    }
    const char* pszEnv = getenv("ZQ_SIG_KEY");
    if (pszEnv == nullptr) return oLine.Fail("the secret is required: --key-file FILE, ZQ_SIG_KEY or --key HEX");
    if (SigParseSecret(pszEnv, strlen(pszEnv), oOpts.aSecret, sizeof(oOpts.aSecret)) != 0)
        return oLine.Fail("ZQ_SIG_KEY does not hold 32 hex digits");
    oOpts.bSecret = true;
    return 0;
}

// 0 to go on, otherwise the exit status (-1: help or version was printed).
int parse_args(int argc, char** argv, sig_options_t& oOpts) {
    CCmdLine oLine("zq_sig",
                   {{"key", required_argument, nullptr, OPT_KEY},
                    {"key-file", required_argument, nullptr, OPT_KEY_FILE},
                    {"user", required_argument, nullptr, OPT_USER},
                    {"path", required_argument, nullptr, OPT_PATH},
                    {"time", required_argument, nullptr, OPT_TIME},
                    {"session", required_argument, nullptr, OPT_SESSION},
                    {"window", required_argument, nullptr, OPT_WINDOW}},
                   print_usage);
    if (argc >= 2 && strcmp(argv[1], "mint") == 0) oOpts.eMode = SIGMODE_MINT;
    if (argc >= 2 && strcmp(argv[1], "check") == 0) oOpts.eMode = SIGMODE_CHECK;
    // The options follow the mode word, which getopt_long then sees as the
    // program's name.
    const int iSkip = oOpts.eMode == SIGMODE_NONE ? 0 : 1;
    int iArgc = argc - iSkip;
    char** pArgv = argv + iSkip;
    const char* pszValue = nullptr;
    std::string strKeyFile;
    bool bKeyOption = false;
    for (int iOpt; (iOpt = oLine.Next(iArgc, pArgv, pszValue)) != CCmdLine::OPT_END;) {
        if (iOpt == CCmdLine::OPT_EXIT) return oLine.Finished();
        if (oOpts.eMode == SIGMODE_NONE) break;
        if (iOpt == OPT_KEY) bKeyOption = true;
        if (!take_option(iOpt, pszValue, oOpts, strKeyFile))
            return oLine.Fail(std::string("unknown option or bad value: ") + option_name(iOpt));
    }
    if (oOpts.eMode == SIGMODE_NONE) return oLine.Fail("the first argument is mint or check");
    for (int i = oLine.FirstOperand(); i < iArgc; ++i) {
        if (oOpts.eMode != SIGMODE_CHECK || oOpts.bToken)
            return oLine.Fail(std::string("unexpected argument: ") + pArgv[i]);
        oOpts.strToken = pArgv[i];
        oOpts.bToken = true;
    }
    if (!oOpts.bUser || !oOpts.bPath || (oOpts.eMode == SIGMODE_CHECK && !oOpts.bToken)) {
        return oLine.Fail(std::string("--user and --path are required") +
                          (oOpts.eMode == SIGMODE_CHECK ? ", and the token to check" : ""));
    }
    return find_secret(oLine, strKeyFile, bKeyOption, oOpts);
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
