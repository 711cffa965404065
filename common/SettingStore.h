// The settings read from the JSON configuration file. The daemon and the library each wrap
// this store in their own singleton class; the only differences are the file and whether the
// start delay is known.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "SettingRecords.h"

namespace vel::settings {

class SettingStore {
  public:
    static constexpr int32_t kMissingInt = INT32_MIN;
    // Larger files are refused as unreadable: a configuration is a few kilobytes.
    static constexpr std::size_t kMaxFileSize = std::size_t{1024} * 1024;
    // Deeper nesting of arrays and objects fails as a syntax error, so that a hostile file
    // cannot exhaust the stack.
    static constexpr int kMaxNesting = 64;

    SettingStore(std::string conf_file, bool daemon_build);
    virtual ~SettingStore() = default;
    SettingStore(const SettingStore&) = delete;
    SettingStore& operator=(const SettingStore&) = delete;

    // 0 read, 1 file not readable (or too large), 2 not a usable JSON document.
    int loadSettingFile();
    // The result of the last loadSettingFile and, when it was not 0, why the file was not
    // taken ("No such file or directory", picojson's syntax error, ...).
    int getLoadResult() const { return load_result_; }
    const std::string& getLoadProblem() const { return load_problem_; }

    std::string getConfStr(std::string key) const;
    int32_t getConfInt(std::string key) const;
    int32_t getConfLineNum() const;
    std::string getConfLineStr(int32_t index, std::string key) const;
    int32_t getConfLineInt(int32_t index, std::string key) const;
    // A direction-control key of line index (one of kLineOptionKeys); false when absent.
    bool getConfLineOption(int32_t index, const std::string& key, LineOption* out) const;
    int32_t getConfShmemGrpNum() const;
    std::string getConfShmemStr(int32_t group, std::string key, int32_t item) const;
    int32_t getConfShmemInt(int32_t group, std::string key, int32_t item) const;
    int32_t getConfShmemInGrpNum() const;
    // Sends the trace lines of the process where the key "trace" says.
    void ApplyTraceSetting() const;

    const std::string conf_file;
    const std::string key_order_conn{"order_conn"};
    const std::string key_server{"server"};
    const std::string key_port{"port"};
    const std::string key_conenct_timeout{"conenct_timeout"};
    const std::string key_res_wait_timeout{"res_wait_timeout"};
    const std::string key_log{"log"};
    const std::string key_log_dir{"log_dir"};
    const std::string key_log_file{"log_file"};
    const std::string key_log_max_bytes{"log_max_bytes"};
    const std::string key_log_counts{"log_counts"};
    const std::string key_line{"line"};
    const std::string key_device{"device"};
    const std::string key_de_line{"de_line"};
    const std::string key_baudrate{"baudrate"};
    const std::string key_max_machine{"max_machine"};
    const std::string key_shared_indata_num{"shared_indata_num"};
    const std::string key_shared_key_dir{"shared_key_dir"};
    const std::string key_shared{"shared"};
    const std::string key_ipc_key{"ipc_key"};
    const std::string key_sh_id{"sh_id"};
    const std::string key_shmem_size{"shmem_size"};
    const std::string key_sem_key{"sem_key"};
    const std::string key_start_wait_interval{"start_wait_interval"};
    const std::string key_trace{"trace"};
    const std::string key_direction{"direction"};
    // The keys of the direction modes, read only together with "direction".
    static constexpr const char* kLineOptionKeys[] = {
        "direction",           "rts_on_send",  "delay_before_send_ms",
        "delay_after_send_ms", "rx_during_tx", "echo",
        "gpio_chip",           "gpio_line",    "gpio_active"};

  protected:
    OrderConnData order_conn_data;
    LogData log_data;
    std::vector<LineData> line_data;
    std::vector<ShmemData> shmem_data;
    int32_t shared_indata_num{0};
    std::string shared_key_dir;
    int32_t start_wait_interval{10000};  // daemon build only
    // "stdout", "stderr" or "off"; an unknown value is reported and leaves the default.
    std::string trace{"stdout"};

  private:
    // Records a failed load: reason for getLoadProblem, result returned.
    int _failed(int result, std::string reason);

    const bool daemon_build_;
    int load_result_{0};
    std::string load_problem_;
};

}  // namespace vel::settings
