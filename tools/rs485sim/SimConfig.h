// The slave machines the simulator answers as, read from a JSON file.
#pragma once

#include <string>
#include <vector>

#include "LineSettings.h"

namespace rs485sim {

enum class Fault { kNone, kNoReply, kCutShort, kGarbage, kOverLong, kBadCrc };

struct MachineSpec {
    std::string name;
    // Recognition: the byte at address_pos equals address, or the request starts with prefix.
    int address{-1};
    int address_pos{0};
    std::string prefix;
    // Bytes that make up a request; 0: the request ends after a silence on the line.
    int request_length{0};
    std::string reply;
    int delay_ms{0};
    std::vector<int> pieces;  // sizes of the reply pieces; the rest goes in a last piece
    int gap_ms{0};            // pause between pieces
    Fault fault{Fault::kNone};
    int cut_length{-1};     // kCutShort: bytes sent; -1 half of the reply
    int extra_length{500};  // kOverLong: filler bytes appended to the reply
    // > 0: answer a Modbus RTU request with a valid reply of this many bytes instead of reply.
    int modbus_reply_length{0};
    // > 0: answer a Modbus RTU request with an exception reply carrying this code.
    int modbus_exception{0};
    // The format and bit rate the machine listens at; unknown fields accept anything.
    LineSettings line;

    // Whether the bytes seen so far are this machine's request; *decided is false while too
    // few bytes have come to tell.
    bool Matches(const std::string& bytes, bool* decided) const;
};

// Reads up to 15 machines; on failure returns false with a message in *error.
bool LoadConfig(const std::string& path, std::vector<MachineSpec>* machines, std::string* error);

}  // namespace rs485sim
