#include "cmd_line.h"

#include <cctype>
#include <cstring>

#include "zq_version.h"

namespace {

enum : int {
    OPT_HELP = 'h',
    OPT_VERSION = 0x10000,
};

}  // namespace

const char* ZqVersionText() {
    static const std::string strText =
        ZQ_GIT_DESCRIBE[0] == '\0' ? std::string(ZQ_VERSION) : std::string(ZQ_VERSION) + " (" + ZQ_GIT_DESCRIBE + ")";
    return strText.c_str();
}

CCmdLine::CCmdLine(const char* pszProgram, const std::vector<option>& oOptions, void (*pfnUsage)(FILE*))
    : m_pszProgram(pszProgram), m_oOptions(oOptions), m_pfnUsage(pfnUsage), m_iExit(0) {
    m_oOptions.push_back({"help", no_argument, nullptr, OPT_HELP});
    m_oOptions.push_back({"version", no_argument, nullptr, OPT_VERSION});
    m_oOptions.push_back({nullptr, 0, nullptr, 0});
    // Options may follow operands, as GNU programs allow; the ':' makes a
    // missing value a case of its own.
    m_strShort = ":h";
    // An option whose val is a letter is also its short form ("-o FILE").
    for (const option& oOpt : oOptions) {
        if (oOpt.flag != nullptr || oOpt.val <= 0 || oOpt.val > 127 || !isalpha(oOpt.val)) continue;
        m_strShort += static_cast<char>(oOpt.val);
        if (oOpt.has_arg == required_argument) m_strShort += ':';
    }
    optind = 1;
}

int CCmdLine::Next(int argc, char** argv, const char*& pszValue) {
    pszValue = nullptr;
    opterr = 0;
    const int iOpt = getopt_long(argc, argv, m_strShort.c_str(), m_oOptions.data(), nullptr);
    if (iOpt == -1) return OPT_END;
    if (iOpt == OPT_HELP) {
        m_pfnUsage(stdout);
        m_iExit = 0;
        return OPT_EXIT;
    }
    if (iOpt == OPT_VERSION) {
        printf("%s %s\n", m_pszProgram, ZqVersionText());
        m_iExit = 0;
        return OPT_EXIT;
    }
    // A short option is named by its letter; a long one by the word
    // getopt_long has just moved past, without its "=value".
    std::string strWord;
    if (optopt > 0 && optopt < 256) {
        strWord = std::string("-") + static_cast<char>(optopt);
    } else if (optind >= 1 && optind <= argc) {
        strWord = argv[optind - 1];
    }
    std::string::size_type iEq = strWord.find('=');
    if (iEq != std::string::npos) strWord.resize(iEq);
    if (iOpt == ':') {
        m_iExit = Fail(strWord + " needs a value");
        return OPT_EXIT;
    }
    if (iOpt == '?') {
        m_iExit = Fail("unknown option " + strWord);
        return OPT_EXIT;
    }
    pszValue = optarg;
    return iOpt;
}

int CCmdLine::Fail(const std::string& strWhy) {
    fprintf(stderr, "%s: %s\n", m_pszProgram, strWhy.c_str());
    m_pfnUsage(stderr);
    return ZQ_EXIT_USAGE;
}
