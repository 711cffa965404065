// One machine's reply as a JSON object, the same in every tool that writes one (rs485ctl
// --json, rs485mqtt's machine messages): "machine", "status" (the number), "status_name",
// "len", "hex" ("41 2D 4F 4B") and "text" (printable ASCII, '.' for other bytes).
#pragma once

#include <picojson.h>

#include "MachineReply.h"

namespace rs485tools {

class ReplyJson {
  public:
    // The reply's members; a tool adds its own (channel, time, ...) beside them.
    static picojson::object Object(const MachineReply& reply);
};

}  // namespace rs485tools
