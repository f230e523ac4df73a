// Replays kept fuzz inputs through a harness of tests/fuzz in the normal test
// build: the files of tests/fuzz/regressions/<target>/ (inputs that once
// failed) or of the seed corpus tests/fuzz/corpus/<target>/. A failed check of
// the harness becomes a test failure naming the input file.
#ifndef ZQ_TEST_FUZZ_REPLAY_H
#define ZQ_TEST_FUZZ_REPLAY_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace zqtest {

typedef int (*FuzzHarness)(const uint8_t* data, size_t size);

enum EFuzzInputs { FUZZ_REGRESSIONS, FUZZ_SEEDS };

// Runs harness over every file of the target's folder, in name order, and
// returns how many files it ran (0 when the folder is missing or empty).
size_t ReplayFuzzInputs(const std::string& target, EFuzzInputs which, FuzzHarness harness);

}  // namespace zqtest

#endif
