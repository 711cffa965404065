#include "ReplyJson.h"

#include "ByteText.h"
#include "MachineStats.h"

namespace rs485tools {

picojson::object ReplyJson::Object(const MachineReply& reply) {
    picojson::object m;
    m["machine"] = picojson::value(static_cast<double>(reply.machine));
    m["status"] = picojson::value(static_cast<double>(reply.status));
    m["status_name"] = picojson::value(MachineStats::StatusName(reply.status));
    m["len"] = picojson::value(static_cast<double>(reply.data.size()));
    m["hex"] = picojson::value(ByteText::ToHex(reply.data.data(), reply.data.size()));
    m["text"] = picojson::value(ByteText::ToPrintable(reply.data.data(), reply.data.size()));
    return m;
}

}  // namespace rs485tools
