// The character format and bit rate of the line as the master set it, and the one a machine
// is configured for.
#pragma once

#include <string>

namespace rs485sim {

struct LineSettings {
    int data_bits{0};  // 5..8; 0: unknown (a pseudo-terminal always reports 8)
    char parity{'-'};  // 'N', 'E', 'O'; '-': unknown
    int stop_bits{0};  // 1 or 2; 0: unknown
    long bit_rate{0};  // 0: unknown

    // "8E1" (data bits, parity, stop bits); false when the text is not of that form.
    static bool ParseFormat(const std::string& text, LineSettings* out);
    // What the master asked for on the pseudo-terminal whose slave side is slave_fd (path
    // slave_path): from the preload shim's file in shim_dir when there is one, otherwise
    // from the terminal itself, which keeps the speed, the stop bits and odd parity only.
    static LineSettings Read(int slave_fd, const std::string& slave_path,
                             const std::string& shim_dir);

    // "8E1/38400", '-' for what is unknown.
    std::string Text() const;
    // False when a field known on both sides differs.
    bool Agrees(const LineSettings& configured) const;
};

}  // namespace rs485sim
