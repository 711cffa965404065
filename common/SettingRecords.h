// Records of the settings store.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "FixedPaths.h"

namespace vel::settings {

struct OrderConnData {
    std::string server{"localhost"};
    int32_t port{10001};
    int32_t connect_timeout{1000};  // from the key "conenct_timeout"
    int32_t res_wait_timeout{1000};
};

struct LogData {
    std::string log_dir{RS485_LOG_DIR};
    std::string log_file{"dwmid.log"};
    int32_t log_max_bytes{100000};
    int32_t log_counts{5};
};

// One direction-control key of a line entry as the file gave it. The daemon checks the
// values; a key of another type is kept as such, so that it can be refused by name.
struct LineOption {
    enum class Type { kString, kNumber, kBool, kOther };
    Type type{Type::kOther};
    std::string text;  // kString
    double number{0};  // kNumber
    bool flag{false};  // kBool
};

struct LineData {
    LineData(std::string dev, std::string de, int32_t baud, int32_t max_mc)
        : device(std::move(dev)), de_line(std::move(de)), baudrate(baud), max_machine(max_mc) {}
    std::string device;
    std::string de_line;
    int32_t baudrate;
    int32_t max_machine;
    // The direction-control keys present in the entry ("direction" and the keys of its modes).
    std::map<std::string, LineOption> options;
};

struct ShmemData {
    ShmemData(std::vector<std::string> ipc, std::vector<int32_t> id, std::vector<int32_t> size,
              std::vector<std::string> sem)
        : ipc_key(std::move(ipc)),
          sh_id(std::move(id)),
          shmem_size(std::move(size)),
          sem_key(std::move(sem)) {}
    std::vector<std::string> ipc_key;
    std::vector<int32_t> sh_id;
    std::vector<int32_t> shmem_size;
    std::vector<std::string> sem_key;
};

}  // namespace vel::settings
