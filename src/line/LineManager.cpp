#include "LineManager.h"

#include <unistd.h>

#include <fmt/format.h>

#include <chrono>

#include "Log.h"
#include "OrderWords.h"
#include "TextUtil.h"

namespace veldw485::line {

namespace order = vel::order;
using vel::text::ToInt16;
using vel::text::ToInt32;
using vel::text::ToUint8;

namespace {
constexpr char kLabelOpen[] = "open";
constexpr char kLabelClose[] = "close";
constexpr char kLabelPort[] = "port_param";
constexpr char kLabelCom[] = "com_port";
constexpr char kLabelUser[] = "user";
constexpr char kLabelUsers[] = "users";
constexpr char kLabelFrame[] = "reply_framing";
// The open waits for the worker at most this many polls, sleeping between "starting" polls.
constexpr int kOpenWaitPolls = 10000;
constexpr useconds_t kOpenWaitMicros = 100;
}  // namespace

LineManager::LineManager(shmem::SharedMem* shmem)
    : _sd(data::SettingDatas::get_instance()), _logger(GetLogger()), _shmem(shmem) {
    const int lines = _sd->getConfLineNum();
    for (int i = 0; i < lines; ++i) {
        _connectors.push_back(std::make_unique<LineConnector>());
        _connectors.back()->SetShmem(&_shmem[i]);
    }
}

LineManager::~LineManager() = default;

int LineManager::InitMutex() {
    int sum = 0;
    for (auto& connector : _connectors) {
        sum += connector->InitMutex();
    }
    return sum;
}

bool LineManager::StopWorkers() {
    for (auto& connector : _connectors) {
        connector->RequestStop();
    }
    // One deadline for all: a worker in the middle of a long cycle does not hold up the others,
    // and the daemon ends within a service manager's stop time-out.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kStopWaitMillis);
    bool all = true;
    for (auto& connector : _connectors) {
        if (!connector->AwaitEnd(deadline)) {
            // The caller keeps this manager alive to the end of the process for it.
            connector->AbandonWorker();
            all = false;
        }
    }
    return all;
}

bool LineManager::WorkerEnded(int channel) const {
    return channel < 0 || static_cast<std::size_t>(channel) >= _connectors.size() ||
           !_connectors[static_cast<std::size_t>(channel)]->WorkerAlive();
}

bool LineManager::CheckFieldCount(const Fields& fields, std::size_t count, const char* label) {
    if (fields.size() == count) {
        return true;
    }
    VLOG_WARN(_logger, "[{}:{}] ***** order {} : parameter size error : parameter size = {}", label,
              fields.size());
    return false;
}

bool LineManager::CheckChannel(int channel, const char* label) {
    const int lines = _sd->getConfLineNum();
    if (channel >= 0 && channel < lines) {
        return true;
    }
    VLOG_WARN(_logger,
              "[{}:{}] ***** order {} : channel error : recv channel = {} : setting channel num = "
              "{}",
              label, channel, lines);
    return false;
}

std::string LineManager::OrderOpen(const Fields& fields, int& channel) {
    if (!CheckFieldCount(fields, order::kOpenFields, kLabelOpen)) {
        return order::kErr1;
    }
    channel = ToInt32(fields[1]);
    if (!CheckChannel(channel, kLabelOpen)) {
        return order::kErr1;
    }
    const bool sniffer = ToInt32(fields[2]) != 0;
    const auto baudrate =
        static_cast<unsigned char>(static_cast<uint32_t>(ToInt32(fields[3])) & 0xffU);
    VLOG_INFO(_logger, "[{}:{}] ***** order {} : channel={} sniffer={} baudrate={}", kLabelOpen,
              fields[1], fields[2], fields[3]);
    VLOG_INFO(_logger, "[{}:{}] ***** order {} : _sd->getConfShmemGrpNum(); = {}", kLabelOpen,
              _sd->getConfShmemGrpNum());
    VLOG_INFO(_logger, "[{}:{}] ***** order {} : shmem no={}", kLabelOpen,
              _shmem[channel].GetShmemNo());

    LineConnector& connector = *_connectors[static_cast<std::size_t>(channel)];
    const bool running = connector.IsRunning();
    VTRACE("+++++ _[" << channel << "].IsRunning()=" << (running ? "true" : "false"));
    if (!running) {
        connector.Reset();
        VLOG_INFO(_logger, "[{}:{}] ***** order {} : create thread", kLabelOpen);
    }
    const int count = connector.Start(channel, sniffer, baudrate);
    VLOG_INFO(_logger, "[{}:{}] ***** order {} : open RS-485 : use count = {}", kLabelOpen, count);

    for (int left = kOpenWaitPolls;;) {
        --left;
        if (left <= 0) {
            break;
        }
        if (connector.IsStarting()) {
            ::usleep(kOpenWaitMicros);
            continue;
        }
        if (connector.IsOpenNow()) {
            VTRACE("OPEN IsOpenNow *************************");
            return order::kOpSuc;
        }
        if (connector.IsOpenAlready()) {
            VTRACE("OPEN IsOpenAlready *************************");
            return order::kOpAlr;
        }
        if (connector.IsOpenFailed()) {
            VTRACE("OPEN FAILED *************************");
            break;
        }
    }
    VTRACE("OPEN FAILED TIMEOUT *************************");
    return order::kOpErr;
}

std::string LineManager::OrderClose(const Fields& fields, int conn) {
    if (!CheckFieldCount(fields, order::kCloseFields, kLabelClose)) {
        return order::kNoReply;
    }
    const int channel = ToInt32(fields[1]);
    if (!CheckChannel(channel, kLabelClose)) {
        return order::kNoReply;
    }
    VLOG_INFO(_logger, "[{}:{}] ***** order {} : channel={}", kLabelClose, channel);
    int pid = 0;
    const uint32_t id = _connectors[static_cast<std::size_t>(channel)]->DropUser(conn, &pid);
    if (id != 0) {
        VLOG_INFO(_logger, "[{}:{}] ***** order {} : channel={} : user {} (process {}) leaves",
                  kLabelClose, channel, id, pid);
    }
    // -1: nobody had the channel open; the count stays at 0.
    const int r = _connectors[static_cast<std::size_t>(channel)]->Stop(false);
    if (r == 1) {
        VLOG_INFO(_logger, "[{}:{}] ***** order {} : success (other process used) : channel={}",
                  kLabelClose, channel);
        return order::kClUse;
    }
    if (r == 0) {
        VLOG_INFO(_logger, "[{}:{}] ***** order {} : success : channel={}", kLabelClose, channel);
        return order::kClSuc;
    }
    return order::kClErr;
}

std::string LineManager::OrderPortParam(const Fields& fields, int conn) {
    if (!CheckFieldCount(fields, order::kPortFields, kLabelPort)) {
        return order::kErr1;
    }
    const int channel = ToInt32(fields[1]);
    if (!CheckChannel(channel, kLabelPort)) {
        return order::kErr1;
    }
    const int mc_num = ToInt32(fields[2]);
    const unsigned char ctrl_bit = ToUint8(fields[3]);
    const short time_out = ToInt16(fields[4]);
    const unsigned char delm_type = ToUint8(fields[5]);
    const unsigned char len_after_delm = ToUint8(fields[6]);
    const unsigned char wait_time = ToUint8(fields[7]);
    VLOG_INFO(_logger,
              "[{}:{}] ***** order {} : channel={} mc_num={} ctrl_bit={} time_out={} delm_type={} "
              "len_after_delm={} wait_time={}",
              kLabelPort, channel, mc_num, fields[3], fields[4], fields[5], fields[6], fields[7]);
    VLOG_INFO(_logger,
              "[{}:{}]       order {} : channel={} mc_num={} ctrl_bit={} time_out={} delm_type={} "
              "len_after_delm={} wait_time={}",
              kLabelPort, channel, mc_num, ctrl_bit, time_out, delm_type, len_after_delm,
              wait_time);
    const int r = _connectors[static_cast<std::size_t>(channel)]->SetPortParams(
        conn, mc_num, ctrl_bit, time_out, delm_type, len_after_delm, wait_time);
    const char* text = "error";
    if (r == 0) {
        text = "success";
    } else if (r == 1) {
        text = "success (Stop bit 1.5 is not suppot -->  set stopbit value is 2)";
    }
    VLOG_INFO(_logger, "[{}:{}] ***** order {} : channel={} mc_num={} ret = {} ( {} )", kLabelPort,
              channel, mc_num, r, text);
    return order::kNoReply;
}

std::string LineManager::OrderComPort(const Fields& fields, int conn) {
    if (!CheckFieldCount(fields, order::kComptFields, kLabelCom)) {
        return order::kErr1;
    }
    const int channel = ToInt32(fields[1]);
    if (!CheckChannel(channel, kLabelCom)) {
        return order::kErr1;
    }
    const int mask = ToInt32(fields[2]);
    const std::string bits = vel::text::MaskToBinary(mask);
    VLOG_INFO(_logger, "[{}:{}] ***** order {} : channel={} mc_bit_mask={}", kLabelCom, channel,
              bits);
    const int r = _connectors[static_cast<std::size_t>(channel)]->SetComFlags(conn, mask);
    VLOG_INFO(_logger, "[{}:{}] ***** order {} : channel={} mc_bit_mask={} ret = {}", kLabelCom,
              channel, bits, r != 0 ? "success" : "false");
    return r != 0 ? order::kCpSuc : order::kCpErr;
}

std::string LineManager::OrderUser(const Fields& fields, int conn) {
    if (!CheckFieldCount(fields, order::kUserFields, kLabelUser)) {
        return order::kErr1;
    }
    const int channel = ToInt32(fields[1]);
    if (!CheckChannel(channel, kLabelUser)) {
        return order::kErr1;
    }
    const int pid = ToInt32(fields[2]);
    const int baudrate = ToInt32(fields[3]);
    const uint32_t id =
        _connectors[static_cast<std::size_t>(channel)]->RegisterUser(conn, pid, baudrate);
    if (id == 0) {
        VLOG_WARN(_logger,
                  "[{}:{}] ***** order {} : channel={} process={} baudrate={} : refused (channel "
                  "not open, no room for identities, baud index or user count) : the channel's "
                  "settings apply",
                  kLabelUser, channel, pid, baudrate);
        return order::kUsErr;
    }
    VLOG_INFO(_logger, "[{}:{}] ***** order {} : channel={} process={} baudrate={} : user {}",
              kLabelUser, channel, pid, baudrate, id);
    return order::kUsPrefix + std::to_string(id);
}

std::string LineManager::OrderUsers(const Fields& fields) {
    if (!CheckFieldCount(fields, order::kUsersFields, kLabelUsers)) {
        return order::kErr1;
    }
    const int channel = ToInt32(fields[1]);
    if (!CheckChannel(channel, kLabelUsers)) {
        return order::kErr1;
    }
    const std::vector<ClientViews::Summary> users =
        _connectors[static_cast<std::size_t>(channel)]->Users();
    if (users.empty()) {
        return order::kUlErr;
    }
    std::string reply = order::kUlPrefix;
    const char sep = order::kUserFieldSeparator;
    for (std::size_t i = 0; i < users.size(); ++i) {
        const ClientViews::Summary& u = users[i];
        if (i > 0) {
            reply += order::kUserSeparator;
        }
        reply += fmt::format("{}{}{}{}{}{}{:04X}{}", u.id, sep, u.pid, sep, u.baudrate, sep,
                             static_cast<unsigned>(u.mask) & 0xffffU, sep);
        for (const uint16_t len : u.lens) {
            reply += fmt::format("{:02X}", len);
        }
        reply += fmt::format("{}{}", sep, u.last_cycle_ms);
    }
    return reply;
}

void LineManager::ConnectionEnded(int conn) {
    for (std::size_t channel = 0; channel < _connectors.size(); ++channel) {
        int pid = 0;
        const uint32_t id = _connectors[channel]->DropUser(conn, &pid);
        if (id != 0) {
            VLOG_INFO(_logger,
                      "[{}:{}] ***** connection {} ended : channel={} : user {} (process {}) "
                      "leaves",
                      conn, channel, id, pid);
        }
    }
}

std::string LineManager::OrderReplyFraming(const Fields& fields, int conn) {
    if (!CheckFieldCount(fields, order::kFrameFields, kLabelFrame)) {
        return order::kErr1;
    }
    const int channel = ToInt32(fields[1]);
    if (!CheckChannel(channel, kLabelFrame)) {
        return order::kErr1;
    }
    const int mc_num = ToInt32(fields[2]);
    const int kind = ToInt32(fields[3]);
    const int length = ToInt32(fields[4]);
    VLOG_INFO(_logger, "[{}:{}] ***** order {} : channel={} mc_num={} kind={} length={}",
              kLabelFrame, channel, mc_num, kind, length);
    const int r =
        _connectors[static_cast<std::size_t>(channel)]->SetReplyFraming(conn, mc_num, kind, length);
    const char* text = "success";
    if (r == -1) {
        text = "error (machine number)";
    } else if (r == -2) {
        text = "error (kind or length)";
    } else if (r != 0) {
        text = "error (channel not opened)";
    }
    VLOG_INFO(_logger, "[{}:{}] ***** order {} : channel={} mc_num={} ret = {} ( {} )", kLabelFrame,
              channel, mc_num, r, text);
    return r == 0 ? order::kFrSuc : order::kFrErr;
}

}  // namespace veldw485::line
