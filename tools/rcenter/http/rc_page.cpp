#include "rc_page.h"

// Inline script and style are refused too, so a file name that slipped into
// markup could still run nothing; the page needs neither.
const char RC_PAGE_HEADERS[] =
    "Content-Security-Policy: default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
    "img-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "Referrer-Policy: no-referrer\r\n"
    "Cache-Control: no-cache\r\n";

const rc_page_asset_t* rc_page_find(const std::string& strPath) {
    for (size_t i = 0; i < g_iRcPageAssets; ++i) {
        if (strPath == g_arRcPageAssets[i].Path) return &g_arRcPageAssets[i];
    }
    return nullptr;
}
