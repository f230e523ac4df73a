// Key/value configuration files: a line "name: value" per item, '#' in the
// first column for comments, optional "$include" items for the extended reader.
// A table has a fixed capacity chosen at creation and owns its item array; the
// caller owns the table and releases it with zq_freeconf. Results are 1 for
// success, -1 for failure, and 0 when a name is absent.
#ifndef ZQ_CONF_H
#define ZQ_CONF_H

#include <cstddef>

enum {
    ZQ_CONF_NAME_SIZE = 1024,
    ZQ_CONF_VALUE_SIZE = 1024,
    ZQ_CONF_MIN_ITEMS = 1024,
};

typedef struct zq_confitem {
    char name[ZQ_CONF_NAME_SIZE];
    char value[ZQ_CONF_VALUE_SIZE];
} zq_confitem_t;

typedef struct zq_confdata {
    int num;               // items filled, from index 0
    int size;              // capacity in items
    zq_confitem_t* item;   // zero-filled at creation, owned by the table
} zq_confdata_t;

// Capacity is at least ZQ_CONF_MIN_ITEMS. Null when memory runs out.
zq_confdata_t* zq_initconf(int num);
// Accepts null. Returns 1.
int zq_freeconf(zq_confdata_t* pd_conf);

// Reads one file into the table from index 0. On failure (unreadable file, or
// more lines than the table holds) -1 and the table's count is unchanged.
int zq_readconf_no_dir(const char* fullpath, zq_confdata_t* pd_conf);
// Reads "<work_path>/<fname>".
int zq_readconf(const char* work_path, const char* fname, zq_confdata_t* pd_conf);
// As zq_readconf, then appends the items of every file named by a top-level
// "$include" item ($include: "name", relative to work_path unless it starts
// with "/" or "~/"). Includes do not nest; a failing include adds nothing.
int zq_readconf_ex(const char* work_path, const char* fname, zq_confdata_t* pd_conf);
// Writes "name : value" lines to "<work_path>/<fname>", replacing it. Items
// whose name would not read back as the same single word are left out. -1
// when the table is empty or inconsistent or the file cannot be fully written.
int zq_writeconf(const char* work_path, const char* fname, zq_confdata_t* pd_conf);

// Copies the value of the first item named c_name (case-sensitive) into
// c_value and zero-fills the rest of its n bytes. c_value always ends up
// terminated: when the value does not fit in n bytes with its terminator the
// result is -1 and c_value holds the empty text. 0 when absent or an argument
// is null.
int zq_getconfnstr(zq_confdata_t* pd_conf, const char* c_name, char* c_value, const size_t n);

// Typed look-ups: "0x..." is hexadecimal, any other leading '0' octal, the rest
// decimal; blanks before the number and text after it are ignored; unsigned
// look-ups accept a minus sign and wrap ("-1" gives the type's maximum). 1 when
// a number was stored, 0 (value untouched) when the name is absent, no digits
// were read or the number does not fit the type.
int zq_getconfint(zq_confdata_t* pd_conf, const char* c_name, int* c_value);
int zq_getconfuint(zq_confdata_t* pd_conf, const char* c_name, unsigned int* c_value);
int zq_getconfint64(zq_confdata_t* pd_conf, const char* c_name, long long* c_value);
int zq_getconfuint64(zq_confdata_t* pd_conf, const char* c_name, unsigned long long* c_value);
// Text that is not a number gives 0.0; 1 whenever the name is present.
int zq_getconffloat(zq_confdata_t* pd_conf, const char* c_name, float* c_value);

#endif
