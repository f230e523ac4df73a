// Fixed-width integer names used across the server library and the tool.
#ifndef ZQ_COMMON_HEADER_H
#define ZQ_COMMON_HEADER_H

#include <cstddef>
#include <cstdint>

typedef int8_t sint8;
typedef uint8_t uint8;
typedef int16_t sint16;
typedef uint16_t uint16;
typedef int32_t sint32;
typedef uint32_t uint32;
typedef int64_t sint64;
typedef uint64_t uint64;

#endif
