#include "dwmid.h"

#include <unistd.h>

#include "Log.h"

namespace veldw485 {

std::atomic<int> g_appState{kNoApp};
std::atomic<dwmid*> g_app{nullptr};
std::atomic<int> g_pendingSignal{0};

namespace {
constexpr char kSeparator[] = "--------------------------------------";
}  // namespace

dwmid::dwmid() {
    SetStatus(0);
}

dwmid::~dwmid() {
    g_appState.store(kNoApp);
}

void dwmid::SetStatus(int status) {
    _status = status;
    g_appState.store(status);
}

int dwmid::Init() {
    _sd = data::SettingDatas::get_instance();
    _logger = GetLogger();

    DisplaySettingData();

    if (_sd->getConfLineNum() != _sd->getConfShmemGrpNum()) {
        VLOG_ERROR(_logger,
                   "[{}:{}]  setting error : Line(RS-485) and Shmem definitions do not match");
        VLOG_ERROR(_logger, "[{}:{}]  setting error :     Line(RS-485) = {} :  Shmem = {}",
                   _sd->getConfLineNum(), _sd->getConfShmemGrpNum());
        SetStatus(-1);
        return -1;
    }

    // The delay is configured in milliseconds and waited in whole seconds; a negative value
    // means no delay.
    const int32_t wait_ms = _sd->getConfInt(_sd->key_start_wait_interval);
    if (wait_ms > 0) {
        unsigned int left = static_cast<unsigned int>(wait_ms / 1000);
        while (left > 0) {
            left = ::sleep(left);
        }
    }
    SetStatus(1);
    return 1;
}

void dwmid::ReceiveSignal(int signo) {
    VLOG_WARN(_logger, "[{}:{}] !!! Receive Signal !!! ({})", signo);
}

void dwmid::DisplaySettingData() {
    const auto& sd = *_sd;
    VLOG_INFO(_logger, "[{}:{}] Display Setting Data >>>");
    VLOG_PLAIN(_logger, "  order_conn");
    VLOG_PLAIN(_logger, "    server              = {}", sd.getConfStr(sd.key_server));
    VLOG_PLAIN(_logger, "    port                = {}", sd.getConfInt(sd.key_port));
    VLOG_PLAIN(_logger, "    connect_timeout     = {}", sd.getConfInt(sd.key_conenct_timeout));
    VLOG_PLAIN(_logger, "  log");
    VLOG_PLAIN(_logger, "    log_dir             = {}", sd.getConfStr(sd.key_log_dir));
    VLOG_PLAIN(_logger, "    log_file            = {}", sd.getConfStr(sd.key_log_file));
    VLOG_PLAIN(_logger, "    log_max_bytes       = {}", sd.getConfInt(sd.key_log_max_bytes));
    VLOG_PLAIN(_logger, "    log_counts          = {}", sd.getConfInt(sd.key_log_counts));
    VLOG_PLAIN(_logger, "  line");
    const int32_t lines = sd.getConfLineNum();
    if (lines == 0) {
        VLOG_PLAIN(_logger, "    no have settings");
    }
    for (int32_t i = 0; i < lines; ++i) {
        VLOG_PLAIN(_logger, "    [{}]device           = {}", i + 1,
                   sd.getConfLineStr(i, sd.key_device));
        VLOG_PLAIN(_logger, "    [{}]de_line          = {}", i + 1,
                   sd.getConfLineStr(i, sd.key_de_line));
        VLOG_PLAIN(_logger, "    [{}]baudrate         = {}", i + 1,
                   sd.getConfLineInt(i, sd.key_baudrate));
    }
    VLOG_PLAIN(_logger, "  shmem, semaphore");
    const int32_t groups = sd.getConfShmemGrpNum();
    const int32_t items = sd.getConfShmemInGrpNum();
    VLOG_PLAIN(_logger, "    number of shmem grp = {}", groups);
    VLOG_PLAIN(_logger, "    shared_indata_num   = {}", items);
    VLOG_PLAIN(_logger, "    shared_key_dir      = {}", sd.getConfStr(sd.key_shared_key_dir));
    if (groups == 0) {
        VLOG_PLAIN(_logger, "    no have settings");
        return;
    }
    for (int32_t g = 0; g < groups; ++g) {
        for (int32_t j = 0; j < items; ++j) {
            VLOG_PLAIN(_logger, "    [{}][{}]ipc_key       = {}", g, j,
                       sd.getConfShmemStr(g, sd.key_ipc_key, j));
            VLOG_PLAIN(_logger, "    [{}][{}]sh_id         = {}", g, j,
                       sd.getConfShmemInt(g, sd.key_sh_id, j));
            VLOG_PLAIN(_logger, "    [{}][{}]shmem_size    = {}", g, j,
                       sd.getConfShmemInt(g, sd.key_shmem_size, j));
            VLOG_PLAIN(_logger, "    [{}][{}]sem_key       = {}", g, j,
                       sd.getConfShmemStr(g, sd.key_sem_key, j));
        }
    }
}

}  // namespace veldw485
