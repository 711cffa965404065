// The library's settings store: its own file, no start delay, no destroy and no log path.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <type_traits>
#include <utility>

#include "SettingLibDatas.h"
#include "TestSupport.h"

using testsupport::WriteFile;
using veldwlib::data::SettingLibDatas;

namespace {

template <typename T, typename = void>
struct HasDestroy : std::false_type {};
template <typename T>
struct HasDestroy<T, std::void_t<decltype(T::destroy())>> : std::true_type {};

template <typename T, typename = void>
struct HasLogFilePath : std::false_type {};
template <typename T>
struct HasLogFilePath<T, std::void_t<decltype(std::declval<const T&>().getLogFilePath())>>
    : std::true_type {};

static_assert(!HasDestroy<SettingLibDatas>::value, "the library never destroys its store");
static_assert(!HasLogFilePath<SettingLibDatas>::value, "the library has no log file");

}  // namespace

// The singleton lives until the process ends, so everything about it is one test.
TEST(SettingLibDatas, ReadsDwlibConfOnceAndKnowsNoStartDelay) {
    ASSERT_TRUE(WriteFile(testsupport::kDaemonConf,
                          R"({"order_conn": {"port": 10030}, "start_wait_interval": 1})"));
    ASSERT_TRUE(WriteFile(testsupport::kLibConf, R"({
        "order_conn": {"server": "127.0.0.1", "port": 10031, "res_wait_timeout": 2500.9},
        "log": {"log_dir": "/var/local/vellog", "log_file": "lib.log"},
        "line": [{"device": "/dev/ttyS1", "de_line": "rts", "baudrate": 3, "max_machine": 15},
                 {"device": "/dev/ttyS2", "de_line": "rts", "baudrate": 3}],
        "shared_indata_num": 2, "shared_key_dir": "/var/local/velkey",
        "shared": [{"ipc_key": ["a", "b"], "sh_id": [1, 2], "shmem_size": [10, 20],
                    "sem_key": ["c", "d"]}],
        "start_wait_interval": 5000
    })"));

    EXPECT_EQ(SettingLibDatas::get_instance(), nullptr);
    testing::internal::CaptureStderr();
    SettingLibDatas::create();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    SettingLibDatas* sd = SettingLibDatas::get_instance();
    ASSERT_NE(sd, nullptr);
    EXPECT_EQ(sd->conf_file, "/usr/local/etc/vellib/dwlib.conf");
    EXPECT_EQ(sd->getConfStr(sd->key_server), "127.0.0.1");
    EXPECT_EQ(sd->getConfInt(sd->key_port), 10031);
    EXPECT_EQ(sd->getConfInt(sd->key_res_wait_timeout), 2500);
    EXPECT_EQ(sd->getConfInt(sd->key_conenct_timeout), 1000);
    EXPECT_EQ(sd->getConfStr(sd->key_log_file), "lib.log");
    EXPECT_EQ(sd->getConfLineNum(), 1);
    EXPECT_EQ(sd->getConfShmemGrpNum(), 1);
    EXPECT_EQ(sd->getConfShmemInt(0, sd->key_shmem_size, 1), 20);
    // The key name exists, but the library neither reads nor knows the start delay.
    EXPECT_EQ(sd->key_start_wait_interval, "start_wait_interval");
    EXPECT_EQ(sd->getConfInt(sd->key_start_wait_interval), INT32_MIN);

    // A second create keeps the store that exists.
    ASSERT_TRUE(WriteFile(testsupport::kLibConf, R"({"order_conn": {"port": 10032}})"));
    SettingLibDatas::create();
    EXPECT_EQ(SettingLibDatas::get_instance(), sd);
    EXPECT_EQ(sd->getConfInt(sd->key_port), 10031);

    // Reading again reports a missing file under the library's own name.
    ::unlink(testsupport::kLibConf);
    testing::internal::CaptureStderr();
    EXPECT_EQ(sd->loadSettingFile(), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "failed to read setting file : /usr/local/etc/vellib/dwlib.conf\n");
    EXPECT_EQ(sd->getConfInt(sd->key_port), 10031);
    ::unlink(testsupport::kDaemonConf);
}
