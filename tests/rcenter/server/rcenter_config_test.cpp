// rcenter.conf as an operator writes it: defaults, every key, and values the
// server must refuse rather than quietly replace.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "files.h"
#include "rc_config.h"

namespace {

using zqtest::TempDir;
using zqtest::WriteFile;

struct Loaded {
    int result = 0;
    bool missing = false;
    std::vector<std::string> warnings;
    std::string error;
    rc_config_t config;
};

Loaded Load(const std::string& path) {
    Loaded l;
    l.result = rc_load_config(path, l.config, l.missing, l.warnings, l.error);
    return l;
}

Loaded LoadText(const TempDir& dir, const std::string& text) {
    WriteFile(dir.file("rcenter.conf"), text);
    return Load(dir.file("rcenter.conf"));
}

TEST(RcConfigDefaults, AMissingFileMeansEveryDefault) {
    TempDir dir;
    Loaded l = Load(dir.file("rcenter.conf"));
    EXPECT_EQ(l.result, 0);
    EXPECT_TRUE(l.missing);
    EXPECT_EQ(l.config.listen_ip, "127.0.0.1");
    EXPECT_EQ(l.config.listen_port, 0u);
    EXPECT_EQ(l.config.db_path, "./data/rcenter.db");
    EXPECT_EQ(l.config.err_log_path, "./log/rcenter_errlog");
    EXPECT_EQ(l.config.err_log_level, 4);
    EXPECT_EQ(l.config.stat_log_path, "./log/rcenter_statlog");
    EXPECT_EQ(l.config.stat_interval_ms, 60000u);
    EXPECT_EQ(l.config.inactive_timeout_ms, 10000u);
    EXPECT_EQ(l.config.max_fd_num, 1024u);
    EXPECT_EQ(l.config.shm_key, 0);
    EXPECT_EQ(l.config.shm_size, 64u * 1024 * 1024);
}

TEST(RcConfigDefaults, AnEmptyFileIsPresentAndKeepsTheDefaults) {
    TempDir dir;
    Loaded l = LoadText(dir, "# nothing set\n");
    EXPECT_EQ(l.result, 0);
    EXPECT_FALSE(l.missing);
    EXPECT_EQ(l.config.max_fd_num, 1024u);
    EXPECT_TRUE(l.warnings.empty());
}

TEST(RcConfigKeys, EveryKeyIsRead) {
    TempDir dir;
    Loaded l = LoadText(dir,
                        "listen_ip: 0.0.0.0\nlisten_port: 8123\ndb_path: /var/tmp/rc.db\n"
                        "err_log_path: e/err\nerr_log_level: 5\nrotate_file_size: 1000\nrotate_file_num: 3\n"
                        "stat_log_path: s/stat\nstat_interval_ms: 250\ninactive_timeout_ms: 0\nmax_fd_num: 100\n"
                        "shm_key: 0x5a5a0001\nshm_size: 0x100000\n");
    ASSERT_EQ(l.result, 0) << l.error;
    EXPECT_TRUE(l.warnings.empty());
    EXPECT_EQ(l.config.listen_ip, "0.0.0.0");
    EXPECT_EQ(l.config.listen_port, 8123u);
    EXPECT_EQ(l.config.db_path, "/var/tmp/rc.db");
    EXPECT_EQ(l.config.err_log_path, "e/err");
    EXPECT_EQ(l.config.err_log_level, 5);
    EXPECT_EQ(l.config.rotate_file_size, 1000u);
    EXPECT_EQ(l.config.rotate_file_num, 3u);
    EXPECT_EQ(l.config.stat_log_path, "s/stat");
    EXPECT_EQ(l.config.stat_interval_ms, 250u);
    EXPECT_EQ(l.config.inactive_timeout_ms, 0u);
    EXPECT_EQ(l.config.max_fd_num, 100u);
    EXPECT_EQ(l.config.shm_key, 0x5a5a0001);
    EXPECT_EQ(l.config.shm_size, 0x100000u);
}

TEST(RcConfigKeys, AKeyAboveTheSignedRangeIsTakenAsItsBits) {
    TempDir dir;
    Loaded l = LoadText(dir, "shm_key: 0xdeadbeef\n");
    ASSERT_EQ(l.result, 0) << l.error;
    EXPECT_EQ(static_cast<uint32>(l.config.shm_key), 0xdeadbeefu);
}

TEST(RcConfigKeys, AnUnknownKeyIsReportedNotFatal) {
    TempDir dir;
    Loaded l = LoadText(dir, "listen_prot: 80\n");
    EXPECT_EQ(l.result, 0);
    ASSERT_EQ(l.warnings.size(), 1u);
    EXPECT_NE(l.warnings[0].find("listen_prot"), std::string::npos);
    EXPECT_EQ(l.config.listen_port, 0u);
}

TEST(RcConfigKeys, TheJournalKeyOfEarlierVersionsPointsToTheStore) {
    TempDir dir;
    Loaded l = LoadText(dir, "journal_path: ./j.tsv\n");
    EXPECT_EQ(l.result, 0);
    ASSERT_EQ(l.warnings.size(), 1u);
    EXPECT_NE(l.warnings[0].find("db_path"), std::string::npos) << l.warnings[0];
}

struct BadValue {
    const char* text;
    const char* key;
};

class RcConfigBadValues : public ::testing::TestWithParam<BadValue> {};

TEST_P(RcConfigBadValues, AreRefusedNamingTheKey) {
    TempDir dir;
    Loaded l = LoadText(dir, GetParam().text);
    EXPECT_EQ(l.result, EINVAL);
    EXPECT_NE(l.error.find(GetParam().key), std::string::npos) << l.error;
}

INSTANTIATE_TEST_SUITE_P(
    Values, RcConfigBadValues,
    ::testing::Values(BadValue{"listen_port: 65536\n", "listen_port"}, BadValue{"listen_port: -1\n", "listen_port"},
                      BadValue{"listen_port: http\n", "listen_port"}, BadValue{"listen_ip: localhost\n", "listen_ip"},
                      BadValue{"listen_ip: 10.0.0.256\n", "listen_ip"}, BadValue{"max_fd_num: 2\n", "max_fd_num"},
                      BadValue{"shm_size: 1000\n", "shm_size"}, BadValue{"shm_size: 4294967296\n", "shm_size"},
                      BadValue{"err_log_level: 9\n", "err_log_level"},
                      BadValue{"stat_interval_ms: 0\n", "stat_interval_ms"},
                      BadValue{"inactive_timeout_ms: -5\n", "inactive_timeout_ms"},
                      BadValue{"http_listen_port: 70000\n", "http_listen_port"},
                      BadValue{"http_listen_ip: ::1\n", "http_listen_ip"},
                      BadValue{"sig_key: 00112233445566778899aabbccddeeff00\n", "sig_key"},
                      BadValue{"sig_key: 00112233445566778899aabbccddeefg\n", "sig_key"},
                      BadValue{"sig_window_s: 0\n", "sig_window_s"},
                      BadValue{"db_url: ./data/rcenter.db\n", "db_url"},
                      BadValue{"db_timeout_ms: 50\n", "db_timeout_ms"}));

TEST(RcConfigHttp, ABadSecretIsRefusedWithoutShowingIt) {
    TempDir dir;
    Loaded l = LoadText(dir, "sig_key: 5ec12e75ec12e75ec12e75ec12e75ec\n");
    EXPECT_EQ(l.result, EINVAL);
    EXPECT_EQ(l.error.find("5ec12e7"), std::string::npos) << l.error;
}

TEST(RcConfigStore, ADbUrlNamesTheStoreAndADbPathBesideItIsReportedUnused) {
    TempDir dir;
    Loaded l = LoadText(dir, "db_path: ./rc.db\ndb_url: host=/run/pg password='a b' dbname=rc\ndb_timeout_ms: 800\n");
    ASSERT_EQ(l.result, 0) << l.error;
    EXPECT_EQ(l.config.db_url, "host=/run/pg password='a b' dbname=rc");
    EXPECT_EQ(l.config.db_timeout_ms, 800u);
    ASSERT_EQ(l.warnings.size(), 1u);
    EXPECT_NE(l.warnings[0].find("db_path"), std::string::npos) << l.warnings[0];
    // A value that is no database address may still hold a password.
    l = LoadText(dir, "db_url: /srv/s3cret@db\n");
    EXPECT_EQ(l.result, EINVAL);
    EXPECT_EQ(l.error.find("s3cret"), std::string::npos) << l.error;
}

TEST(RcConfigStore, TheStoresAddressIsTheDbUrlElseAFileEvenOneNamedLikeKeyValues) {
    TempDir dir;
    Loaded l = LoadText(dir, "db_path: ./rc.db\ndb_url: host=/run/pg dbname=rc\ndb_timeout_ms: 800\n");
    ASSERT_EQ(l.result, 0) << l.error;
    rc_store_address_t where = rc_store_address(l.config);
    EXPECT_EQ(where.Address, "host=/run/pg dbname=rc");
    EXPECT_EQ(where.TimeoutMs, 800u);
    EXPECT_TRUE(rc_store_is_shared(where.Address));
    l = LoadText(dir, "db_path: a=b.db\n");
    ASSERT_EQ(l.result, 0) << l.error;
    where = rc_store_address(l.config);
    EXPECT_FALSE(rc_store_is_shared(where.Address)) << where.Address;
    EXPECT_EQ(where.Address, "./a=b.db");
}

TEST(RcConfigHttp, TheSecretMayComeFromAPrivateKeyFileAndFromOnePlaceOnly) {
    TempDir dir;
    const std::string file = dir.file("sig_key");
    WriteFile(file, "00112233445566778899aabbccddeeff\n");
    ASSERT_EQ(chmod(file.c_str(), 0640), 0);
    Loaded l = LoadText(dir, "sig_key_file: " + file + "\n");
    EXPECT_EQ(l.result, EINVAL);
    EXPECT_NE(l.error.find("readable by group or others"), std::string::npos) << l.error;
    ASSERT_EQ(chmod(file.c_str(), 0600), 0);
    l = LoadText(dir, "sig_key_file: " + file + "\n");
    ASSERT_EQ(l.result, 0) << l.error;
    EXPECT_TRUE(l.config.sig_key_set);
    EXPECT_EQ(l.config.sig_key[0], 0x00);
    EXPECT_EQ(l.config.sig_key[15], 0xff);
    l = LoadText(dir, "sig_key: 00112233445566778899aabbccddeeff\nsig_key_file: " + file + "\n");
    EXPECT_EQ(l.result, EINVAL);
    EXPECT_NE(l.error.find("sig_key_file"), std::string::npos) << l.error;
}

TEST(RcConfigPaths, ALogPathTooLongForTheLogIsRefused) {
    TempDir dir;
    Loaded l = LoadText(dir, "err_log_path: ./" + std::string(300, 'a') + "\n");
    EXPECT_EQ(l.result, EINVAL);
    EXPECT_NE(l.error.find("err_log_path"), std::string::npos);
}

TEST(RcConfigPaths, AnUnreadableFileIsAnError) {
    TempDir dir;
    // A directory exists under the name but cannot be read as a file.
    Loaded l = Load(dir.path());
    EXPECT_EQ(l.result, EINVAL);
    EXPECT_FALSE(l.missing);
}

}  // namespace
