// The daemon's shared memory manager against the real System V objects of the sandbox's own
// IPC namespace.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "DaemonLogger.h"
#include "Emulation.h"
#include "SettingDatas.h"
#include "SharedMem.h"
#include "ShmLayout.h"
#include "SysvIpc.h"
#include "TestSupport.h"

using veldw485::data::SettingDatas;
using veldw485::shmem::SharedMem;
using namespace testsupport;

namespace {

constexpr int kWait = 10000;
constexpr char kKeyDir[] = "/var/local/sandbox/keys/run/velkey";

// A forked process that runs body, reports its result and then stays until it is killed.
class HeldChild {
  public:
    explicit HeldChild(const std::function<bool()>& body) {
        int pipefd[2];
        if (::pipe(pipefd) != 0) {
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(pipefd[0]);
            const char result = body() ? 'y' : 'n';
            (void)!::write(pipefd[1], &result, 1);
            while (true) {
                ::pause();
            }
        }
        ::close(pipefd[1]);
        char result = 'n';
        ok_ = pid_ > 0 && ::read(pipefd[0], &result, 1) == 1 && result == 'y';
        ::close(pipefd[0]);
    }
    ~HeldChild() { Kill(); }
    HeldChild(const HeldChild&) = delete;
    HeldChild& operator=(const HeldChild&) = delete;

    bool Ok() const { return ok_; }
    // SIGKILL, as a crash or an impatient operator would end it.
    void Kill() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

  private:
    pid_t pid_{-1};
    bool ok_{false};
};

void RemoveAllIpc() {
    for (const IpcObject& seg : ListShmSegments()) {
        ::shmctl(seg.id, IPC_RMID, nullptr);
    }
    for (const IpcObject& sem : ListSemaphoreSets()) {
        ::semctl(sem.id, 0, IPC_RMID);
    }
}

// What a client computes for entry j of group g with the configuration MakeConfig writes.
key_t ClientKey(const std::string& prefix, int group, int entry, int entries = 2) {
    const std::string path = std::string(kKeyDir) + "/" + prefix + std::to_string(group) + "_" +
                             std::to_string(entry) + ".key";
    return ::ftok(path.c_str(), group * entries + entry + 1);
}

int SegmentId(int group, int entry) {
    return ::shmget(ClientKey("shm", group, entry), 0, 0);
}

int SemaphoreId(int group, int entry) {
    return ::semget(ClientKey("sem", group, entry), 0, 0);
}

ConfigPlan TwoLines() {
    ConfigPlan plan;
    plan.lines = {LinePlan{"/dev/ttyS0"}, LinePlan{"/dev/ttyS1"}};
    plan.key_dir = kKeyDir;
    return plan;
}

class SharedMemTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { InstallDaemonLogger(); }

    void SetUp() override {
        RemoveAllIpc();
        Configure(TwoLines());
    }

    void TearDown() override {
        RemoveAllIpc();
        SettingDatas::destroy();
    }

    static void Configure(const ConfigPlan& plan) {
        ASSERT_TRUE(InstallConfig(plan));
        SettingDatas::destroy();
        SettingDatas::create();
    }

    // A manager bound to group 0 whose group is created and attached.
    static bool CreateGroup0(SharedMem& mem) {
        return mem.SetShmemNo(0) == 0 && mem.CreateShmem() == 0 && mem.ActiveShmem() == 0;
    }

    LogMark mark_;
};

TEST_F(SharedMemTest, CreateAttachDetachDestroyLeavesNothingBehind) {
    ::umask(022);
    ASSERT_EQ(::system("rm -rf /var/local/sandbox/keys"), 0);
    SharedMem mem;
    EXPECT_EQ(mem.GetShmemNo(), -1);
    ASSERT_EQ(mem.SetShmemNo(0), 0);
    ASSERT_EQ(mem.CreateShmem(), 0);
    EXPECT_EQ(ListShmSegments().size(), 2U);
    EXPECT_EQ(ListSemaphoreSets().size(), 2U);

    // Key directory and its missing parents, whatever the umask.
    for (const char* dir : {kKeyDir, "/var/local/sandbox/keys/run", "/var/local/sandbox/keys"}) {
        struct stat st {};
        ASSERT_EQ(::stat(dir, &st), 0) << dir;
        EXPECT_EQ(st.st_mode & 07777, 0775U) << dir;
    }
    EXPECT_TRUE(FileExists(std::string(kKeyDir) + "/shm0_1.key"));
    EXPECT_TRUE(FileExists(std::string(kKeyDir) + "/sem0_0.key"));

    // The objects a client finds through the key files, with their sizes and permissions.
    const int receive = SegmentId(0, 0);
    const int control = SegmentId(0, 1);
    ASSERT_GE(receive, 0);
    ASSERT_GE(control, 0);
    EXPECT_EQ(FindIpc(ListShmSegments(), receive).size, 8192U);
    EXPECT_EQ(FindIpc(ListShmSegments(), control).size, 256U);
    EXPECT_EQ(FindIpc(ListShmSegments(), control).perms, 0600U);
    const IpcObject sem = FindIpc(ListSemaphoreSets(), SemaphoreId(0, 1));
    EXPECT_EQ(sem.perms, 0600U);
    EXPECT_EQ(sem.size, 1U);

    ASSERT_EQ(mem.ActiveShmem(), 0);
    EXPECT_EQ(FindIpc(ListShmSegments(), control).nattch, 1);
    ASSERT_NE(mem.GetShmemAddr(1), nullptr);
    static_cast<vel::shm::ControlSegment*>(mem.GetShmemAddr(1))->mode = 0x5a5a;
    void* client = ::shmat(control, nullptr, 0);
    ASSERT_NE(client, reinterpret_cast<void*>(-1));
    EXPECT_EQ(static_cast<vel::shm::ControlSegment*>(client)->mode, 0x5a5a);
    ::shmdt(client);

    EXPECT_EQ(mem.DeactiveShmem(), 0);
    EXPECT_EQ(FindIpc(ListShmSegments(), control).nattch, 0);
    EXPECT_EQ(mem.GetShmemAddr(0), nullptr);
    EXPECT_EQ(mem.DestroyShmem(), 0);
    EXPECT_TRUE(ListShmSegments().empty());
    EXPECT_TRUE(ListSemaphoreSets().empty());
    EXPECT_EQ(mem.DestroyShmem(), 0);
    EXPECT_EQ(mem.GetShmemNo(), 0);

    const std::string log = mark_.Since();
    EXPECT_NE(log.find("I : [SharedMem.cpp:"), std::string::npos);
    EXPECT_NE(log.find("]  SHMEM : create[1] sig_id = " + std::to_string(control)),
              std::string::npos);
    EXPECT_NE(log.find("]  SHMEM : create[1] sem_id = " + std::to_string(sem.id)),
              std::string::npos);
    EXPECT_NE(log.find("]  SHMEM : active[0] sig_id = " + std::to_string(receive)),
              std::string::npos);
    EXPECT_NE(log.find("]  SHMEM : deactive[1] sig_id = " + std::to_string(control) + " ret = 0"),
              std::string::npos);
    EXPECT_NE(log.find("]  SHMEM : release[1] sig_id = " + std::to_string(control) + " ret = 0"),
              std::string::npos);
    EXPECT_NE(log.find("]  SHMEM : release[1] sem_id = " + std::to_string(sem.id) + " ret = 0"),
              std::string::npos);
}

TEST_F(SharedMemTest, GroupsAreSeparateAndNumbersOutsideTheConfigurationAreRefused) {
    SharedMem first;
    SharedMem second;
    EXPECT_EQ(second.SetShmemNo(2), -1);
    EXPECT_EQ(second.SetShmemNo(-1), -1);
    EXPECT_EQ(second.CreateShmem(), -1);
    EXPECT_EQ(second.ActiveShmem(), -1);
    EXPECT_EQ(second.DeactiveShmem(), -1);
    EXPECT_EQ(second.DestroyShmem(), -1);
    ASSERT_EQ(second.SetShmemNo(1), 1);
    EXPECT_EQ(second.SetShmemNo(2), 1);

    ASSERT_TRUE(CreateGroup0(first));
    ASSERT_EQ(second.CreateShmem(), 0);
    EXPECT_EQ(ListShmSegments().size(), 4U);
    EXPECT_GE(SegmentId(1, 1), 0);
    EXPECT_EQ(first.DeactiveShmem(), 0);
    EXPECT_EQ(first.DestroyShmem(), 0);
    EXPECT_EQ(ListShmSegments().size(), 2U);
    EXPECT_GE(SegmentId(1, 1), 0);
    EXPECT_EQ(second.DestroyShmem(), 0);
}

TEST_F(SharedMemTest, ZeroSizeFailsTheGroupAndRemovesWhatWasMade) {
    ConfigPlan plan = TwoLines();
    plan.control_size = 0;
    Configure(plan);
    SharedMem mem;
    ASSERT_EQ(mem.SetShmemNo(0), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(mem.CreateShmem(), -2);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Failed to acquire shmem size\n"),
              std::string::npos);
    EXPECT_TRUE(ListShmSegments().empty());
    EXPECT_TRUE(ListSemaphoreSets().empty());
    EXPECT_NE(mark_.Since().find("]  SHMEM : create[1] sig_id = -6"), std::string::npos);
    EXPECT_EQ(mem.DestroyShmem(), 0);
}

TEST_F(SharedMemTest, SegmentsSmallerThanTheirLayoutAreRefused) {
    ConfigPlan plan = TwoLines();
    plan.receive_size = static_cast<int>(vel::shm::kReceiveSegmentMin) - 1;
    Configure(plan);
    {
        SharedMem mem;
        ASSERT_EQ(mem.SetShmemNo(0), 0);
        testing::internal::CaptureStderr();
        EXPECT_EQ(mem.CreateShmem(), -2);
        EXPECT_NE(testing::internal::GetCapturedStderr().find("Failed to acquire shmem size"),
                  std::string::npos);
    }
    plan.receive_size = static_cast<int>(vel::shm::kReceiveSegmentMin);
    plan.control_size = static_cast<int>(vel::shm::kControlSegmentMin) - 1;
    Configure(plan);
    {
        SharedMem mem;
        ASSERT_EQ(mem.SetShmemNo(0), 0);
        EXPECT_EQ(mem.CreateShmem(), -2);
    }
    EXPECT_TRUE(ListShmSegments().empty());
    plan.control_size = static_cast<int>(vel::shm::kControlSegmentMin);
    Configure(plan);
    SharedMem mem;
    ASSERT_TRUE(CreateGroup0(mem));
    EXPECT_EQ(mem.DeactiveShmem() + mem.DestroyShmem(), 0);
}

TEST_F(SharedMemTest, UnusableKeyDirectoryFailsTheGroup) {
    ASSERT_TRUE(WriteFile("/var/local/sandbox/plainfile", "x"));
    ConfigPlan plan = TwoLines();
    plan.key_dir = "/var/local/sandbox/plainfile/keys";
    Configure(plan);
    SharedMem mem;
    ASSERT_EQ(mem.SetShmemNo(0), 0);
    EXPECT_EQ(mem.CreateShmem(), -2);
    EXPECT_NE(mark_.Since().find("]  SHMEM : create[0] sig_id = -2"), std::string::npos);
    EXPECT_TRUE(ListShmSegments().empty());
}

TEST_F(SharedMemTest, KeyFilesFollowNoLinkAndKeepWhatIsThere) {
    ASSERT_EQ(::system("rm -rf /var/local/sandbox/keys"), 0);
    ASSERT_EQ(::system("mkdir -p /var/local/sandbox/keys/run/velkey"), 0);
    const std::string victim = "/var/local/sandbox/victim";
    ASSERT_TRUE(WriteFile(victim, "precious"));
    ASSERT_EQ(::symlink(victim.c_str(), (std::string(kKeyDir) + "/shm0_0.key").c_str()), 0);
    const std::string kept = std::string(kKeyDir) + "/sem0_1.key";
    ASSERT_TRUE(WriteFile(kept, "old"));
    {
        SharedMem mem;
        ASSERT_EQ(mem.SetShmemNo(0), 0);
        EXPECT_NE(mem.CreateShmem(), 0);
        EXPECT_EQ(mem.DestroyShmem(), 0);
    }
    EXPECT_EQ(ReadFile(victim), "precious");
    EXPECT_TRUE(ListShmSegments().empty());
    ASSERT_EQ(::unlink((std::string(kKeyDir) + "/shm0_0.key").c_str()), 0);
    SharedMem mem;
    ASSERT_TRUE(CreateGroup0(mem));
    EXPECT_EQ(ReadFile(kept), "old");
    EXPECT_EQ(mem.DeactiveShmem() + mem.DestroyShmem(), 0);
}

TEST_F(SharedMemTest, GroupThatWasNeverCreatedTouchesNoOtherObject) {
    // Make the next identifiers 0, the value a zero-filled record would name.
    if (!WriteFile("/proc/sys/kernel/shm_next_id", "0") ||
        !WriteFile("/proc/sys/kernel/sem_next_id", "0")) {
        GTEST_SKIP() << "identifiers cannot be chosen here";
    }
    const int foreign_seg = ::shmget(IPC_PRIVATE, 4096, IPC_CREAT | 0600);
    const int foreign_sem = ::semget(IPC_PRIVATE, 1, IPC_CREAT | 0600);
    ASSERT_EQ(foreign_seg, 0);
    ASSERT_EQ(foreign_sem, 0);

    SharedMem untouched;
    ASSERT_EQ(untouched.SetShmemNo(1), 1);
    EXPECT_EQ(untouched.DeactiveShmem(), 0);
    EXPECT_EQ(untouched.DestroyShmem(), 0);

    ConfigPlan plan = TwoLines();
    plan.receive_size = 0;
    Configure(plan);
    SharedMem failed;
    ASSERT_EQ(failed.SetShmemNo(0), 0);
    EXPECT_EQ(failed.CreateShmem(), -2);
    EXPECT_EQ(failed.DeactiveShmem(), 0);
    EXPECT_EQ(failed.DestroyShmem(), 0);

    EXPECT_EQ(FindIpc(ListShmSegments(), foreign_seg).id, foreign_seg);
    EXPECT_EQ(FindIpc(ListSemaphoreSets(), foreign_sem).id, foreign_sem);
}

TEST_F(SharedMemTest, LeftOverSegmentOfAKilledDaemonIsReplaced) {
    int old_control = -1;
    {
        HeldChild daemon([] {
            SharedMem mem;
            return CreateGroup0(mem) && mem.SemUnlock(1) == 0;
        });
        ASSERT_TRUE(daemon.Ok());
        old_control = SegmentId(0, 1);
        EXPECT_EQ(FindIpc(ListShmSegments(), old_control).nattch, 1);
        daemon.Kill();
    }
    ASSERT_EQ(FindIpc(ListShmSegments(), old_control).nattch, 0);

    SharedMem mem;
    ASSERT_TRUE(CreateGroup0(mem));
    EXPECT_EQ(ListShmSegments().size(), 2U);
    EXPECT_NE(SegmentId(0, 1), old_control);
    EXPECT_EQ(mem.GetSemVal(1), 0);
    const std::string log = mark_.Since();
    EXPECT_EQ(CountLines(log, " : removed a segment left behind"), 2);
    EXPECT_NE(log.find("W : [SharedMem.cpp:"), std::string::npos);
    EXPECT_NE(log.find("]  SHMEM : group 0 entry 1 : removed a segment left behind"),
              std::string::npos);
    EXPECT_EQ(mem.DeactiveShmem() + mem.DestroyShmem(), 0);
    EXPECT_TRUE(ListShmSegments().empty());
}

TEST_F(SharedMemTest, LeftOverSegmentStillAttachedFailsTheStart) {
    HeldChild holder([] {
        SharedMem mem;
        return CreateGroup0(mem);
    });
    ASSERT_TRUE(holder.Ok());
    const int held = SegmentId(0, 0);

    SharedMem mem;
    ASSERT_EQ(mem.SetShmemNo(0), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(mem.CreateShmem(), -2);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Failed to acquire segment\n"),
              std::string::npos);
    const std::string log = mark_.Since();
    EXPECT_NE(log.find("]  SHMEM : create[0] sig_id = -7"), std::string::npos);
    EXPECT_EQ(CountLines(log, "removed a segment left behind"), 0);
    EXPECT_EQ(FindIpc(ListShmSegments(), held).nattch, 1);
    EXPECT_EQ(ListShmSegments().size(), 2U);
    // The holder's semaphore sets are not touched either.
    EXPECT_EQ(ListSemaphoreSets().size(), 2U);
}

TEST_F(SharedMemTest, SemaphoreOperationsAndResetToZero) {
    SharedMem mem;
    ASSERT_TRUE(CreateGroup0(mem));
    EXPECT_EQ(mem.GetSemVal(1), 0);

    // A waiting client is woken by one post.
    const int sem_id = SemaphoreId(0, 1);
    const pid_t waiter = ::fork();
    if (waiter == 0) {
        sembuf take{0, -1, 0};
        ::_exit(::semop(sem_id, &take, 1) == 0 ? 0 : 1);
    }
    ASSERT_GT(waiter, 0);
    EXPECT_EQ(mem.SemUnlock(1), 0);
    int status = -1;
    ASSERT_TRUE(WaitUntil([&] { return ::waitpid(waiter, &status, WNOHANG) == waiter; }, kWait));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(mem.SemUnlock(1), 0);
    }
    EXPECT_EQ(mem.GetSemVal(1), 3);
    EXPECT_EQ(mem.ResetSemVal(1), 0);
    EXPECT_EQ(mem.GetSemVal(1), 0);
    EXPECT_EQ(mem.ResetSemVal(1), 0);
    EXPECT_EQ(mem.GetSemVal(1), 0);

    EXPECT_EQ(mem.SemUnlock(2), -1);
    EXPECT_EQ(mem.GetSemVal(-1), -1);
    EXPECT_EQ(mem.ResetSemVal(5), -1);
    EXPECT_EQ(mem.MutexLock(2), -1);
    EXPECT_EQ(mem.GetShmemAddr(2), nullptr);
    EXPECT_EQ(mem.DeactiveShmem() + mem.DestroyShmem(), 0);
}

TEST_F(SharedMemTest, MutexOfAProcessKilledWhileHoldingItIsRecovered) {
    if (Emulated()) {
        GTEST_SKIP() << kNoRobustFutexUnderEmulation;
    }
    SharedMem mem;
    ASSERT_TRUE(CreateGroup0(mem));
    ASSERT_EQ(vel::shm::InitSegmentMutex(mem.GetShmemAddr(1)), 0);
    {
        HeldChild client([&mem] { return mem.MutexLock(1) == 0; });
        ASSERT_TRUE(client.Ok());
        client.Kill();
    }
    // A lock that never returns would leave this thread blocked, not the test hanging.
    std::atomic<int> locked{1};
    std::atomic<int> unlocked{1};
    std::thread locker([&] {
        locked.store(mem.MutexLock(1));
        unlocked.store(mem.MutexUnlock(1));
    });
    ASSERT_TRUE(WaitUntil([&] { return unlocked.load() != 1; }, kWait));
    locker.join();
    EXPECT_EQ(locked.load(), 0);
    EXPECT_EQ(unlocked.load(), 0);
    EXPECT_NE(mark_.Since().find("]  SHMEM : mutex[1] of group 0 : owner died, lock recovered"),
              std::string::npos);

    // Consistent again: another process takes and releases it normally.
    const pid_t other = ::fork();
    if (other == 0) {
        ::_exit(mem.MutexLock(1) == 0 && mem.MutexUnlock(1) == 0 ? 0 : 1);
    }
    int status = -1;
    ASSERT_TRUE(WaitUntil([&] { return ::waitpid(other, &status, WNOHANG) == other; }, kWait));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(mem.MutexLock(1), 0);
    EXPECT_EQ(mem.MutexUnlock(1), 0);
    EXPECT_EQ(CountLines(mark_.Since(), "owner died"), 1);
    EXPECT_EQ(mem.DeactiveShmem() + mem.DestroyShmem(), 0);
}

TEST_F(SharedMemTest, FailedAttachRecordsNoAddress) {
    SharedMem mem;
    ASSERT_EQ(mem.SetShmemNo(0), 0);
    ASSERT_EQ(mem.CreateShmem(), 0);
    ASSERT_EQ(::shmctl(SegmentId(0, 1), IPC_RMID, nullptr), 0);

    EXPECT_EQ(mem.ActiveShmem(), -2);
    EXPECT_NE(mem.GetShmemAddr(0), nullptr);
    EXPECT_EQ(mem.GetShmemAddr(1), nullptr);
    EXPECT_EQ(mem.MutexLock(1), -1);
    EXPECT_EQ(mem.MutexUnlock(1), -1);
    const std::string log = mark_.Since();
    EXPECT_NE(log.find("E : [SharedMem.cpp:"), std::string::npos);
    EXPECT_NE(log.find("]  SHMEM : active[1] attach error : errno = "), std::string::npos);

    EXPECT_EQ(mem.DeactiveShmem(), -1);
    EXPECT_EQ(mem.DestroyShmem(), -1);
    EXPECT_TRUE(ListShmSegments().empty());
    EXPECT_TRUE(ListSemaphoreSets().empty());
}

}  // namespace
