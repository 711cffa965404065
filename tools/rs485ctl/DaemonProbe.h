// Tells "daemon not running" from "channel refused" after a failed open: both give the
// same result from the library, but only the first leaves nothing listening on the port.
#pragma once

#include <string>

namespace rs485ctl {

class DaemonProbe {
  public:
    // Reads "server" and "port" of "order_conn" from the library's configuration file, with
    // the library's defaults for whatever is missing.
    explicit DaemonProbe(const std::string& conf_file = "/usr/local/etc/vellib/dwlib.conf");

    // True when a TCP connection to server:port can be made (and is closed again at once).
    bool Reachable() const;
    std::string Address() const { return server_ + ":" + std::to_string(port_); }

  private:
    std::string server_{"localhost"};
    int port_{10001};
};

}  // namespace rs485ctl
