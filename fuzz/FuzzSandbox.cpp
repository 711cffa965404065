#include "FuzzSandbox.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace rs485fuzz {

void RequireSandbox(const char* target) {
    const char* inner = std::getenv("RS485_SANDBOX_INNER");
    if (inner == nullptr || std::strcmp(inner, "1") != 0) {
        std::fprintf(stderr, "%s: run it through scripts/fuzz.sh (needs scripts/sandbox)\n",
                     target);
        std::abort();
    }
}

void WriteOrDie(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        std::abort();
    }
}

void SilenceTraces() {
    std::fflush(stdout);
    const int fd = ::open("/dev/null", O_WRONLY);
    if (fd >= 0) {
        ::dup2(fd, STDOUT_FILENO);
        ::close(fd);
    }
}

std::string Config(const std::string& lines, const std::string& shared, int res_wait_ms) {
    return "{\"order_conn\": {\"server\": \"127.0.0.1\", \"port\": 10001, "
           "\"conenct_timeout\": 200, \"res_wait_timeout\": " +
           std::to_string(res_wait_ms) +
           "},\n"
           "\"log\": {\"log_dir\": \"/var/local/vellog\", \"log_file\": \"dwmid.log\", "
           "\"log_max_bytes\": 1000000, \"log_counts\": 2},\n"
           "\"line\": [" +
           lines + "],\n\"shared_indata_num\": 2,\n\"shared_key_dir\": \"/var/local/velkey\",\n" +
           "\"shared\": [" + shared + "],\n\"start_wait_interval\": 0}\n";
}

}  // namespace rs485fuzz
