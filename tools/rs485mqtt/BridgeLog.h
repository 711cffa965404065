// The bridge's log: one line per message on standard error, prefixed with the syslog
// priority in angle brackets ("<3>" error, "<4>" warning, "<6>" information), which the
// journal turns into the message's priority when the bridge runs as a service.
#pragma once

#include <string>

namespace rs485mqtt {

class BridgeLog {
  public:
    static void Error(const std::string& text) { Write(3, text); }
    static void Warning(const std::string& text) { Write(4, text); }
    static void Info(const std::string& text) { Write(6, text); }

  private:
    static void Write(int priority, const std::string& text);
};

}  // namespace rs485mqtt
