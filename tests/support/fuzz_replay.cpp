#include "fuzz_replay.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "files.h"
#include "fuzz_harness.h"

namespace zqtest {

namespace {

std::string g_currentInput;

void RecordFailure(const char* file, int line, const char* what) {
    ADD_FAILURE_AT(file, line) << "fuzz check failed: " << what << "\n  input: " << g_currentInput;
}

}  // namespace

size_t ReplayFuzzInputs(const std::string& target, EFuzzInputs which, FuzzHarness harness) {
    namespace fs = std::filesystem;
    const fs::path dir =
        fs::path(ZQ_SOURCE_DIR) / "tests" / "fuzz" / (which == FUZZ_REGRESSIONS ? "regressions" : "corpus") / target;
    std::vector<fs::path> files;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->is_regular_file()) files.push_back(it->path());
    }
    std::sort(files.begin(), files.end());

    zqfuzz::FailHook saved = zqfuzz::OnFail();
    zqfuzz::OnFail() = RecordFailure;
    for (const fs::path& file : files) {
        g_currentInput = file.string();
        const std::string bytes = ReadFile(g_currentInput);
        harness(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
    zqfuzz::OnFail() = saved;
    return files.size();
}

}  // namespace zqtest
