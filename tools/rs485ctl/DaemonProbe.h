// Tells "daemon not running" from "channel refused" after a failed open: both give the
// same result from the library, but only the first leaves nothing listening on the port.
#pragma once

#include <string>

#include "FixedPaths.h"

namespace rs485ctl {

class DaemonProbe {
  public:
    // Reads "server" and "port" of "order_conn" and the "log" settings from the library's
    // configuration file, with the defaults for whatever is missing.
    explicit DaemonProbe(const std::string& conf_file = RS485_CONF_DIR "/dwlib.conf");

    // True when a TCP connection to server:port can be made (and is closed again at once).
    bool Reachable() const;
    // Sends one order on a connection of its own and returns the reply word; empty when the
    // daemon cannot be reached or did not answer within timeout_ms.
    std::string Ask(const std::string& order, int timeout_ms) const;
    std::string Address() const { return server_ + ":" + std::to_string(port_); }
    // The daemon's log file, from "log_dir" and "log_file" of the same file (both
    // configuration files describe the same daemon).
    std::string LogPath() const { return log_dir_ + "/" + log_file_; }
    // Why the configuration file could not be used (it is missing, unreadable or not a JSON
    // object); empty when it was read.
    const std::string& ConfigProblem() const { return problem_; }
    const std::string& ConfigFile() const { return conf_file_; }

  private:
    // A connected socket to server:port, or -1.
    int _connect() const;

    std::string conf_file_;
    std::string problem_;
    std::string server_{"localhost"};
    int port_{10001};
    std::string log_dir_{RS485_LOG_DIR};
    std::string log_file_{"dwmid.log"};
};

}  // namespace rs485ctl
