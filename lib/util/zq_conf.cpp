#include "zq_conf.h"

#include <strings.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <type_traits>

namespace {

// fgets reads at most this many characters less one: longer lines arrive in
// several pieces, each parsed as a line of its own.
const int kLineBufSize = 10239;
// "<dir>/<name>" is cut to this many characters less one.
const size_t kJoinedPathSize = 10240;
const size_t kIncludePathSize = 2048;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

enum EScanState { SCAN_START, SCAN_IGNORED, SCAN_NAME, SCAN_AFTER_NAME, SCAN_VALUE, SCAN_COMPLETE, SCAN_REJECTED };

// One "name: value" line. The terminating zero byte takes part in the scan: it
// is what lets the last line of a file end its value without a line feed.
// True with name and value filled (both terminated) when the line holds an item.
bool ScanLine(const char* line, char* name, char* value) {
    const size_t len = strlen(line);
    EScanState state = SCAN_START;
    bool separator = false;
    size_t nameStart = 0;
    size_t valueStart = 0;
    for (size_t i = 0; i <= len && state != SCAN_COMPLETE && state != SCAN_REJECTED; ++i) {
        const char c = line[i];
        switch (state) {
            case SCAN_START:
                if (IsBlank(c)) break;
                if (IsLineEnd(c)) {
                    state = SCAN_IGNORED;
                } else if (c == ':') {
                    state = SCAN_REJECTED;
                } else {
                    nameStart = i;
                    state = SCAN_NAME;
                }
                break;
            case SCAN_IGNORED:
                break;
            case SCAN_NAME:
                if (IsBlank(c) || c == ':') {
                    size_t nameLen = i - nameStart;
                    // A cut name could answer for a different key: refuse the line.
                    if (nameLen > ZQ_CONF_NAME_SIZE - 1) {
                        state = SCAN_REJECTED;
                        break;
                    }
                    memcpy(name, line + nameStart, nameLen);
                    name[nameLen] = '\0';
                    if (c == ':') separator = true;
                    state = SCAN_AFTER_NAME;
                } else if (IsLineEnd(c)) {
                    state = SCAN_REJECTED;
                }
                break;
            case SCAN_AFTER_NAME:
                if (IsBlank(c)) break;
                if (c == ':' && !separator) {
                    separator = true;
                } else if (IsLineEnd(c)) {
                    value[0] = '\0';
                    state = SCAN_COMPLETE;
                } else {
                    // A second colon right after the separator starts the value.
                    valueStart = i;
                    state = SCAN_VALUE;
                }
                break;
            case SCAN_VALUE: {
                size_t end = len;
                while (end > valueStart && (IsBlank(line[end - 1]) || IsLineEnd(line[end - 1]))) --end;
                size_t valueLen = end - valueStart;
                if (valueLen > ZQ_CONF_VALUE_SIZE - 1) {
                    state = SCAN_REJECTED;
                    break;
                }
                memcpy(value, line + valueStart, valueLen);
                value[valueLen] = '\0';
                state = SCAN_COMPLETE;
                break;
            }
            case SCAN_COMPLETE:
            case SCAN_REJECTED:
                break;
        }
    }
    return state == SCAN_COMPLETE && separator;
}

// Parses the file into items start, start+1, ...; the count only becomes
// visible when the whole file was read.
int readconf_no_dir(const char* fullpath, zq_confdata_t* pd_conf, int start) {
    if (fullpath == nullptr || pd_conf == nullptr || pd_conf->item == nullptr) return -1;
    if (start < 0 || start > pd_conf->size) return -1;
    FILE* fp = fopen(fullpath, "r");
    if (fp == nullptr) return -1;
    char line[kLineBufSize];
    char name[ZQ_CONF_NAME_SIZE];
    char value[ZQ_CONF_VALUE_SIZE];
    int count = start;
    while (fgets(line, sizeof(line), fp) != nullptr) {
        // Checked before parsing, so any line past a full table fails the read.
        if (count >= pd_conf->size) {
            fclose(fp);
            return -1;
        }
        if (line[0] == '#' || line[0] == '\0') continue;
        if (!ScanLine(line, name, value)) continue;
        zq_confitem_t& item = pd_conf->item[count];
        snprintf(item.name, sizeof(item.name), "%s", name);
        snprintf(item.value, sizeof(item.value), "%s", value);
        ++count;
    }
    // A read error part-way (or a directory given as the file) must not pass
    // for a complete configuration.
    bool failed = ferror(fp) != 0;
    fclose(fp);
    if (failed) return -1;
    pd_conf->num = count;
    return 1;
}

bool abs_path(const char* file) { return file[0] == '/' || (file[0] == '~' && file[1] == '/'); }

int escape_ignore(const char* line, int pos) {
    while (line[pos] == ' ') ++pos;
    return pos;
}

int zq_readconf_include(const char* path, zq_confdata_t* pd_conf) {
    // Only the items present now: an included file's own includes are not followed.
    const int n = pd_conf->num;
    for (int i = 0; i < n; ++i) {
        const zq_confitem_t& item = pd_conf->item[i];
        if (strcasecmp(item.name, "$include") != 0) continue;
        int pos = escape_ignore(item.value, 0);
        if (item.value[pos] != '"') continue;
        pos = escape_ignore(item.value, pos + 1);
        const char* nameBegin = item.value + pos;
        const char* nameEnd = strchr(nameBegin, '"');
        if (nameEnd == nullptr) continue;
        char file[ZQ_CONF_VALUE_SIZE];
        size_t nameLen = static_cast<size_t>(nameEnd - nameBegin);
        memcpy(file, nameBegin, nameLen);
        file[nameLen] = '\0';
        char full[kIncludePathSize];
        if (abs_path(file)) {
            snprintf(full, sizeof(full), "%s", file);
        } else {
            snprintf(full, sizeof(full), "%s/%s", path, file);
        }
        readconf_no_dir(full, pd_conf, pd_conf->num);
    }
    return 1;
}

// A name that reads back as itself: one word that the scanner would end at
// the same place and that does not start a comment.
bool IsWritableName(const char* name) {
    if (name[0] == '\0' || name[0] == '#') return false;
    for (const char* p = name; *p != '\0'; ++p) {
        if (IsBlank(*p) || IsLineEnd(*p) || *p == ':') return false;
    }
    return true;
}

bool HasLineEnd(const char* text) { return strpbrk(text, "\r\n") != nullptr; }

bool IsTerminated(const char* text, size_t size) { return memchr(text, '\0', size) != nullptr; }

// Unsigned text in the width of T, as the "%u"/"%x"/"%o" conversions read
// it: a minus sign negates modulo the width, a magnitude beyond it is refused.
template <typename T>
bool ParseUnsigned(const char* text, int base, T* out) {
    typedef typename std::make_unsigned<T>::type U;
    const char* p = text;
    while (isspace(static_cast<unsigned char>(*p))) ++p;
    const bool negative = *p == '-';
    char* end = nullptr;
    errno = 0;
    unsigned long long raw = strtoull(text, &end, base);
    if (end == text || errno == ERANGE) return false;
    unsigned long long magnitude = negative ? 0ULL - raw : raw;
    if (magnitude > std::numeric_limits<U>::max()) return false;
    U bits = static_cast<U>(magnitude);
    if (negative) bits = static_cast<U>(0U - bits);
    *out = static_cast<T>(bits);
    return true;
}

template <typename T>
bool ParseDecimal(const char* text, T* out) {
    if constexpr (std::is_unsigned<T>::value) {
        return ParseUnsigned(text, 10, out);
    } else {
        char* end = nullptr;
        errno = 0;
        long long number = strtoll(text, &end, 10);
        if (end == text || errno == ERANGE) return false;
        if (number < static_cast<long long>(std::numeric_limits<T>::min()) ||
            number > static_cast<long long>(std::numeric_limits<T>::max()))
            return false;
        *out = static_cast<T>(number);
        return true;
    }
}

template <typename T>
int GetConfInteger(zq_confdata_t* pd_conf, const char* c_name, T* c_value) {
    if (c_value == nullptr) return 0;
    char text[ZQ_CONF_VALUE_SIZE];
    if (zq_getconfnstr(pd_conf, c_name, text, sizeof(text)) != 1) return 0;
    T number = 0;
    bool ok;
    if (strcmp(text, "0") == 0) {
        ok = true;
    } else if (text[0] != '0') {
        ok = ParseDecimal(text, &number);
    } else if (text[1] == 'x') {
        ok = ParseUnsigned(text + 2, 16, &number);
    } else {
        ok = ParseUnsigned(text + 1, 8, &number);
    }
    if (!ok) return 0;
    *c_value = number;
    return 1;
}

}  // namespace

zq_confdata_t* zq_initconf(int num) {
    if (num < ZQ_CONF_MIN_ITEMS) num = ZQ_CONF_MIN_ITEMS;
    zq_confdata_t* conf = static_cast<zq_confdata_t*>(calloc(1, sizeof(zq_confdata_t)));
    if (conf == nullptr) return nullptr;
    conf->item = static_cast<zq_confitem_t*>(calloc(static_cast<size_t>(num), sizeof(zq_confitem_t)));
    if (conf->item == nullptr) {
        free(conf);
        return nullptr;
    }
    conf->size = num;
    conf->num = 0;
    return conf;
}

int zq_freeconf(zq_confdata_t* pd_conf) {
    if (pd_conf != nullptr) {
        free(pd_conf->item);
        free(pd_conf);
    }
    return 1;
}

int zq_readconf_no_dir(const char* fullpath, zq_confdata_t* pd_conf) { return readconf_no_dir(fullpath, pd_conf, 0); }

int zq_readconf(const char* work_path, const char* fname, zq_confdata_t* pd_conf) {
    if (work_path == nullptr || fname == nullptr || pd_conf == nullptr) return -1;
    char full[kJoinedPathSize];
    snprintf(full, sizeof(full), "%s/%s", work_path, fname);
    return zq_readconf_no_dir(full, pd_conf);
}

int zq_readconf_ex(const char* work_path, const char* fname, zq_confdata_t* pd_conf) {
    int result = zq_readconf(work_path, fname, pd_conf);
    if (result != 1) return result;
    return zq_readconf_include(work_path, pd_conf);
}

int zq_writeconf(const char* work_path, const char* fname, zq_confdata_t* pd_conf) {
    if (work_path == nullptr || fname == nullptr || pd_conf == nullptr || pd_conf->item == nullptr) return -1;
    if (pd_conf->num > pd_conf->size || pd_conf->num <= 0) return -1;
    char full[kJoinedPathSize];
    snprintf(full, sizeof(full), "%s/%s", work_path, fname);
    FILE* fp = fopen(full, "w");
    if (fp == nullptr) return -1;
    for (int i = 0; i < pd_conf->num; ++i) {
        const zq_confitem_t& item = pd_conf->item[i];
        if (!IsTerminated(item.name, sizeof(item.name)) || !IsTerminated(item.value, sizeof(item.value))) continue;
        // A line break in a value would split it into lines read as other items.
        if (!IsWritableName(item.name) || HasLineEnd(item.value)) continue;
        fprintf(fp, "%s : %s\n", item.name, item.value);
    }
    bool failed = ferror(fp) != 0;
    if (fclose(fp) != 0) failed = true;
    return failed ? -1 : 1;
}

int zq_getconfnstr(zq_confdata_t* pd_conf, const char* c_name, char* c_value, const size_t n) {
    if (pd_conf == nullptr || c_name == nullptr || c_value == nullptr) return 0;
    if (n > 0) c_value[0] = '\0';
    if (pd_conf->item == nullptr) return 0;
    const int num = pd_conf->num < pd_conf->size ? pd_conf->num : pd_conf->size;
    for (int i = 0; i < num; ++i) {
        const zq_confitem_t& item = pd_conf->item[i];
        if (strncmp(item.name, c_name, sizeof(item.name)) != 0) continue;
        size_t len = strnlen(item.value, sizeof(item.value));
        if (len >= n) return -1;
        memcpy(c_value, item.value, len);
        memset(c_value + len, 0, n - len);
        return 1;
    }
    return 0;
}

int zq_getconfint(zq_confdata_t* pd_conf, const char* c_name, int* c_value) {
    return GetConfInteger(pd_conf, c_name, c_value);
}

int zq_getconfuint(zq_confdata_t* pd_conf, const char* c_name, unsigned int* c_value) {
    return GetConfInteger(pd_conf, c_name, c_value);
}

int zq_getconfint64(zq_confdata_t* pd_conf, const char* c_name, long long* c_value) {
    return GetConfInteger(pd_conf, c_name, c_value);
}

int zq_getconfuint64(zq_confdata_t* pd_conf, const char* c_name, unsigned long long* c_value) {
    return GetConfInteger(pd_conf, c_name, c_value);
}

int zq_getconffloat(zq_confdata_t* pd_conf, const char* c_name, float* c_value) {
    if (c_value == nullptr) return 0;
    char text[ZQ_CONF_VALUE_SIZE];
    if (zq_getconfnstr(pd_conf, c_name, text, sizeof(text)) != 1) return 0;
    *c_value = strtof(text, nullptr);
    return 1;
}
