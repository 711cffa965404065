// The client attachment against segments created here with the daemon's layout.
#include <gtest/gtest.h>

#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Emulation.h"
#include "LibFakes.h"
#include "SettingLibDatas.h"
#include "SharedMemCli.h"
#include "TextUtil.h"

using testsupport::TestShmGroup;
using veldwlib::data::SettingLibDatas;
using veldwlib::shmem::SharedMemCli;

namespace {

testsupport::ConfigPlan TestPlan() {
    testsupport::ConfigPlan plan;
    plan.lines = {{"/dev/null"}, {"/dev/null"}, {"/dev/null"}};
    plan.indata_num = 3;
    return plan;
}

class ConfigEnv : public ::testing::Environment {
  public:
    void SetUp() override {
        ASSERT_TRUE(testsupport::InstallConfig(TestPlan()));
        SettingLibDatas::create();
    }
};
::testing::Environment* const g_env = ::testing::AddGlobalTestEnvironment(new ConfigEnv);

int Attachments(int shm_id) {
    shmid_ds ds{};
    return shmctl(shm_id, IPC_STAT, &ds) == 0 ? static_cast<int>(ds.shm_nattch) : -1;
}

class SharedMemCliTest : public ::testing::Test {
  protected:
    SharedMemCli cli_{SettingLibDatas::get_instance()};
};

TEST_F(SharedMemCliTest, NothingHappensWithoutAGroupNumber) {
    EXPECT_EQ(cli_.GetShmemNo(), -1);
    EXPECT_EQ(cli_.Attatch(), -1);
    EXPECT_EQ(cli_.Detatch(), -1);
    EXPECT_EQ(cli_.Destroy(), -1);
    EXPECT_FALSE(cli_.IsAttached());
    EXPECT_EQ(cli_.GetShmemAddr(0), nullptr);
    EXPECT_EQ(cli_.MutexLock(0), -1);
    EXPECT_EQ(cli_.SemUnlock(1), -1);
}

TEST_F(SharedMemCliTest, GroupNumberMustBeAConfiguredGroup) {
    EXPECT_EQ(cli_.SetShmemNo(3), -1);
    EXPECT_EQ(cli_.SetShmemNo(-2), -1);
    EXPECT_EQ(cli_.SetShmemNo(2), 2);
    EXPECT_EQ(cli_.SetShmemNo(3), 2);
    cli_.ReSetShmemNo();
    EXPECT_EQ(cli_.GetShmemNo(), -1);
}

TEST_F(SharedMemCliTest, AttachesTheDaemonsSegmentsAndOperatesThem) {
    TestShmGroup group;
    ASSERT_TRUE(group.Create(TestPlan(), 1));
    ASSERT_EQ(cli_.SetShmemNo(1), 1);
    ASSERT_EQ(cli_.Attatch(), 0);
    EXPECT_TRUE(cli_.IsAttached());

    // Same memory as the daemon side.
    group.Control()->mode = 4711;
    auto* ctl = static_cast<vel::shm::ControlSegment*>(cli_.GetShmemAddr(1));
    ASSERT_NE(ctl, nullptr);
    EXPECT_EQ(ctl->mode, 4711);
    EXPECT_NE(cli_.GetShmemAddr(2), nullptr);
    EXPECT_EQ(cli_.GetShmemAddr(3), nullptr);

    EXPECT_EQ(cli_.MutexLock(1), 0);
    EXPECT_EQ(pthread_mutex_trylock(&group.Control()->mutex), EBUSY);
    EXPECT_EQ(cli_.MutexUnlock(1), 0);
    EXPECT_EQ(cli_.MutexLock(0), 0);
    EXPECT_EQ(cli_.MutexUnlock(0), 0);

    EXPECT_EQ(cli_.GetSemVal(1), 0);
    EXPECT_EQ(cli_.SemUnlock(1), 0);
    EXPECT_EQ(group.SemValue(1), 1);
    EXPECT_EQ(cli_.SemLock(1), 0);
    EXPECT_EQ(cli_.GetSemVal(1), 0);

    EXPECT_EQ(cli_.Attatch(), 0);  // already attached: no second mapping
    EXPECT_EQ(cli_.Detatch(), 0);
    EXPECT_FALSE(cli_.IsAttached());
    EXPECT_EQ(cli_.GetShmemAddr(1), nullptr);
    EXPECT_EQ(cli_.MutexLock(1), -1);
    // Nothing left to detach: the sum stays 0 and no stale address is touched.
    EXPECT_EQ(cli_.Destroy(), 0);
    EXPECT_EQ(cli_.GetSemVal(1), -1);
    cli_.ReSetShmemNo();
}

TEST_F(SharedMemCliTest, AttachCountsFollowAttachAndDetach) {
    TestShmGroup group;
    ASSERT_TRUE(group.Create(TestPlan(), 0));
    const int rcv = shmget(ftok("/var/local/velkey/shm0_0.key", 1), 0, 0);
    ASSERT_GE(rcv, 0);
    EXPECT_EQ(Attachments(rcv), 1);
    cli_.SetShmemNo(0);
    ASSERT_EQ(cli_.Attatch(), 0);
    EXPECT_EQ(Attachments(rcv), 2);
    EXPECT_EQ(cli_.Destroy(), 0);
    EXPECT_EQ(Attachments(rcv), 1);
}

TEST_F(SharedMemCliTest, MissingKeyFilesFailWithoutAttachingAnything) {
    ::testing::internal::CaptureStderr();
    cli_.SetShmemNo(2);
    EXPECT_EQ(cli_.Attatch(), -2);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Failed to acquire key"), std::string::npos) << err;
    EXPECT_EQ(cli_.GetShmemNo(), 2);  // the number stays, but nothing is attached
    EXPECT_FALSE(cli_.IsAttached());
    EXPECT_EQ(cli_.GetShmemAddr(0), nullptr);
    EXPECT_EQ(cli_.MutexLock(0), -1);
    EXPECT_EQ(cli_.SemLock(1), -1);
}

TEST_F(SharedMemCliTest, KeyFilesWithoutSegmentsReportTheMissingSegment) {
    ASSERT_EQ(vel::text::MakeDirs("/var/local/velkey", 0755), 0);
    for (const char* f :
         {"shm2_0.key", "sem2_0.key", "shm2_1.key", "sem2_1.key", "shm2_2.key", "sem2_2.key"}) {
        ASSERT_TRUE(testsupport::WriteFile(std::string("/var/local/velkey/") + f, ""));
    }
    ::testing::internal::CaptureStderr();
    cli_.SetShmemNo(2);
    EXPECT_EQ(cli_.Attatch(), -2);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("2:: Failed to acquire segment"), std::string::npos) << err;
    EXPECT_FALSE(cli_.IsAttached());
}

TEST_F(SharedMemCliTest, FailureAtALaterEntryUndoesTheEarlierOnes) {
    testsupport::ConfigPlan small = TestPlan();
    small.control_size = 40;  // smaller than a control segment must be
    TestShmGroup group;
    ASSERT_TRUE(group.Create(small, 0));
    const int rcv = shmget(ftok("/var/local/velkey/shm0_0.key", 1), 0, 0);
    ::testing::internal::CaptureStderr();
    cli_.SetShmemNo(0);
    EXPECT_EQ(cli_.Attatch(), -2);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("too small"), std::string::npos) << err;
    EXPECT_FALSE(cli_.IsAttached());
    EXPECT_EQ(Attachments(rcv), 1);  // only the test's own attachment is left
    EXPECT_EQ(cli_.GetShmemAddr(0), nullptr);
}

TEST_F(SharedMemCliTest, LockLeftByADeadProcessIsRecovered) {
    if (testsupport::Emulated()) {
        GTEST_SKIP() << testsupport::kNoRobustFutexUnderEmulation;
    }
    TestShmGroup group;
    ASSERT_TRUE(group.Create(TestPlan(), 0));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Ends while holding the control lock.
        _exit(vel::shm::LockSegmentMutex(group.Control(), nullptr) == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    cli_.SetShmemNo(0);
    ASSERT_EQ(cli_.Attatch(), 0);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(cli_.MutexLock(1), 0);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("lock recovered"), std::string::npos) << err;
    EXPECT_EQ(cli_.MutexUnlock(1), 0);
    // Consistent again: an ordinary lock and unlock follow.
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(cli_.MutexLock(1), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(cli_.MutexUnlock(1), 0);
    cli_.Destroy();
}

}  // namespace
