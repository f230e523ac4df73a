// The configuration reader over arbitrary file contents. The input holds up
// to three files, separated by lines "%%": the main file, "inc.conf" beside it
// and "~/inc.conf" (a directory named "~" in the working directory: that is
// where an include of "~/..." is opened). The main file is read with the
// include follower, and the table must then be well formed, answer its own
// names, extend the plain read of the same file, and survive being written
// out and read back. Inputs that would include a file outside the scratch
// directory ("..", or a name starting with "/") are skipped.
#ifndef ZQ_CONF_FUZZ_H
#define ZQ_CONF_FUZZ_H

#include <memory>

#include "fuzz_harness.h"
#include "zq_conf.h"

namespace zqfuzz {

namespace confdetail {

struct ConfDeleter {
    void operator()(zq_confdata_t* p) const { zq_freeconf(p); }
};
typedef std::unique_ptr<zq_confdata_t, ConfDeleter> ConfPtr;

// A fresh table of the smallest capacity on every call, as zq_initconf gives
// it. The tables are made once per process and zeroed again: mapping three
// new 2 MiB blocks per input would cost far more than the reading under test.
inline zq_confdata_t* FreshTable(int which) {
    static ConfPtr tables[3];
    ConfPtr& table = tables[which];
    if (table == nullptr) table.reset(zq_initconf(0));
    if (table == nullptr) return nullptr;
    table->num = 0;
    memset(table->item, 0, sizeof(zq_confitem_t) * static_cast<size_t>(table->size));
    return table.get();
}

inline bool IsBlankOrLineEnd(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

inline bool Terminated(const char* text, size_t size) { return memchr(text, '\0', size) != nullptr; }

// True when the main file could name a file outside the scratch directory.
inline bool MayLeaveDir(const std::string& main) {
    if (main.find("..") != std::string::npos) return true;
    for (size_t at = main.find('"'); at != std::string::npos; at = main.find('"', at + 1)) {
        size_t p = at + 1;
        while (p < main.size() && main[p] == ' ') ++p;
        if (p < main.size() && main[p] == '/') return true;
    }
    return false;
}

// An item read from a file: a name of one word, a value without blanks at
// either end and without a line feed.
inline int CheckItem(const zq_confitem_t& item) {
    ZQ_FUZZ_CHECK(Terminated(item.name, sizeof(item.name)));
    ZQ_FUZZ_CHECK(Terminated(item.value, sizeof(item.value)));
    size_t nameLen = strlen(item.name);
    ZQ_FUZZ_CHECK(nameLen > 0);
    for (size_t i = 0; i < nameLen; ++i) ZQ_FUZZ_CHECK(!IsBlankOrLineEnd(item.name[i]) && item.name[i] != ':');
    size_t valueLen = strlen(item.value);
    ZQ_FUZZ_CHECK(strchr(item.value, '\n') == nullptr);
    if (valueLen > 0) {
        ZQ_FUZZ_CHECK(item.value[0] != ' ' && item.value[0] != '\t');
        ZQ_FUZZ_CHECK(!IsBlankOrLineEnd(item.value[valueLen - 1]));
    }
    return 0;
}

// Look-ups of one name, with text buffers of exactly the bound passed so a
// write past the bound is caught.
inline int CheckLookups(zq_confdata_t* conf, const char* name, const char* expected) {
    size_t len = strlen(expected);
    std::unique_ptr<char[]> exact(new char[len + 1]);
    ZQ_FUZZ_CHECK(zq_getconfnstr(conf, name, exact.get(), len + 1) == 1);
    ZQ_FUZZ_CHECK(strcmp(exact.get(), expected) == 0);
    if (len > 0) {
        std::unique_ptr<char[]> tight(new char[len]);
        ZQ_FUZZ_CHECK(zq_getconfnstr(conf, name, tight.get(), len) == -1);
        ZQ_FUZZ_CHECK(tight[0] == '\0');
    }
    int i = 0;
    unsigned int u = 0;
    long long ll = 0;
    unsigned long long ull = 0;
    float f = 0;
    zq_getconfint(conf, name, &i);
    zq_getconfuint(conf, name, &u);
    zq_getconfint64(conf, name, &ll);
    zq_getconfuint64(conf, name, &ull);
    ZQ_FUZZ_CHECK(zq_getconffloat(conf, name, &f) == 1);
    // A plain decimal number small enough for every type reads the same in all.
    bool smallDecimal = len > 0 && len <= 9 && expected[0] != '0';
    for (size_t k = 0; k < len && smallDecimal; ++k) smallDecimal = expected[k] >= '0' && expected[k] <= '9';
    if (smallDecimal) {
        long long want = atoll(expected);
        ZQ_FUZZ_CHECK(zq_getconfint(conf, name, &i) == 1 && i == want);
        ZQ_FUZZ_CHECK(zq_getconfuint(conf, name, &u) == 1 && static_cast<long long>(u) == want);
        ZQ_FUZZ_CHECK(zq_getconfint64(conf, name, &ll) == 1 && ll == want);
        ZQ_FUZZ_CHECK(zq_getconfuint64(conf, name, &ull) == 1 && ull == static_cast<unsigned long long>(want));
    }
    return 0;
}

// Items that read back unchanged once written as "name : value": a name
// that does not start a comment and a value without a carriage return.
inline bool ReadsBack(const zq_confitem_t& item) {
    return item.name[0] != '#' && strchr(item.value, '\r') == nullptr;
}

inline int CheckWriteBack(const std::string& dir, zq_confdata_t* conf) {
    const std::string out = dir + "/out.conf";
    if (conf->num == 0) {
        ZQ_FUZZ_CHECK(zq_writeconf(dir.c_str(), "out.conf", conf) == -1);
        return 0;
    }
    ZQ_FUZZ_CHECK(zq_writeconf(dir.c_str(), "out.conf", conf) == 1);
    zq_confdata_t* back = FreshTable(2);
    ZQ_FUZZ_CHECK(back != nullptr && back->size == conf->size);
    ZQ_FUZZ_CHECK(zq_readconf_no_dir(out.c_str(), back) == 1);
    int j = 0;
    for (int i = 0; i < conf->num; ++i) {
        const zq_confitem_t& item = conf->item[i];
        if (!ReadsBack(item)) continue;
        ZQ_FUZZ_CHECK(j < back->num);
        ZQ_FUZZ_CHECK(strcmp(back->item[j].name, item.name) == 0);
        ZQ_FUZZ_CHECK(strcmp(back->item[j].value, item.value) == 0);
        ++j;
    }
    ZQ_FUZZ_CHECK(j == back->num);
    return 0;
}

}  // namespace confdetail

inline int ConfFuzz(const uint8_t* data, size_t size) {
    using namespace confdetail;
    std::vector<std::string> files = SplitInput(data, size, "\n%%\n");
    if (MayLeaveDir(files[0])) return 0;

    const std::string& dir = ScratchDir::Path();
    ScopedCwd cwd(dir);
    ZQ_FUZZ_CHECK(cwd.ok());
    mkdir("~", 0700);
    const char* const names[] = {"main.conf", "inc.conf", "~/inc.conf"};
    for (size_t i = 0; i < 3; ++i) {
        std::string path = dir + "/" + names[i];
        if (i < files.size()) {
            ZQ_FUZZ_CHECK(WriteBytes(path, files[i]));
        } else {
            unlink(path.c_str());
        }
    }
    // A stale output file must not be there to be included.
    unlink((dir + "/out.conf").c_str());

    zq_confdata_t* plain = FreshTable(0);
    zq_confdata_t* conf = FreshTable(1);
    ZQ_FUZZ_CHECK(plain != nullptr && conf != nullptr);
    int plainResult = zq_readconf(dir.c_str(), "main.conf", plain);
    int result = zq_readconf_ex(dir.c_str(), "main.conf", conf);
    ZQ_FUZZ_CHECK(result == plainResult);
    ZQ_FUZZ_CHECK(result == 1 || result == -1);
    ZQ_FUZZ_CHECK(conf->num >= 0 && conf->num <= conf->size);
    if (result != 1) {
        ZQ_FUZZ_CHECK(conf->num == 0 && plain->num == 0);
        return 0;
    }

    // Includes only append.
    ZQ_FUZZ_CHECK(conf->num >= plain->num);
    for (int i = 0; i < plain->num; ++i) {
        ZQ_FUZZ_CHECK(strcmp(conf->item[i].name, plain->item[i].name) == 0);
        ZQ_FUZZ_CHECK(strcmp(conf->item[i].value, plain->item[i].value) == 0);
    }
    for (int i = 0; i < conf->num; ++i) {
        if (CheckItem(conf->item[i]) != 0) return -1;
    }
    // Each name answers with its first item's value; a handful is enough.
    for (int i = 0; i < conf->num && i < 32; ++i) {
        const char* name = conf->item[i].name;
        int first = 0;
        while (strcmp(conf->item[first].name, name) != 0) ++first;
        if (CheckLookups(conf, name, conf->item[first].value) != 0) return -1;
    }
    return CheckWriteBack(dir, conf);
}

}  // namespace zqfuzz

#endif
