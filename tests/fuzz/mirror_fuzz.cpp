#include "mirror_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return zqfuzz::MirrorFuzz(data, size); }
