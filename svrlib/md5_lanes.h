// MD5 of many independent streams at once, one stream per lane of a vector
// register (8 with AVX2, 16 with AVX-512), for the piece digests of a read
// window. Every call gives exactly what md5_process/md5_finish give on each
// stream alone, whatever the lengths: streams that run out early leave their
// lane and finish with the single-stream code. The contexts and buffers
// belong to the caller; nothing is kept between calls, so calls on disjoint
// contexts may run on different threads at once.
#ifndef ZQ_MD5_LANES_H
#define ZQ_MD5_LANES_H

#include "md5.h"
#include "simd_level.h"

// The same as md5_process(ctx[i], data[i], len[i]) for every i < n.
void md5_lanes_process(md5_t* const ctx[], const unsigned char* const data[], const unsigned int len[], unsigned int n,
                       ESimdLevel eLevel);
// The 16-byte MD5 of each of the n buffers, to out + 16 * i.
void md5_lanes_digest(const unsigned char* const data[], const unsigned int len[], unsigned int n, unsigned char* out,
                      ESimdLevel eLevel);

#endif
