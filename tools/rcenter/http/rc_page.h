// The center's browser page: its HTML, script and stylesheet, built into the
// binary from tools/rcenter/page/ (embed.cmake), found by request path and
// answered with the headers that keep the page to its own files. Static data
// only: nothing here reads a file or the store.
#ifndef ZQ_RC_PAGE_H
#define ZQ_RC_PAGE_H

#include <cstddef>
#include <string>

struct rc_page_asset_t {
    const char* Path;  // the request path it answers, "/" for the page itself
    const char* Type;  // its Content-Type
    const unsigned char* Data;
    size_t Size;
};

// The page's files, from the generated source.
extern const rc_page_asset_t g_arRcPageAssets[];
extern const size_t g_iRcPageAssets;

// The file served at strPath, or null when the path is not one of the page's.
const rc_page_asset_t* rc_page_find(const std::string& strPath);

// Header lines (each ending in CRLF) sent with every file of the page: the
// browser runs only the page's own script and style, loads nothing from
// elsewhere and talks only to this origin.
extern const char RC_PAGE_HEADERS[];

#endif
