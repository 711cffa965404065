// The configuration loader on arbitrary file contents: loading must end with 0, 1 or 2, and
// every accessor must answer for any index, present or not.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "FuzzSandbox.h"
#include "SettingStore.h"

namespace {

std::string g_path;

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "config_loader_fuzz: %s\n", what);
        std::abort();
    }
}

void QueryEverything(const vel::settings::SettingStore& store) {
    for (const char* key : {"server", "port", "conenct_timeout", "res_wait_timeout", "log_dir",
                            "log_file", "log_max_bytes", "log_counts", "shared_indata_num",
                            "shared_key_dir", "start_wait_interval", "", "nothing"}) {
        (void)store.getConfStr(key);
        (void)store.getConfInt(key);
    }
    const int32_t lines = store.getConfLineNum();
    Check(lines >= 0, "negative line count");
    for (int32_t i = -1; i <= lines && i < 70; ++i) {
        for (const char* key : {"device", "de_line", "baudrate", "max_machine", "x"}) {
            (void)store.getConfLineStr(i, key);
            (void)store.getConfLineInt(i, key);
        }
    }
    const int32_t groups = store.getConfShmemGrpNum();
    Check(groups >= 0, "negative group count");
    const int32_t items = store.getConfShmemInGrpNum();
    for (int32_t g = -1; g <= groups && g < 70; ++g) {
        // One item past the count, computed wide: the count may be INT32_MAX.
        for (int32_t item = -1; item < 70 && item <= static_cast<int64_t>(items) + 1; ++item) {
            for (const char* key : {"ipc_key", "sh_id", "shmem_size", "sem_key", "x"}) {
                (void)store.getConfShmemStr(g, key, item);
                (void)store.getConfShmemInt(g, key, item);
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp != nullptr ? tmp : "/tmp") + "/conf_fuzz.XXXXXX";
    const int fd = ::mkstemp(templ.data());
    Check(fd >= 0, "mkstemp failed");
    ::close(fd);
    g_path = templ;
    rs485fuzz::SilenceTraces();
    std::atexit([] { ::unlink(g_path.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    // The first byte picks the build flavour; the rest is the file.
    const bool daemon_build = (data[0] & 1) != 0;
    rs485fuzz::WriteOrDie(g_path, std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
    vel::settings::SettingStore store(g_path, daemon_build);
    const int r = store.loadSettingFile();
    Check(r >= 0 && r <= 2, "loadSettingFile result outside 0..2");
    QueryEverything(store);
    return 0;
}
