// zq_ident as a user runs it: its lines, its JSON, its errors, and agreement
// with independent checksum tools.
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bytes.h"
#include "datareport_svr.h"
#include "files.h"
#include "process.h"
#include "simd_level.h"

namespace {

using zqtest::BinPath;
using zqtest::FirstWord;
using zqtest::PatternBytes;
using zqtest::ProcessResult;
using zqtest::RunProcess;
using zqtest::TempDir;
using zqtest::WriteFile;

const int kTimeoutMs = 60000;

ProcessResult Ident(const std::vector<std::string>& args, const std::string& cwd) {
    return RunProcess(BinPath("zq_ident"), args, cwd, kTimeoutMs);
}

std::vector<std::pair<std::string, std::string> > ParseLines(const std::string& out) {
    std::vector<std::pair<std::string, std::string> > lines;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        size_t colon = line.find(": ");
        if (colon == std::string::npos) {
            lines.emplace_back(line, "<no separator>");
        } else {
            lines.emplace_back(line.substr(0, colon), line.substr(colon + 2));
        }
    }
    return lines;
}

std::map<std::string, std::string> AsMap(const std::vector<std::pair<std::string, std::string> >& lines) {
    return std::map<std::string, std::string>(lines.begin(), lines.end());
}

// Runs an independent checksum program on path and returns its digest.
bool ToolDigest(const std::string& tool, const std::string& path, std::string& digest) {
    for (const char* dir : {"/usr/bin/", "/bin/"}) {
        std::string program = std::string(dir) + tool;
        if (access(program.c_str(), X_OK) != 0) continue;
        ProcessResult r = RunProcess(program, {path}, "", kTimeoutMs);
        if (r.exit_code != 0) return false;
        digest = FirstWord(r.out);
        return true;
    }
    return false;
}

TEST(ZqIdentOutput, KeyValueLinesInOrderMatchingTheComputedRecord) {
    TempDir dir;
    std::string data = PatternBytes(100000, 5);
    WriteFile(dir.file("clip.avi"), data);
    ProcessResult r = Ident({"clip.avi"}, dir.path());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");

    rc_digests_t d;
    ASSERT_EQ(compute_rc_digests(dir.file("clip.avi"), d, rc_digest_opts(RC_DIGEST_UNTHROTTLED)), RC_DIGESTS_OK);
    RSInfo info;
    fill_rc_info(d, "clip.avi", "", info);
    std::vector<std::pair<std::string, std::string> > expect;
    for (const rc_field_t& f : rc_info_fields(info)) expect.emplace_back(f.Key, f.Value);
    EXPECT_EQ(ParseLines(r.out), expect);

    std::map<std::string, std::string> m = AsMap(ParseLines(r.out));
    EXPECT_EQ(m["size"], "100000");
    EXPECT_EQ(m["piece_size"], "32768");
    EXPECT_EQ(m["pieces"], "4");
    EXPECT_EQ(m["tpt_bytes"], "119");
    for (const char* key : {"sid", "fid", "sha1"}) EXPECT_EQ(m[key].size(), 40u) << key;
    EXPECT_EQ(m["md4"].size(), 32u);
}

TEST(ZqIdentOutput, Sha1AgreesWithSha1sum) {
    TempDir dir;
    for (size_t size : std::vector<size_t>{0, 1, 100000, 5 * 1024 * 1024 + 3}) {
        WriteFile(dir.file("f"), PatternBytes(size, static_cast<uint32_t>(size) + 1));
        std::string expect;
        if (!ToolDigest("sha1sum", dir.file("f"), expect)) GTEST_SKIP() << "sha1sum not available";
        ProcessResult r = Ident({dir.file("f")}, dir.path());
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(AsMap(ParseLines(r.out))["sha1"], expect) << size;
    }
}

TEST(ZqIdentOutput, SinglePieceDigestAgreesWithMd5sum) {
    TempDir dir;
    for (size_t size : std::vector<size_t>{1, 1000, 32768}) {
        WriteFile(dir.file("f"), PatternBytes(size, static_cast<uint32_t>(size) + 2));
        std::string expect;
        if (!ToolDigest("md5sum", dir.file("f"), expect)) GTEST_SKIP() << "md5sum not available";
        ProcessResult r = Ident({"--tpt", dir.file("f")}, dir.path());
        ASSERT_EQ(r.exit_code, 0) << r.err;
        std::map<std::string, std::string> m = AsMap(ParseLines(r.out));
        EXPECT_EQ(m["pieces"], "1");
        // The only piece digest follows the 35-byte header.
        ASSERT_EQ(m["tpt"].size(), 2u * (55 + 16));
        EXPECT_EQ(m["tpt"].substr(70, 32), expect) << size;
        EXPECT_EQ(m["tpt"].substr(102), m["sha1"]) << "the table ends with the file's SHA-1";
    }
}

TEST(ZqIdentOutput, TptAddsTheTableInHex) {
    TempDir dir;
    WriteFile(dir.file("f"), PatternBytes(100000, 9));
    ProcessResult r = Ident({"--tpt", dir.file("f")}, dir.path());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::vector<std::pair<std::string, std::string> > lines = ParseLines(r.out);
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_EQ(lines.back().first, "tpt");
    EXPECT_EQ(lines.back().second.substr(0, 38), "545054040000000000040000002000a0060000");
    EXPECT_EQ(lines.back().second.size(), 2u * 119u);
}

TEST(ZqIdentOutput, JsonIsOneObjectWithTheSameValues) {
    TempDir dir;
    WriteFile(dir.file("f"), PatternBytes(70000, 10));
    ProcessResult text = Ident({dir.file("f")}, dir.path());
    ProcessResult json = Ident({dir.file("f"), "--json", "--tpt"}, dir.path());
    ASSERT_EQ(json.exit_code, 0) << json.err;
    ASSERT_EQ(text.exit_code, 0) << text.err;
    ASSERT_FALSE(json.out.empty());
    EXPECT_EQ(json.out.front(), '{');
    EXPECT_EQ(json.out.substr(json.out.size() - 2), "}\n");
    EXPECT_EQ(json.out.find('\n'), json.out.size() - 1) << "one line";
    for (const auto& kv : ParseLines(text.out)) {
        bool number = kv.first == "size" || kv.first == "piece_size" || kv.first == "pieces" || kv.first == "tpt_bytes";
        std::string member = "\"" + kv.first + "\": " + (number ? kv.second : "\"" + kv.second + "\"");
        EXPECT_NE(json.out.find(member), std::string::npos) << member << " in " << json.out;
    }
    EXPECT_NE(json.out.find("\"tpt\": \"545054"), std::string::npos);
}

TEST(ZqIdentModes, ThrottledPassesAndTheFastPassOnAnyThreadsPrintTheSame) {
    TempDir dir;
    for (size_t size : std::vector<size_t>{0, 1, 100000, 9728001}) {
        WriteFile(dir.file("f.bin"), PatternBytes(size, static_cast<uint32_t>(size) + 3));
        ProcessResult throttled = Ident({"--throttle", "--json", "--tpt", "f.bin"}, dir.path());
        ASSERT_EQ(throttled.exit_code, 0) << throttled.err;
        EXPECT_EQ(throttled.err, "");
        std::vector<std::vector<std::string> > fastArgs = {{}, {"--threads", "1"}, {"--threads", "2"},
                                                           {"--threads", "3"}, {"--threads", "4"}};
        for (std::vector<std::string> args : fastArgs) {
            std::string what = std::to_string(size) + " bytes" + (args.empty() ? "" : ", " + args[1] + " threads");
            args.insert(args.end(), {"--json", "--tpt", "f.bin"});
            ProcessResult fast = Ident(args, dir.path());
            ASSERT_EQ(fast.exit_code, 0) << what << ": " << fast.err;
            EXPECT_EQ(fast.out, throttled.out) << what;
            EXPECT_EQ(fast.err, "") << what;
        }
    }
}

// Three chunks bring in the chunk lanes beside the piece windows. A level
// this processor lacks is refused rather than run.
TEST(ZqIdentModes, EveryVectorLevelPrintsWhatThePortableCodePrints) {
    TempDir dir;
    for (size_t size : std::vector<size_t>{100000, 2 * 9728000 + 1}) {
        WriteFile(dir.file("f.bin"), PatternBytes(size, static_cast<uint32_t>(size) + 5));
        ProcessResult portable = Ident({"--simd", "portable", "--json", "--tpt", "f.bin"}, dir.path());
        ASSERT_EQ(portable.exit_code, 0) << portable.err;
        for (ESimdLevel level : {SIMD_AUTO, SIMD_AVX2, SIMD_AVX512}) {
            std::string what = std::to_string(size) + " bytes, " + SimdLevelName(level);
            ProcessResult r =
                Ident({"--simd", SimdLevelName(level), "--threads", "2", "--json", "--tpt", "f.bin"}, dir.path());
            if (!SimdSupported(level)) {
                EXPECT_EQ(r.exit_code, 2) << what;
                EXPECT_NE(r.err.find("this processor lacks it"), std::string::npos) << what << ": " << r.err;
                continue;
            }
            ASSERT_EQ(r.exit_code, 0) << what << ": " << r.err;
            EXPECT_EQ(r.out, portable.out) << what;
        }
    }
}

TEST(ZqIdentErrors, SimdTakesOneOfFourNames) {
    TempDir dir;
    WriteFile(dir.file("a"), "a");
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string> >{{"--simd", "sse", "a"}, {"--simd", "AVX2", "a"}, {"a", "--simd"}}) {
        ProcessResult r = Ident(args, dir.path());
        EXPECT_EQ(r.exit_code, 2) << args[0] << " " << args[1];
        EXPECT_NE(r.err.find("usage: zq_ident"), std::string::npos) << args[0] << " " << args[1];
    }
}

TEST(ZqIdentErrors, ThreadsTakeOneToFourAndNotWithThrottle) {
    TempDir dir;
    WriteFile(dir.file("a"), "a");
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string> >{
             {"--threads", "0", "a"},
             {"--threads", "5", "a"},
             {"--threads", "two", "a"},
             {"--threads", "2x", "a"},
             {"--threads", "-1", "a"},
             {"a", "--threads"},
             {"--threads", "2", "--throttle", "a"}}) {
        ProcessResult r = Ident(args, dir.path());
        std::string what = args[0] + " " + args[1];
        EXPECT_EQ(r.exit_code, 2) << what;
        EXPECT_EQ(r.out, "") << what;
        EXPECT_NE(r.err.find("usage: zq_ident"), std::string::npos) << what;
    }
}

TEST(ZqIdentErrors, MissingFileIsOneLineOnStandardError) {
    TempDir dir;
    ProcessResult r = Ident({"nothing.here"}, dir.path());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    ASSERT_FALSE(r.err.empty());
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    EXPECT_NE(r.err.find("nothing.here"), std::string::npos);
}

TEST(ZqIdentErrors, DirectoryIsNotIdentified) {
    TempDir dir;
    ProcessResult r = Ident({dir.path()}, dir.path());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
}

TEST(ZqIdentErrors, UnreadableFileIsOneLineOnStandardError) {
    if (geteuid() == 0) GTEST_SKIP() << "permissions do not stop root";
    TempDir dir;
    WriteFile(dir.file("secret"), "x");
    ASSERT_EQ(chmod(dir.file("secret").c_str(), 0), 0);
    ProcessResult r = Ident({"secret"}, dir.path());
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
}

TEST(ZqIdentErrors, WrongArgumentsPrintTheUsage) {
    TempDir dir;
    WriteFile(dir.file("a"), "a");
    WriteFile(dir.file("b"), "b");
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string> >{{}, {"a", "b"}, {"--bogus", "a"}, {"--json"}}) {
        ProcessResult r = Ident(args, dir.path());
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("usage: zq_ident"), std::string::npos);
    }
    ProcessResult help = Ident({"--help"}, dir.path());
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_NE(help.out.find("usage: zq_ident"), std::string::npos);
    ProcessResult dashed = Ident({"--", "a"}, dir.path());
    EXPECT_EQ(dashed.exit_code, 0) << dashed.err;
}

}  // namespace
