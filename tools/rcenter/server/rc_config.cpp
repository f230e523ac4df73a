#include "rc_config.h"

#include <arpa/inet.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>

#include "rc_net_rule.h"
#include "req_sig.h"
#include "sig_key.h"
#include "str_util.h"
#include "zq_conf.h"

namespace {

const char* const kKeys[] = {
    "listen_ip",     "listen_port",      "db_path",            "err_log_path", "err_log_level",
    "rotate_file_size", "rotate_file_num", "stat_log_path",     "stat_interval_ms",
    "inactive_timeout_ms", "max_fd_num",   "shm_key",            "shm_size",
    "http_listen_port", "http_listen_ip",  "sig_key",            "sig_window_s",
    "db_url",        "db_timeout_ms",
    "sig_key_file",  "request_timeout_ms", "max_conns_per_addr",
    "check_interval_s", "check_allow_nets", "check_concurrency", "check_per_host", "check_timeout_ms",
};

struct ConfFree {
    void operator()(zq_confdata_t* p) const { zq_freeconf(p); }
};

class CConfReader {
public:
    CConfReader(zq_confdata_t* pConf, std::string& strError) : m_pConf(pConf), m_strError(strError) {}

    bool Text(const char* pszName, std::string& strValue, size_t iMaxLen) {
        char szValue[ZQ_CONF_VALUE_SIZE];
        int iFound = zq_getconfnstr(m_pConf, pszName, szValue, sizeof(szValue));
        if (iFound == 0) return true;
        if (iFound < 0 || strlen(szValue) > iMaxLen) return Fail(pszName, "value too long");
        if (szValue[0] == '\0') return Fail(pszName, "empty value");
        strValue = szValue;
        return true;
    }

    template <typename T>
    bool Number(const char* pszName, T& value, long long iMin, long long iMax, bool* pPresent = nullptr) {
        char szValue[ZQ_CONF_VALUE_SIZE];
        if (zq_getconfnstr(m_pConf, pszName, szValue, sizeof(szValue)) == 0) return true;
        if (pPresent != nullptr) *pPresent = true;
        long long iValue = 0;
        if (zq_getconfint64(m_pConf, pszName, &iValue) != 1) return Fail(pszName, "not a number");
        if (iValue < iMin || iValue > iMax) {
            return Fail(pszName, ("out of range " + std::to_string(iMin) + ".." + std::to_string(iMax)).c_str());
        }
        value = static_cast<T>(iValue);
        return true;
    }

    // Exactly iLen bytes as 2 * iLen hex digits. The value itself never
    // reaches the error: it is a secret.
    bool Secret(const char* pszName, unsigned char* pOut, size_t iLen, bool& bPresent) {
        char szValue[ZQ_CONF_VALUE_SIZE];
        int iFound = zq_getconfnstr(m_pConf, pszName, szValue, sizeof(szValue));
        if (iFound == 0) return true;
        bool bOk = iFound > 0 && BinBufFromHexExact(pOut, iLen, szValue, strlen(szValue)) == 0;
        SigWipe(szValue, sizeof(szValue));
        if (!bOk) return Fail(pszName, (std::to_string(2 * iLen) + " hex digits expected").c_str());
        bPresent = true;
        return true;
    }

private:
    bool Fail(const char* pszName, const char* pszWhy) {
        if (m_strError.empty()) m_strError = std::string("bad value of ") + pszName + ": " + pszWhy;
        return false;
    }

    zq_confdata_t* m_pConf;
    std::string& m_strError;
};

bool KnownKey(const char* pszName) {
    for (const char* pszKey : kKeys) {
        if (strcmp(pszKey, pszName) == 0) return true;
    }
    return false;
}

}  // namespace

int rc_load_config(const std::string& strPath, rc_config_t& oConfig, bool& bMissing,
                   std::vector<std::string>& oWarnings, std::string& strError) {
    bMissing = false;
    struct stat st;
    if (stat(strPath.c_str(), &st) != 0) {
        if (errno == ENOENT) {
            bMissing = true;
            return 0;
        }
        int iErr = errno;
        strError = "cannot read " + strPath + ": " + strerror(iErr);
        return iErr;
    }
    if (!S_ISREG(st.st_mode)) {
        strError = "cannot read " + strPath + ": not a regular file";
        return EINVAL;
    }
    std::unique_ptr<zq_confdata_t, ConfFree> pConf(zq_initconf(ZQ_CONF_MIN_ITEMS));
    if (!pConf || zq_readconf_no_dir(strPath.c_str(), pConf.get()) != 1) {
        strError = "cannot read " + strPath;
        return EIO;
    }
    for (int i = 0; i < pConf->num; ++i) {
        // The journal of earlier versions is what a store export prints now.
        if (strcmp(pConf->item[i].name, "journal_path") == 0) {
            oWarnings.push_back("journal_path is no longer used: reports are stored in db_path "
                                "(zq_lookup --export-tsv prints the journal lines)");
        } else if (!KnownKey(pConf->item[i].name)) {
            oWarnings.push_back(std::string("unknown key ") + pConf->item[i].name);
        }
    }

    CConfReader in(pConf.get(), strError);
    bool bOk = in.Text("listen_ip", oConfig.listen_ip, 15) && in.Number("listen_port", oConfig.listen_port, 0, 65535) &&
               in.Text("db_path", oConfig.db_path, PATH_MAX - 1) &&
               in.Text("err_log_path", oConfig.err_log_path, RC_MAX_LOG_PATH) &&
               in.Number("err_log_level", oConfig.err_log_level, 0, 5) &&
               in.Number("rotate_file_size", oConfig.rotate_file_size, 0, UINT_MAX) &&
               in.Number("rotate_file_num", oConfig.rotate_file_num, 1, UINT_MAX) &&
               in.Text("stat_log_path", oConfig.stat_log_path, RC_MAX_LOG_PATH) &&
               in.Number("stat_interval_ms", oConfig.stat_interval_ms, 100, UINT_MAX) &&
               in.Number("inactive_timeout_ms", oConfig.inactive_timeout_ms, 0, UINT_MAX) &&
               in.Number("max_fd_num", oConfig.max_fd_num, RC_MIN_FD_NUM, RC_MAX_FD_NUM) &&
               in.Number("request_timeout_ms", oConfig.request_timeout_ms, 0, UINT_MAX) &&
               in.Number("max_conns_per_addr", oConfig.max_conns_per_addr, 1, RC_MAX_FD_NUM) &&
               // Keys are usually written in hexadecimal as unsigned numbers.
               in.Number("shm_key", oConfig.shm_key, INT_MIN, UINT_MAX) &&
               in.Number("shm_size", oConfig.shm_size, RC_MIN_SHM_SIZE, UINT_MAX) &&
               in.Number("http_listen_port", oConfig.http_listen_port, 0, 65535, &oConfig.http_enabled) &&
               in.Text("http_listen_ip", oConfig.http_listen_ip, 15) &&
               in.Secret("sig_key", oConfig.sig_key, sizeof(oConfig.sig_key), oConfig.sig_key_set) &&
               in.Number("sig_window_s", oConfig.sig_window_s, 1, RC_MAX_SIG_WINDOW_S) &&
               in.Text("db_url", oConfig.db_url, ZQ_CONF_VALUE_SIZE - 1) &&
               in.Number("db_timeout_ms", oConfig.db_timeout_ms, RC_MIN_DB_TIMEOUT_MS, RC_MAX_DB_TIMEOUT_MS) &&
               in.Number("check_interval_s", oConfig.check_interval_s, 0, RC_MAX_CHECK_INTERVAL_S) &&
               in.Text("check_allow_nets", oConfig.check_allow_nets, ZQ_CONF_VALUE_SIZE - 1) &&
               in.Number("check_concurrency", oConfig.check_concurrency, 1, RC_MAX_CHECK_CONCURRENCY) &&
               in.Number("check_per_host", oConfig.check_per_host, 1, RC_MAX_CHECK_PER_HOST) &&
               in.Number("check_timeout_ms", oConfig.check_timeout_ms, RC_MIN_CHECK_TIMEOUT_MS,
                         RC_MAX_CHECK_TIMEOUT_MS);
    if (!bOk) return EINVAL;
    CRcNetRule oRule;
    std::string strWhy;
    if (oRule.Parse(oConfig.check_allow_nets, strWhy) != 0) {
        strError = "bad value of check_allow_nets: " + strWhy;
        return EINVAL;
    }
    // The value itself is not shown: it may hold a password.
    if (!oConfig.db_url.empty() && !rc_store_is_shared(oConfig.db_url)) {
        strError = "bad value of db_url: not a postgresql:// URI or a key=value connection string";
        return EINVAL;
    }
    char szPresent[1];
    if (!oConfig.db_url.empty() && zq_getconfnstr(pConf.get(), "db_path", szPresent, sizeof(szPresent)) != 0)
        oWarnings.push_back("db_path is not used: db_url names the store");
    std::string strKeyFile;
    if (!in.Text("sig_key_file", strKeyFile, PATH_MAX - 1)) return EINVAL;
    if (!strKeyFile.empty()) {
        if (oConfig.sig_key_set) {
            strError = "bad value of sig_key_file: sig_key is set too; one secret at a time";
            return EINVAL;
        }
        std::string strWhy;
        if (SigReadKeyFile(strKeyFile, oConfig.sig_key, sizeof(oConfig.sig_key), strWhy) != 0) {
            strError = "bad value of sig_key_file: " + strWhy;
            return EINVAL;
        }
        oConfig.sig_key_set = true;
    }
    if (oConfig.http_listen_ip.empty()) oConfig.http_listen_ip = oConfig.listen_ip;

    for (const std::string* pIp : {&oConfig.listen_ip, &oConfig.http_listen_ip}) {
        in_addr addr;
        if (inet_pton(AF_INET, pIp->c_str(), &addr) != 1) {
            strError = std::string("bad value of ") + (pIp == &oConfig.listen_ip ? "listen_ip" : "http_listen_ip") +
                       ": not an IPv4 address: " + *pIp;
            return EINVAL;
        }
    }
    return 0;
}

rc_store_address_t rc_store_address(const rc_config_t& oConfig) {
    rc_store_address_t oWhere;
    oWhere.TimeoutMs = oConfig.db_timeout_ms;
    oWhere.Address = oConfig.db_url.empty() ? oConfig.db_path : oConfig.db_url;
    // db_path always names a file, even one whose name reads like key=value.
    if (oConfig.db_url.empty() && !oWhere.Address.empty() && rc_store_is_shared(oWhere.Address))
        oWhere.Address = "./" + oWhere.Address;
    return oWhere;
}
