// MD4 of many independent streams at once, one stream per lane of a vector
// register (8 with AVX2, 16 with AVX-512), for the chunks of the chunked MD4.
// Every call gives exactly what MD4Update gives on each stream alone,
// whatever the lengths: streams that run out early leave their lane and
// finish with the single-stream code. The contexts and buffers belong to the
// caller; nothing is kept between calls.
#ifndef ZQ_MD4_LANES_H
#define ZQ_MD4_LANES_H

#include "md4emule.h"
#include "simd_level.h"

// The same as MD4Update(ctx[i], data[i], len[i]) for every i < n.
void md4_lanes_update(MD4_CTX* const ctx[], const unsigned char* const data[], const unsigned int len[], unsigned int n,
                      ESimdLevel eLevel);

#endif
