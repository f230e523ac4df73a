// datareport when its 64 descriptors are already in use as it starts: it
// says why it cannot report and exits with the documented status, never
// crashing, however many of the descriptors are left.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bytes.h"
#include "files.h"
#include "process.h"
#include "rcenter_test_util.h"

namespace {

const int kToolLimit = 64;

// The sanitizer runtime probes memory through a pipe of its own when it
// checks a dynamic type; with no descriptor left the probe fails, it takes
// the object for a wrong one and stops the process. Such a run says nothing
// about the tool.
bool SanitizerOutOfDescriptors(const std::string& out) {
    return zqtest::UnderSanitizers() && out.find("note: object has invalid vptr") != std::string::npos &&
           out.find("<memory cannot be printed>") != std::string::npos;
}

TEST(ReportDescriptors, UsedUpBeforeItStartsItSaysWhyAndExitsWithoutCrashing) {
    rctest::Server server;
    ASSERT_TRUE(server.Start()) << server.Process().Err();
    zqtest::TempDir dir;
    zqtest::WriteFile(dir.file("clip.bin"), zqtest::PatternBytes(50000, 7));
    zqtest::WriteFile(dir.file("main.conf"), "file_path: " + dir.path() + "\nrc_ip: 127.0.0.1\nrc_port: " +
                                                 std::to_string(server.Port()) + "\ntask_timeout_ms: 500\n");

    bool sawNoSocket = false;
    int firstAnswered = -1;
    for (int leaveFree = 0; leaveFree <= 12 && firstAnswered < 0; ++leaveFree) {
        zqtest::ProcessResult r = zqtest::RunWithDescriptorsUsed(
            zqtest::BinPath("datareport"), {"clip.bin", "http://example.invalid/clip.bin"}, dir.path(), kToolLimit,
            leaveFree, 30000);
        SCOPED_TRACE("free descriptors: " + std::to_string(leaveFree) + "\n" + r.out);
        ASSERT_FALSE(r.timed_out);
        ASSERT_EQ(r.term_signal, 0);
        if (SanitizerOutOfDescriptors(r.out)) continue;
        switch (r.exit_code) {
            case 0:
                EXPECT_NE(r.out.find("rc _response: dwresult="), std::string::npos);
                firstAnswered = leaveFree;
                break;
            case 1:  // the file itself could not be opened
                EXPECT_NE(r.out.find("compute error"), std::string::npos);
                break;
            case 2:
                if (r.out.find("cannot open a connection to zq_server 127.0.0.1:" + std::to_string(server.Port()) +
                               ": Too many open files") != std::string::npos) {
                    sawNoSocket = true;
                } else {
                    EXPECT_NE(r.out.find("server init error"), std::string::npos);
                }
                break;
            default:
                ADD_FAILURE() << "exit status " << r.exit_code;
        }
    }
    if (!zqtest::UnderSanitizers()) {
        EXPECT_TRUE(sawNoSocket) << "no run had its file read but no socket";
    }
    EXPECT_GT(firstAnswered, 0) << "no run had room enough to report";
    EXPECT_TRUE(server.Process().Running());
}

}  // namespace
