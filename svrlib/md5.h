// MD5 message digest (RFC 1321) with hex conversion helpers. The context is a
// plain record owned by the caller and used by one thread at a time; the byte
// count is 64 bits wide, so inputs over 4 GiB digest correctly.
#ifndef ZQ_MD5_H
#define ZQ_MD5_H

#include <cstdint>

#define MD5_SIZE 16         // digest bytes
#define MD5_STRING_SIZE 33  // hex digits plus the terminating NUL

typedef uint32_t md5_uint32;

typedef struct {
    md5_uint32 md_A;
    md5_uint32 md_B;
    md5_uint32 md_C;
    md5_uint32 md_D;
    md5_uint32 md_total[2];  // input bytes so far, low word first
    md5_uint32 md_buf_len;   // bytes pending in md_buffer
    char md_buffer[128];     // pending input, up to two blocks
} md5_t;

void md5_init(md5_t* md5_p);
void md5_process(md5_t* md5_p, const void* buffer, unsigned int buf_len);
// Pads, compresses the rest and writes the 16-byte digest to signature.
void md5_finish(md5_t* md5_p, void* signature);
// Copies the current chaining words (16 bytes, little-endian) to result.
void md5_get_result(const md5_t* md5_p, void* result);
void md5_buffer(const char* buffer, unsigned int buf_len, void* signature);

// Lowercase hex of the 16 bytes into str, one byte only while two characters
// of room remain, then a NUL if one more fits: 33 gives digits and NUL, 32
// the bare digits, 31 thirty digits and a NUL.
void md5_sig_to_string(void* signature, char* str, const int str_len);
// Parses 32 hex digits, high nibble first. Upper case is accepted; any other
// character counts as 0, and a string ending early leaves the remaining bytes
// 0 (nothing past its NUL is read).
void md5_sig_from_string(void* signature, const char* str);

#endif
