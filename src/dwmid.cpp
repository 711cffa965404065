#include "dwmid.h"

#include <unistd.h>

#include <algorithm>

#include "DirectionConfig.h"
#include "Log.h"
#include "OrderWords.h"
#include "ShmLayout.h"
#include "TextUtil.h"

namespace veldw485 {

std::atomic<int> g_appState{kNoApp};
std::atomic<dwmid*> g_app{nullptr};
std::atomic<int> g_pendingSignal{0};

namespace {
constexpr char kSeparator[] = "--------------------------------------";
constexpr char kClosingLine[] = "===========================================<<<";
}  // namespace

dwmid::dwmid() {
    SetStatus(0);
}

dwmid::~dwmid() {
    g_appState.store(kNoApp);
    if (_lineManager && !_lineManager->StopWorkers()) {
        _workersRemain = true;
    }
    if (_shmem) {
        ReleaseGroups();
    }
    if (_workersRemain) {
        // A worker that did not end still uses its connector and its group: they are left to
        // the end of the process instead of being destroyed under it.
        (void)_lineManager.release();
        (void)_shmem.release();
    }
    _lineManager.reset();
    _shmem.reset();
    _server.CloseAll();
    _logger.reset();
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
    const int32_t entries = _sd->getConfShmemInGrpNum();
    // Entries 0 and 1 (receive and control) are what every channel uses; fewer would leave a
    // client attached to a group without them. Without groups the count is not used.
    const int32_t least = _sd->getConfShmemGrpNum() > 0 ? vel::shm::kMinEntries : 0;
    if (entries < least || entries > vel::shm::kMaxEntries) {
        VLOG_ERROR(_logger, "[{}:{}]  setting error : shared_indata_num = {} : must be {} to {}",
                   entries, least, vel::shm::kMaxEntries);
        SetStatus(-1);
        return -1;
    }

    for (int32_t line = 0; line < _sd->getConfLineNum(); ++line) {
        line::DirectionSettings direction;
        std::string key;
        std::string reason;
        if (!line::DirectionConfig::Read(*_sd, line, &direction, &key, &reason)) {
            VLOG_ERROR(_logger, "[{}:{}]  setting error : line [{}] : \"{}\" {}", line + 1, key,
                       reason);
            SetStatus(-1);
            return -1;
        }
    }

    const int32_t groups = _sd->getConfShmemGrpNum();
    _shmem = std::make_unique<shmem::SharedMem[]>(static_cast<std::size_t>(groups));
    _lineManager = std::make_unique<line::LineManager>(_shmem.get());

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

int dwmid::main() {
    VLOG_PLAIN(_logger, kSeparator);
    VLOG_INFO(_logger, "[{}:{}]  called main mehod");

    _server = conn::ServerSocket();
    _server.SetCallback(this);
    _server.SetSignalSource(&g_pendingSignal, [this](int signo) { ReceiveSignal(signo); });

    const int32_t groups = _sd->getConfShmemGrpNum();
    for (int32_t g = 0; g < groups; ++g) {
        const int no = _shmem[g].SetShmemNo(g);
        int ret = _shmem[g].CreateShmem();
        VTRACE("SHMEM Create <" << no << "> ret=" << ret);
        if (ret != 0) {
            VTRACE("Create Shmem Error ret=" << ret);
            VLOG_WARN(_logger, "[{}:{}] init : Create Shmem Error ret={}", ret);
            return -1;
        }
        ret = _shmem[g].ActiveShmem();
        VTRACE("SHMEM Active <" << g << "> ret=" << ret);
    }
    _lineManager->InitMutex();

    if (_server.Bind(_sd->getConfInt(_sd->key_port), _sd->getConfStr(_sd->key_server)) != 0) {
        return -2;
    }
    VLOG_INFO(_logger, "[{}:{}]  accept end");
    const int served = _server.WaitAndReceive(_sd->getConfInt(_sd->key_conenct_timeout));
    if (served == conn::ServerSocket::kShutOrdered) {
        return -3;
    }
    if (served != 0) {
        return -4;
    }
    VLOG_INFO(_logger, "[{}:{}] main end");
    VLOG_PLAIN(_logger, kSeparator);
    return 0;
}

void dwmid::ReleaseGroups() {
    const int32_t groups = _sd != nullptr ? _sd->getConfShmemGrpNum() : 0;
    for (int32_t g = 0; g < groups; ++g) {
        if (_shmem[g].GetShmemNo() < 0) {
            continue;
        }
        if (_lineManager && !_lineManager->WorkerEnded(g)) {
            // Removed but left attached and untouched: the worker may still use the group.
            _shmem[g].RemoveInUse();
            continue;
        }
        _shmem[g].DeactiveShmem();
        _shmem[g].DestroyShmem();
    }
}

void dwmid::Finish() {
    VLOG_PLAIN(_logger, kSeparator);
    VLOG_INFO(_logger, "[{}:{}]  called Finish mehod");
    // Workers poll the groups every 10 ms: all are told to stop at once and waited for
    // together before their groups are detached.
    _workersRemain = _lineManager && !_lineManager->StopWorkers();
    if (_workersRemain) {
        VLOG_WARN(_logger,
                  "[{}:{}] Finish : a line worker did not end in time; its shared memory is "
                  "removed but stays attached until the process exits");
    }
    if (_shmem) {
        ReleaseGroups();
    }
    if (_workersRemain) {
        // The line manager, the shared memory managers and the settings store stay alive for
        // the workers that still run; the process ends without destroying them.
        VLOG_INFO(_logger, "[{}:{}] Finish : delete objects");
        VLOG_PLAIN(_logger, kClosingLine);
        return;
    }
    _lineManager.reset();
    _shmem.reset();
    if (_sd != nullptr) {
        data::SettingDatas::destroy();
        _sd = nullptr;
    }
    if (!_logger) {
        return;
    }
    VLOG_INFO(_logger, "[{}:{}] Finish : delete objects");
    VLOG_PLAIN(_logger, kClosingLine);
    _logger.reset();
}

std::string dwmid::CallOrderFromLibrary(std::string order) {
    return CallOrderFrom(line::LineConnector::kNoConnection, std::move(order));
}

void dwmid::ConnectionEnded(int connection) {
    if (_lineManager) {
        _lineManager->ConnectionEnded(connection);
    }
}

std::string dwmid::CallOrderFrom(int connection, std::string order) {
    VLOG_INFO(_logger, "[{}:{}] CallOrderFromLibrary : {}", order);
    VTRACE("callback: " << order);
    const std::vector<std::string> fields = vel::text::Split(order, vel::order::kFieldSeparator);
    if (fields.empty() || !_lineManager) {
        return vel::order::kErr1;
    }
    const std::string& name = fields[0];
    if (name == vel::order::kOpen) {
        // A channel that was never converted (wrong field count) is shown as -1.
        int channel = -1;
        std::string r = _lineManager->OrderOpen(fields, channel);
        VLOG_INFO(_logger, "[{}:{}] ***** order open result = {} channel = {}", r, channel);
        return r;
    }
    if (name == vel::order::kClose) {
        return _lineManager->OrderClose(fields, connection);
    }
    if (name == vel::order::kPort) {
        return _lineManager->OrderPortParam(fields, connection);
    }
    if (name == vel::order::kCompt) {
        return _lineManager->OrderComPort(fields, connection);
    }
    if (name == vel::order::kUser) {
        return _lineManager->OrderUser(fields, connection);
    }
    if (name == vel::order::kUsers) {
        return _lineManager->OrderUsers(fields);
    }
    if (name == vel::order::kFrame) {
        return _lineManager->OrderReplyFraming(fields, connection);
    }
    if (name == vel::order::kShut) {
        VLOG_INFO(_logger, "[{}:{}] ***** order shutdown");
        return vel::order::kFinish;
    }
    return vel::order::kErr1;
}

void dwmid::ReceiveSignal(int signo) {
    _server.Stop();
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
        vel::settings::LineOption direction;
        if (sd.getConfLineOption(i, sd.key_direction, &direction)) {
            VLOG_PLAIN(_logger, "    [{}]direction        = {}", i + 1,
                       direction.type == vel::settings::LineOption::Type::kString
                           ? direction.text
                           : std::string("(not a string)"));
        }
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
    // A hostile item count must not flood the log; Init refuses it right after the display.
    const int32_t shown = std::min(items, vel::shm::kMaxEntries);
    for (int32_t g = 0; g < groups; ++g) {
        for (int32_t j = 0; j < shown; ++j) {
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
