#include "config.h"

#include <arpa/inet.h>

#include <cstdio>

#include "onepass.h"
#include "svr_log.h"
#include "zq_conf.h"

stConfig g_config;

namespace {

// An absent key, or one whose text does not fit the field, takes the default.
void GetText(zq_confdata_t* conf, const char* name, char* field, size_t size, const char* def) {
    if (zq_getconfnstr(conf, name, field, size) != 1) snprintf(field, size, "%s", def);
}

template <typename T, typename Getter>
void GetNumber(zq_confdata_t* conf, const char* name, Getter get, T* field, T def) {
    if (get(conf, name, field) != 1) *field = def;
}

// digest_simd, with a warning line (standard output and the error log, which
// is set up by then) for a text it does not know or a level missing here.
ESimdLevel GetSimdLevel(zq_confdata_t* conf) {
    char text[32] = "";
    ESimdLevel level = SIMD_AUTO;
    int found = zq_getconfnstr(conf, "digest_simd", text, sizeof(text));
    if (found == 0) return SIMD_AUTO;
    if (found != 1 || !SimdParseLevel(text, level)) {
        printf("warning: digest_simd \"%s\" is none of auto, portable, avx2, avx512: using auto\n", text);
        LOG_WARN("unknown digest_simd: value=%s, using auto", text);
        return SIMD_AUTO;
    }
    if (!SimdSupported(level)) {
        ESimdLevel eHere = SimdResolve(level);
        printf("warning: digest_simd %s: this processor lacks it, using %s\n", text, SimdLevelName(eHere));
        LOG_WARN("digest_simd not supported here: value=%s, using %s", text, SimdLevelName(eHere));
        return eHere;
    }
    return level;
}

// Four decimal numbers of 0 to 255 joined by dots, nothing else.
bool is_dotted_quad(const char* text) {
    in_addr addr;
    return inet_pton(AF_INET, text, &addr) == 1;
}

}  // namespace

int stConfig::load_main_conf(const char* p_main_path) {
    zq_confdata_t* conf = zq_initconf(ZQ_CONF_MIN_ITEMS);
    if (conf == nullptr || zq_readconf_no_dir(p_main_path, conf) != 1) {
        printf("main config file not exist: path=%s\n", p_main_path);
        zq_freeconf(conf);
        return -1;
    }

    GetText(conf, "err_log_path", err_log_path, sizeof(err_log_path), "./log/errlog");
    GetText(conf, "stat_log_path", stat_log_path, sizeof(stat_log_path), "./log/statlog");
    GetNumber(conf, "err_log_level", zq_getconfint, &err_log_level, 4);
    GetNumber(conf, "rotate_file_size", zq_getconfuint, &rotate_file_size, 0x5000000u);
    GetNumber(conf, "rotate_file_num", zq_getconfuint, &rotate_file_num, 50u);
    GetText(conf, "visit_log_path", visit_log_path, sizeof(visit_log_path), "./log/visitlog");
    GetText(conf, "file_path", file_path, sizeof(file_path), ".");
    // The logs come up before the server keys so that their absence is logged.
    init_log();
    GetNumber(conf, "task_timeout_ms", zq_getconfint, &task_timeout_ms, 3000);
    GetNumber(conf, "package_length", zq_getconfint, &package_length, 100000);
    GetNumber(conf, "digest_throttle", zq_getconfint, &digest_throttle, 1);
    GetNumber(conf, "digest_threads", zq_getconfint, &digest_threads, 1);
    if (digest_threads < 1) digest_threads = 1;
    if (digest_threads > static_cast<int>(ONEPASS_MAX_THREADS)) digest_threads = static_cast<int>(ONEPASS_MAX_THREADS);
    digest_simd = GetSimdLevel(conf);

    int result = 0;
    unsigned int port = 0;
    int found = zq_getconfnstr(conf, "rc_ip", rc_ip, sizeof(rc_ip));
    if (found == -1) {
        // Cutting the address would aim the report at some other host.
        LOG_FATAL("config value too long: name=%s, max=%d", "rc_ip", IP_SIZE - 1);
        result = -1;
    } else if (found != 1 || rc_ip[0] == '\0') {
        LOG_FATAL("config not exist: name=%s", "rc_ip");
        result = -1;
    } else if (!is_dotted_quad(rc_ip)) {
        // inet_addr would turn a host name into 255.255.255.255 and the report
        // would go nowhere until the timeout.
        LOG_FATAL("config value not an IPv4 address: name=%s, value=%s", "rc_ip", rc_ip);
        result = -1;
    } else if (zq_getconfuint(conf, "rc_port", &port) != 1) {
        LOG_FATAL("config not exist: name=%s", "rc_port");
        result = -1;
    } else {
        rc_port = static_cast<int>(port & 0xFFFFu);
    }

    zq_freeconf(conf);
    return result;
}

int stConfig::init_log() {
    g_ErrLog.reset();
    g_StatisLog.reset();
    g_VisitLog.reset();

    g_ErrLog.InitFileLog(err_log_path, false, FL_FILE_SIZE_ROTATE, rotate_file_size, rotate_file_num);
    g_ErrLog.SetOutLevel(err_log_level);
    g_ErrLog.set_thread_safe(true);
    g_ErrLog.OpenFileLog();

    g_StatisLog.InitFileLog(stat_log_path, true, FL_DAILY_ROTATE, 10485760u, 4294967295u);
    g_StatisLog.OpenFileLog();

    g_VisitLog.InitFileLog(visit_log_path, true, FL_DAILY_ROTATE, 10485760u, 4294967295u);
    g_VisitLog.OpenFileLog();
    return 0;
}
