// Where a signing secret comes from besides a configuration value or a
// command line, and how every copy of it is wiped. A key file holds the 32
// hex digits of the secret (blanks and a newline around them allowed) and
// must not be readable by group or others. Calls return 0 or an errno value
// with the reason in strError; the reason never shows the secret.
#ifndef ZQ_SIG_KEY_H
#define ZQ_SIG_KEY_H

#include <cstddef>
#include <string>

// Exactly iLen bytes from 2 * iLen hex digits between optional blanks; 0 or -1.
int SigParseSecret(const char* pszText, size_t iTextLen, unsigned char* pSecret, size_t iLen);

// Reads the secret of iLen bytes from the file at strPath. EACCES when the
// file is group- or world-readable, EINVAL when it holds anything but the
// digits, the system's error when it cannot be read.
int SigReadKeyFile(const std::string& strPath, unsigned char* pSecret, size_t iLen, std::string& strError);

// Overwrites n bytes at p in a way the compiler may not drop.
void SigWipe(void* p, size_t n);

#endif
