// Test helpers for the fast digest path: running a built program with a
// pseudo-terminal as its standard input, output and error, as a user at a
// terminal would.
#ifndef ZQ_TEST_FASTPATH_H
#define ZQ_TEST_FASTPATH_H

#include <string>
#include <vector>

#include "test_support.h"

namespace zqtest {

// Runs program with args in cwd on a fresh pseudo-terminal; out holds all it
// wrote there (standard output and error mixed, line ends as "\r\n"). Kills
// it after timeout_ms.
ProcessResult RunOnTerminal(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
                            int timeout_ms = 30000);

}  // namespace zqtest

#endif
