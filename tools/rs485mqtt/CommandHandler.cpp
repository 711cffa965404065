#include "CommandHandler.h"

#include <mosquitto.h>
#include <rs485.h>

#include "ByteText.h"
#include "NumberText.h"

namespace rs485mqtt {

namespace {

// The topic's levels, split by libmosquitto; false for a topic it cannot split.
bool Levels(const std::string& topic, std::vector<std::string>* levels) {
    char** tokens = nullptr;
    int count = 0;
    if (mosquitto_sub_topic_tokenise(topic.c_str(), &tokens, &count) != MOSQ_ERR_SUCCESS) {
        return false;
    }
    for (int i = 0; i < count; ++i) {
        levels->push_back(tokens[i] != nullptr ? tokens[i] : "");
    }
    mosquitto_sub_topic_tokens_free(&tokens, count);
    return true;
}

}  // namespace

bool CommandHandler::Parse(const std::string& topic, const std::string& payload, Command* command,
                           std::string* why) const {
    if (!config_.commands_enabled) {
        *why = "commands are disabled on this node (commands_enabled is false)";
        return false;
    }
    const std::string base = config_.Base() + "/";
    if (topic.compare(0, base.size(), base) != 0) {
        *why = "not a command topic";
        return false;
    }
    std::vector<std::string> levels;
    // <channel>/set/<command>[/<machine>]
    if (!Levels(topic.substr(base.size()), &levels) || levels.size() < 3 || levels[1] != "set") {
        *why = "not a command topic";
        return false;
    }
    unsigned long channel = 0;
    if (!rs485tools::NumberText::ParseUnsigned(levels[0], 32, &channel) || channel < 1) {
        *why = "invalid channel \"" + levels[0] + "\"";
        return false;
    }
    const ChannelSettings* ch = config_.Channel(static_cast<int>(channel));
    if (ch == nullptr) {
        *why = "channel " + levels[0] + " is not configured";
        return false;
    }
    if (payload.size() > kMaxPayload) {
        *why = "payload of " + std::to_string(payload.size()) + " bytes is too long";
        return false;
    }
    command->channel = ch->channel;
    const std::string& what = levels[2];
    if (what == "request") {
        unsigned long machine = 0;
        if (levels.size() != 4 ||
            !rs485tools::NumberText::ParseUnsigned(levels[3], RS485_MACHINE_COUNT, &machine) ||
            machine < 1) {
            *why = "set/request needs a machine number 1..15 as the last topic level";
            return false;
        }
        if (ch->Machine(static_cast<int>(machine)) == nullptr) {
            *why = "machine " + levels[3] + " is not configured on channel " + levels[0];
            return false;
        }
        if (!rs485tools::ByteText::ParseHex(payload, &command->request, why)) {
            return false;
        }
        if (command->request.size() > RS485_MAX_REQUEST) {
            *why = "request of " + std::to_string(command->request.size()) +
                   " bytes is longer than " + std::to_string(RS485_MAX_REQUEST);
            return false;
        }
        command->kind = Command::Kind::kRequest;
        command->machine = static_cast<int>(machine);
        return true;
    }
    if (levels.size() != 3) {
        *why = "unknown command \"" + topic.substr(base.size()) + "\"";
        return false;
    }
    if (what == "mask") {
        int mask = ch->MachineMask();
        if (payload != "all" && !rs485tools::NumberText::ParseMachineList(payload, &mask, why)) {
            return false;
        }
        if ((mask & ~ch->MachineMask()) != 0) {
            *why = "the selection \"" + payload + "\" names machines that are not configured";
            return false;
        }
        command->kind = Command::Kind::kMask;
        command->mask = mask;
        return true;
    }
    if (what == "cycle-now") {
        command->kind = Command::Kind::kCycleNow;
        return true;
    }
    *why = "unknown command \"" + what + "\" (request, mask or cycle-now)";
    return false;
}

}  // namespace rs485mqtt
