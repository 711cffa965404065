// The settings store as the daemon builds it: type rules, dropped and renumbered lines, group
// item bounds, and files that are broken or built to hurt the reader.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <memory>
#include <string>

#include "SettingDatas.h"
#include "SettingStore.h"
#include "TestSupport.h"

using testsupport::WriteFile;
using vel::settings::SettingStore;
using veldw485::data::SettingDatas;

namespace {

constexpr char kScratchConf[] = "/var/local/sandbox/settings_test.conf";

struct Loaded {
    std::unique_ptr<SettingStore> store;
    std::string err;  // what the reader wrote to standard error
};

Loaded LoadFrom(const std::string& path, bool daemon_build = true) {
    testing::internal::CaptureStderr();
    Loaded loaded;
    loaded.store = std::make_unique<SettingStore>(path, daemon_build);
    loaded.err = testing::internal::GetCapturedStderr();
    return loaded;
}

Loaded Load(const std::string& text, bool daemon_build = true) {
    EXPECT_TRUE(WriteFile(kScratchConf, text));
    return LoadFrom(kScratchConf, daemon_build);
}

void ExpectAllDefaults(const SettingStore& s) {
    EXPECT_EQ(s.getConfStr(s.key_server), "localhost");
    EXPECT_EQ(s.getConfInt(s.key_port), 10001);
    EXPECT_EQ(s.getConfInt(s.key_conenct_timeout), 1000);
    EXPECT_EQ(s.getConfInt(s.key_res_wait_timeout), 1000);
    EXPECT_EQ(s.getConfStr(s.key_log_dir), "/var/local/vellog");
    EXPECT_EQ(s.getConfStr(s.key_log_file), "dwmid.log");
    EXPECT_EQ(s.getConfInt(s.key_log_max_bytes), 100000);
    EXPECT_EQ(s.getConfInt(s.key_log_counts), 5);
    EXPECT_EQ(s.getConfLineNum(), 0);
    EXPECT_EQ(s.getConfShmemGrpNum(), 0);
    EXPECT_EQ(s.getConfShmemInGrpNum(), 0);
    EXPECT_EQ(s.getConfStr(s.key_shared_key_dir), "");
    EXPECT_EQ(s.getConfInt(s.key_start_wait_interval), 10000);
}

// A nesting of depth arrays around a number, e.g. depth 2: [[1]].
std::string NestedArrays(int depth) {
    return std::string(static_cast<std::size_t>(depth), '[') + "1" +
           std::string(static_cast<std::size_t>(depth), ']');
}

// A nesting of depth objects, e.g. depth 2: {"a":{"a":1}}.
std::string NestedObjects(int depth) {
    std::string text;
    for (int i = 1; i < depth; ++i) {
        text += "{\"a\":";
    }
    text += "{\"a\":1}";
    text += std::string(static_cast<std::size_t>(depth - 1), '}');
    return text;
}

}  // namespace

// ---- keys, defaults and type rules ----

TEST(SettingsTypes, EmptySectionsGiveAllDefaults) {
    const Loaded l = Load(R"({"order_conn": {}, "log": {}})");
    EXPECT_EQ(l.err, "");
    ExpectAllDefaults(*l.store);
}

TEST(SettingsTypes, EveryKeyIsRead) {
    const Loaded l = Load(R"({
        "order_conn": {"server": "ctl-host", "port": 10002, "conenct_timeout": 250,
                       "res_wait_timeout": 1500},
        "log": {"log_dir": "/tmp/l", "log_file": "x.log", "log_max_bytes": 4096,
                "log_counts": 2},
        "line": [{"device": "/dev/ttyS1", "de_line": "rts", "baudrate": 5, "max_machine": 4}],
        "shared_indata_num": 2,
        "shared_key_dir": "/var/local/velkey",
        "shared": [{"ipc_key": ["a", "b"], "sh_id": [7, 8], "shmem_size": [1024, 64],
                    "sem_key": ["c", "d"]}],
        "start_wait_interval": 3000,
        "unknown": {"ignored": true}
    })");
    const SettingStore& s = *l.store;
    EXPECT_EQ(l.err, "");
    EXPECT_EQ(s.getConfStr(s.key_server), "ctl-host");
    EXPECT_EQ(s.getConfInt(s.key_port), 10002);
    EXPECT_EQ(s.getConfInt(s.key_conenct_timeout), 250);
    EXPECT_EQ(s.getConfInt(s.key_res_wait_timeout), 1500);
    EXPECT_EQ(s.getConfStr(s.key_log_dir), "/tmp/l");
    EXPECT_EQ(s.getConfStr(s.key_log_file), "x.log");
    EXPECT_EQ(s.getConfInt(s.key_log_max_bytes), 4096);
    EXPECT_EQ(s.getConfInt(s.key_log_counts), 2);
    ASSERT_EQ(s.getConfLineNum(), 1);
    EXPECT_EQ(s.getConfLineStr(0, s.key_device), "/dev/ttyS1");
    EXPECT_EQ(s.getConfLineStr(0, s.key_de_line), "rts");
    EXPECT_EQ(s.getConfLineInt(0, s.key_baudrate), 5);
    EXPECT_EQ(s.getConfLineInt(0, s.key_max_machine), 4);
    EXPECT_EQ(s.getConfShmemInGrpNum(), 2);
    EXPECT_EQ(s.getConfStr(s.key_shared_key_dir), "/var/local/velkey");
    ASSERT_EQ(s.getConfShmemGrpNum(), 1);
    EXPECT_EQ(s.getConfShmemStr(0, s.key_ipc_key, 1), "b");
    EXPECT_EQ(s.getConfShmemInt(0, s.key_sh_id, 0), 7);
    EXPECT_EQ(s.getConfShmemInt(0, s.key_shmem_size, 1), 64);
    EXPECT_EQ(s.getConfShmemStr(0, s.key_sem_key, 0), "c");
    EXPECT_EQ(s.getConfInt(s.key_start_wait_interval), 3000);
}

TEST(SettingsTypes, WrongTypesKeepTheirDefaults) {
    const Loaded l = Load(R"({
        "order_conn": {"server": 17, "port": "10002", "conenct_timeout": null,
                       "res_wait_timeout": [5]},
        "log": {"log_dir": 5, "log_file": {}, "log_max_bytes": true, "log_counts": "3"},
        "shared_indata_num": "3",
        "shared_key_dir": 12,
        "line": {"device": "/dev/ttyS1"},
        "shared": "none",
        "start_wait_interval": "0"
    })");
    EXPECT_EQ(l.err, "");
    ExpectAllDefaults(*l.store);
}

TEST(SettingsTypes, NumbersAreTruncatedTowardZero) {
    const Loaded l = Load(R"({
        "order_conn": {"conenct_timeout": 2500.7, "res_wait_timeout": -1.9, "port": 1.9e4},
        "log": {"log_max_bytes": 0.99, "log_counts": -0.5},
        "start_wait_interval": 1999.999
    })");
    const SettingStore& s = *l.store;
    EXPECT_EQ(s.getConfInt(s.key_conenct_timeout), 2500);
    EXPECT_EQ(s.getConfInt(s.key_res_wait_timeout), -1);
    EXPECT_EQ(s.getConfInt(s.key_port), 19000);
    EXPECT_EQ(s.getConfInt(s.key_log_max_bytes), 0);
    EXPECT_EQ(s.getConfInt(s.key_log_counts), 0);
    EXPECT_EQ(s.getConfInt(s.key_start_wait_interval), 1999);
}

TEST(SettingsTypes, AccessorsAnswerOnlyTheirOwnKeys) {
    const Loaded l = Load(R"({"order_conn": {}, "log": {},
        "line": [{"device": "/dev/ttyS1", "de_line": "rts", "baudrate": 5, "max_machine": 4}],
        "shared_indata_num": 2,
        "shared": [{"ipc_key": ["a"], "sh_id": [7], "shmem_size": [9], "sem_key": ["c"]}]})");
    const SettingStore& s = *l.store;
    EXPECT_EQ(s.getConfInt(s.key_log_dir), INT32_MIN);
    EXPECT_EQ(s.getConfStr(s.key_port), "");
    EXPECT_EQ(s.getConfInt(s.key_order_conn), INT32_MIN);
    EXPECT_EQ(s.getConfInt("PORT"), INT32_MIN);
    EXPECT_EQ(s.getConfInt(s.key_shared_indata_num), INT32_MIN);
    EXPECT_EQ(s.getConfStr(s.key_shared), "");
    EXPECT_EQ(s.getConfLineStr(0, s.key_baudrate), "");
    EXPECT_EQ(s.getConfLineInt(0, s.key_device), INT32_MIN);
    EXPECT_EQ(s.getConfShmemStr(0, s.key_sh_id, 0), "");
    EXPECT_EQ(s.getConfShmemInt(0, s.key_ipc_key, 0), INT32_MIN);
    // The store itself spells the connect time-out key as the file does.
    EXPECT_EQ(s.key_conenct_timeout, "conenct_timeout");
    EXPECT_EQ(s.getConfInt("connect_timeout"), INT32_MIN);
}

TEST(SettingsTypes, TraceTakesItsThreeValuesAndDefaultsToStdout) {
    EXPECT_EQ(Load(R"({"trace": "off"})").store->getConfStr("trace"), "off");
    EXPECT_EQ(Load(R"({"trace": "stderr"})").store->getConfStr("trace"), "stderr");
    EXPECT_EQ(Load(R"({"trace": 0})").store->getConfStr("trace"), "stdout");
    const Loaded unknown = Load(R"({"trace": "OFF"})");
    EXPECT_EQ(unknown.store->getConfStr("trace"), "stdout");
    EXPECT_NE(unknown.err.find("unknown trace setting : \"OFF\" (stdout used)"), std::string::npos)
        << unknown.err;
}

// ---- lines ----

TEST(SettingsLines, IncompleteEntriesAreDroppedAndLaterOnesMoveUp) {
    const Loaded l = Load(R"({"order_conn": {}, "log": {}, "line": [
        {"device": "/dev/ttyS0", "de_line": "rts", "baudrate": 3},
        {"device": "/dev/ttyS1", "de_line": "gpio", "baudrate": 4, "max_machine": 15},
        {"device": "/dev/ttyS2", "de_line": "rts", "baudrate": -2147483648, "max_machine": 3},
        {"device": "", "de_line": "rts", "baudrate": 1, "max_machine": 3},
        {"device": "/dev/ttyS4", "de_line": 1, "baudrate": 1, "max_machine": 3},
        {"device": "/dev/ttyS5", "de_line": "rts", "baudrate": "1", "max_machine": 3},
        {"device": "/dev/ttyS6", "de_line": "rts", "baudrate": 2.9, "max_machine": -1.5}
    ]})");
    const SettingStore& s = *l.store;
    EXPECT_EQ(l.err, "");  // dropped without a message
    ASSERT_EQ(s.getConfLineNum(), 2);
    EXPECT_EQ(s.getConfLineStr(0, s.key_device), "/dev/ttyS1");
    EXPECT_EQ(s.getConfLineStr(0, s.key_de_line), "gpio");
    EXPECT_EQ(s.getConfLineInt(0, s.key_baudrate), 4);
    EXPECT_EQ(s.getConfLineInt(0, s.key_max_machine), 15);
    EXPECT_EQ(s.getConfLineStr(1, s.key_device), "/dev/ttyS6");
    EXPECT_EQ(s.getConfLineInt(1, s.key_baudrate), 2);
    EXPECT_EQ(s.getConfLineInt(1, s.key_max_machine), -1);
    EXPECT_EQ(s.getConfLineStr(2, s.key_device), "");
    EXPECT_EQ(s.getConfLineInt(2, s.key_baudrate), INT32_MIN);
    EXPECT_EQ(s.getConfLineStr(INT32_MAX, s.key_device), "");
}

TEST(SettingsLines, NonObjectElementsAreDropped) {
    const Loaded l = Load(R"({"order_conn": {}, "log": {}, "line": [
        1, "line", null, true, [],
        [{"device": "/dev/ttyS9", "de_line": "rts", "baudrate": 1, "max_machine": 1}],
        {"device": "/dev/ttyS1", "de_line": "rts", "baudrate": 1, "max_machine": 2}
    ]})");
    const SettingStore& s = *l.store;
    EXPECT_EQ(l.err, "");
    ASSERT_EQ(s.getConfLineNum(), 1);
    EXPECT_EQ(s.getConfLineStr(0, s.key_device), "/dev/ttyS1");
    EXPECT_EQ(s.getConfLineInt(0, s.key_max_machine), 2);
}

// ---- shared memory groups ----

TEST(SettingsGroups, ItemsAreBoundedByIndataNumAndListLength) {
    const Loaded l = Load(R"({"order_conn": {}, "log": {}, "shared_indata_num": 3, "shared": [
        {"ipc_key": ["k0", "k1", "k2"], "sh_id": [1, 2, 3], "shmem_size": [10, 20],
         "sem_key": ["s0"]},
        {"ipc_key": ["m0", "m1", "m2", "m3"], "sh_id": [4, 5, 6, 7], "shmem_size": [],
         "sem_key": ["t0", "t1", "t2", "t3"]}
    ]})");
    const SettingStore& s = *l.store;
    ASSERT_EQ(s.getConfShmemGrpNum(), 2);
    EXPECT_EQ(s.getConfShmemInGrpNum(), 3);
    EXPECT_EQ(s.getConfShmemStr(1, s.key_ipc_key, 2), "m2");
    EXPECT_EQ(s.getConfShmemStr(1, s.key_ipc_key, 3), "");  // beyond shared_indata_num
    EXPECT_EQ(s.getConfShmemInt(1, s.key_sh_id, 3), INT32_MIN);
    EXPECT_EQ(s.getConfShmemInt(2, s.key_sh_id, 0), INT32_MIN);  // no group 2
    EXPECT_EQ(s.getConfShmemStr(2, s.key_ipc_key, 0), "");
    EXPECT_EQ(s.getConfShmemInt(0, s.key_shmem_size, 1), 20);
    EXPECT_EQ(s.getConfShmemInt(0, s.key_shmem_size, 2), INT32_MIN);  // beyond the list
    EXPECT_EQ(s.getConfShmemStr(0, s.key_sem_key, 1), "");
    EXPECT_EQ(s.getConfShmemInt(1, s.key_shmem_size, 0), INT32_MIN);
    EXPECT_EQ(s.getConfShmemStr(0, s.key_ipc_key, -1), "");
    EXPECT_EQ(s.getConfShmemInt(-1, s.key_sh_id, 0), INT32_MIN);
}

TEST(SettingsGroups, ElementsOfOtherTypesAreSkippedInFileOrder) {
    const Loaded l = Load(R"({"order_conn": {}, "log": {}, "shared_indata_num": 3, "shared": [
        {"ipc_key": [1, "a", null, "b"], "sh_id": ["x", 5, 6.7, 4294967296],
         "shmem_size": 100, "sem_key": [["s"], "c"]}
    ]})");
    const SettingStore& s = *l.store;
    ASSERT_EQ(s.getConfShmemGrpNum(), 1);
    EXPECT_EQ(s.getConfShmemStr(0, s.key_ipc_key, 0), "a");
    EXPECT_EQ(s.getConfShmemStr(0, s.key_ipc_key, 1), "b");
    EXPECT_EQ(s.getConfShmemStr(0, s.key_ipc_key, 2), "");
    EXPECT_EQ(s.getConfShmemInt(0, s.key_sh_id, 0), 5);
    EXPECT_EQ(s.getConfShmemInt(0, s.key_sh_id, 1), 6);
    EXPECT_EQ(s.getConfShmemInt(0, s.key_sh_id, 2), INT32_MIN);
    EXPECT_EQ(s.getConfShmemInt(0, s.key_shmem_size, 0), INT32_MIN);
    EXPECT_EQ(s.getConfShmemStr(0, s.key_sem_key, 0), "c");
}

TEST(SettingsGroups, NoItemsWithoutIndataNum) {
    const Loaded l = Load(R"({"order_conn": {}, "log": {}, "shared": [
        {"ipc_key": ["a"], "sh_id": [1], "shmem_size": [2], "sem_key": ["b"]}]})");
    const SettingStore& s = *l.store;
    EXPECT_EQ(s.getConfShmemGrpNum(), 1);
    EXPECT_EQ(s.getConfShmemStr(0, s.key_ipc_key, 0), "");
    EXPECT_EQ(s.getConfShmemInt(0, s.key_sh_id, 0), INT32_MIN);
}

TEST(SettingsGroups, NonObjectGroupsStayAsEmptyGroups) {
    const Loaded l = Load(R"({"order_conn": {}, "log": {}, "shared_indata_num": 2, "shared": [
        "first", {}, [1, 2],
        {"ipc_key": ["a", "b"], "sh_id": [1, 2], "shmem_size": [3, 4], "sem_key": ["c", "d"]}
    ]})");
    const SettingStore& s = *l.store;
    EXPECT_EQ(l.err, "");
    ASSERT_EQ(s.getConfShmemGrpNum(), 4);
    for (int g = 0; g < 3; ++g) {
        EXPECT_EQ(s.getConfShmemStr(g, s.key_ipc_key, 0), "") << g;
        EXPECT_EQ(s.getConfShmemInt(g, s.key_sh_id, 0), INT32_MIN) << g;
    }
    EXPECT_EQ(s.getConfShmemStr(3, s.key_ipc_key, 1), "b");
    EXPECT_EQ(s.getConfShmemInt(3, s.key_shmem_size, 1), 4);
}

// ---- numbers outside the 32-bit range ----

TEST(SettingsRange, BoundariesOfTheSigned32BitRange) {
    const Loaded l = Load(R"({"order_conn": {"port": 2147483647, "conenct_timeout": -2147483648,
                                             "res_wait_timeout": 2147483647.9},
                              "log": {"log_max_bytes": -2147483648.9, "log_counts": 7},
                              "start_wait_interval": -2147483647})");
    const SettingStore& s = *l.store;
    EXPECT_EQ(s.getConfInt(s.key_port), INT32_MAX);
    EXPECT_EQ(s.getConfInt(s.key_conenct_timeout), INT32_MIN);
    EXPECT_EQ(s.getConfInt(s.key_res_wait_timeout), INT32_MAX);
    EXPECT_EQ(s.getConfInt(s.key_log_max_bytes), INT32_MIN);
    EXPECT_EQ(s.getConfInt(s.key_log_counts), 7);
    EXPECT_EQ(s.getConfInt(s.key_start_wait_interval), -2147483647);
}

TEST(SettingsRange, OutOfRangeNumbersAreTreatedAsAbsent) {
    const Loaded l = Load(R"({"order_conn": {"port": 2147483648, "conenct_timeout": -2147483649,
                                             "res_wait_timeout": 1e300},
                              "log": {"log_max_bytes": 4294967296, "log_counts": -1e300},
                              "shared_indata_num": 1e10,
                              "start_wait_interval": 9999999999999,
                              "line": [{"device": "/dev/ttyS1", "de_line": "rts",
                                        "baudrate": 4294967299, "max_machine": 3}]})");
    EXPECT_EQ(l.err, "");
    ExpectAllDefaults(*l.store);
}

TEST(SettingsRange, NumbersBeyondDoubleDoNotStopTheReader) {
    // Such numbers overflow to infinity while parsing; they read as absent like any other
    // number outside the range, and the rest of the file is still taken.
    const Loaded l = Load(R"({"order_conn": {"port": 1e999, "conenct_timeout": 300},
                              "log": {"log_counts": -1E400, "log_max_bytes": 5000},
                              "shared_indata_num": 2,
                              "shared": [{"sh_id": [1e999, 3, -1e999]}],
                              "start_wait_interval": 1e99999})");
    const SettingStore& s = *l.store;
    EXPECT_EQ(l.err, "");
    EXPECT_EQ(s.getConfInt(s.key_port), 10001);
    EXPECT_EQ(s.getConfInt(s.key_conenct_timeout), 300);
    EXPECT_EQ(s.getConfInt(s.key_log_counts), 5);
    EXPECT_EQ(s.getConfInt(s.key_log_max_bytes), 5000);
    EXPECT_EQ(s.getConfShmemInt(0, s.key_sh_id, 0), 3);
    EXPECT_EQ(s.getConfShmemInt(0, s.key_sh_id, 1), INT32_MIN);
    EXPECT_EQ(s.getConfInt(s.key_start_wait_interval), 10000);
}

// ---- broken and hostile files ----

TEST(SettingsBroken, MissingFileIsReportedAndDefaultsKept) {
    const std::string path = "/var/local/sandbox/no-such-dir/dwmid.conf";
    Loaded l = LoadFrom(path);
    EXPECT_EQ(l.err, "failed to read setting file : " + path + "\n");
    ExpectAllDefaults(*l.store);
    testing::internal::CaptureStderr();
    EXPECT_EQ(l.store->loadSettingFile(), 1);
    (void)testing::internal::GetCapturedStderr();
}

TEST(SettingsBroken, DirectoryInsteadOfFileIsUnreadable) {
    const std::string path = "/var/local/sandbox/conf-dir";
    ::mkdir(path.c_str(), 0755);
    Loaded l = LoadFrom(path);
    EXPECT_NE(l.err.find("failed to read setting file : " + path), std::string::npos) << l.err;
    ExpectAllDefaults(*l.store);
}

TEST(SettingsBroken, SyntaxErrorTakesNothingAndShowsTheParserMessage) {
    Loaded l = Load(
        "{\"order_conn\": {\"port\": 10002},\n"
        " \"line\": [{\"device\": \"/dev/ttyS1\", \"de_line\": \"rts\", "
        "\"baudrate\": 1, \"max_machine\": 1}],\n"
        " \"log\": {\"log_dir\": oops, \"log_file\": \"x\"}\n}\n");
    EXPECT_EQ(l.err.rfind("syntax error at line 3 near: ", 0), 0U) << l.err;
    EXPECT_NE(l.err.find("oops, \"log_file\": \"x\"}"), std::string::npos) << l.err;
    EXPECT_EQ(l.err.back(), '\n');
    ExpectAllDefaults(*l.store);
    testing::internal::CaptureStderr();
    EXPECT_EQ(l.store->loadSettingFile(), 2);
    (void)testing::internal::GetCapturedStderr();
    ExpectAllDefaults(*l.store);
}

TEST(SettingsBroken, EmptyFileIsASyntaxError) {
    const Loaded l = Load("");
    EXPECT_EQ(l.err.rfind("syntax error at line 1 near: ", 0), 0U) << l.err;
    ExpectAllDefaults(*l.store);
}

TEST(SettingsBroken, TopLevelThatIsNotAnObjectKeepsAllDefaults) {
    for (const char* text :
         {"[{\"order_conn\": {\"port\": 10002}}]", "10002", "\"order_conn\"", "null", "true"}) {
        const Loaded l = Load(text);
        EXPECT_NE(l.err.find("failed to read setting file : " + std::string(kScratchConf)),
                  std::string::npos)
            << text << ": " << l.err;
        ExpectAllDefaults(*l.store);
        testing::internal::CaptureStderr();
        EXPECT_EQ(l.store->loadSettingFile(), 2) << text;
        (void)testing::internal::GetCapturedStderr();
    }
}

TEST(SettingsBroken, SectionsThatAreNotObjectsKeepTheirDefaults) {
    {
        const Loaded l = Load(R"({"order_conn": [10002], "log": {"log_file": "a.log"},
                                  "shared_indata_num": 2})");
        const SettingStore& s = *l.store;
        EXPECT_EQ(l.err, "");
        EXPECT_EQ(s.getConfInt(s.key_port), 10001);
        EXPECT_EQ(s.getConfStr(s.key_server), "localhost");
        EXPECT_EQ(s.getConfStr(s.key_log_file), "a.log");
        EXPECT_EQ(s.getConfShmemInGrpNum(), 2);
    }
    {
        const Loaded l = Load(R"({"order_conn": {"port": 10005}, "log": "/tmp",
                                  "start_wait_interval": 0})");
        const SettingStore& s = *l.store;
        EXPECT_EQ(s.getConfInt(s.key_port), 10005);
        EXPECT_EQ(s.getConfStr(s.key_log_dir), "/var/local/vellog");
        EXPECT_EQ(s.getConfInt(s.key_log_counts), 5);
        EXPECT_EQ(s.getConfInt(s.key_start_wait_interval), 0);
    }
    {
        // Both sections missing altogether.
        const Loaded l = Load(R"({"shared_key_dir": "/k"})");
        EXPECT_EQ(l.store->getConfStr(l.store->key_shared_key_dir), "/k");
        EXPECT_EQ(l.store->getConfInt(l.store->key_port), 10001);
    }
}

TEST(SettingsBroken, FilesOverOneMebibyteAreRefused) {
    const std::string body = R"({"order_conn": {"port": 10002}, "log": {}})";
    // Exactly the limit is still read.
    Loaded l = Load(body + std::string(SettingStore::kMaxFileSize - body.size(), ' '));
    EXPECT_EQ(l.err, "");
    EXPECT_EQ(l.store->getConfInt(l.store->key_port), 10002);

    l = Load(body + std::string(SettingStore::kMaxFileSize - body.size() + 1, ' '));
    EXPECT_EQ(l.err.rfind("failed to read setting file : " + std::string(kScratchConf), 0), 0U)
        << l.err;
    ExpectAllDefaults(*l.store);

    l = Load(body + std::string(8 * SettingStore::kMaxFileSize, '\n'));
    EXPECT_NE(l.err.find("failed to read setting file"), std::string::npos);
    ExpectAllDefaults(*l.store);
}

TEST(SettingsBroken, DeepNestingIsASyntaxError) {
    const int limit = SettingStore::kMaxNesting;
    // The top-level object is one level; the deepest value still allowed sits below it.
    Loaded l = Load(R"({"order_conn": {"port": 10002}, "x": )" + NestedArrays(limit - 1) + "}");
    EXPECT_EQ(l.err, "");
    EXPECT_EQ(l.store->getConfInt(l.store->key_port), 10002);
    l = Load(R"({"order_conn": {"port": 10002}, "x": )" + NestedObjects(limit - 1) + "}");
    EXPECT_EQ(l.err, "");
    EXPECT_EQ(l.store->getConfInt(l.store->key_port), 10002);

    for (const std::string& deep :
         {NestedArrays(limit), NestedObjects(limit), NestedArrays(200000), NestedObjects(150000)}) {
        l = Load(R"({"order_conn": {"port": 10002}, "x": )" + deep + "}");
        EXPECT_EQ(l.err.rfind("syntax error at line 1 near: ", 0), 0U) << l.err.substr(0, 80);
        ExpectAllDefaults(*l.store);
    }
}

TEST(SettingsBroken, BracketsInsideStringsAreText) {
    const std::string deep(1000, '[');
    const Loaded l = Load(R"({"order_conn": {"server": ")" + deep + R"("}, "log": {}})");
    EXPECT_EQ(l.err, "");
    EXPECT_EQ(l.store->getConfStr(l.store->key_server), deep);
}

TEST(SettingsBroken, LibraryBuildIgnoresTheStartDelay) {
    const Loaded l = Load(R"({"order_conn": {}, "log": {}, "start_wait_interval": 3000})", false);
    EXPECT_EQ(l.store->getConfInt(l.store->key_start_wait_interval), INT32_MIN);
    EXPECT_EQ(l.store->key_start_wait_interval, "start_wait_interval");
}

// ---- the daemon's singleton ----

class SettingDatasTest : public testing::Test {
  protected:
    void SetUp() override {
        SettingDatas::destroy();
        ::unlink(testsupport::kDaemonConf);
    }
    void TearDown() override {
        SettingDatas::destroy();
        ::unlink(testsupport::kDaemonConf);
    }
    static void CreateQuietly() {
        testing::internal::CaptureStderr();
        SettingDatas::create();
        (void)testing::internal::GetCapturedStderr();
    }
};

TEST_F(SettingDatasTest, CreateReadsTheDaemonFileOnce) {
    EXPECT_EQ(SettingDatas::get_instance(), nullptr);
    ASSERT_TRUE(WriteFile(testsupport::kDaemonConf,
                          R"({"order_conn": {"port": 10010}, "log": {"log_dir": "/var/x/"},
                              "start_wait_interval": 5000})"));
    CreateQuietly();
    SettingDatas* sd = SettingDatas::get_instance();
    ASSERT_NE(sd, nullptr);
    EXPECT_EQ(sd->conf_file, "/usr/local/etc/vellib/dwmid.conf");
    EXPECT_EQ(sd->getConfInt(sd->key_port), 10010);
    EXPECT_EQ(sd->getConfInt(sd->key_start_wait_interval), 5000);
    // No processing of the path: a trailing slash gives a doubled one.
    EXPECT_EQ(sd->getLogFilePath(), "/var/x//dwmid.log");

    ASSERT_TRUE(WriteFile(testsupport::kDaemonConf, R"({"order_conn": {"port": 10011}})"));
    CreateQuietly();
    EXPECT_EQ(SettingDatas::get_instance(), sd);
    EXPECT_EQ(sd->getConfInt(sd->key_port), 10010);

    SettingDatas::destroy();
    EXPECT_EQ(SettingDatas::get_instance(), nullptr);
    SettingDatas::destroy();  // a second destroy is harmless
    CreateQuietly();
    // sd went with the destroyed instance; only the new one may be used.
    sd = SettingDatas::get_instance();
    ASSERT_NE(sd, nullptr);
    EXPECT_EQ(sd->getConfInt(sd->key_port), 10011);
}

TEST_F(SettingDatasTest, MissingDaemonFileGivesDefaults) {
    testing::internal::CaptureStderr();
    SettingDatas::create();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "failed to read setting file : /usr/local/etc/vellib/dwmid.conf\n");
    SettingDatas* sd = SettingDatas::get_instance();
    ASSERT_NE(sd, nullptr);
    ExpectAllDefaults(*sd);
    EXPECT_EQ(sd->getLogFilePath(), "/var/local/vellog/dwmid.log");
}

TEST_F(SettingDatasTest, DaemonReadsItsOwnFileOnly) {
    ASSERT_TRUE(WriteFile(testsupport::kLibConf, R"({"order_conn": {"port": 10020}})"));
    ASSERT_TRUE(WriteFile(testsupport::kDaemonConf, R"({"order_conn": {"port": 10021}})"));
    CreateQuietly();
    EXPECT_EQ(SettingDatas::get_instance()->getConfInt("port"), 10021);
    ::unlink(testsupport::kLibConf);
}
