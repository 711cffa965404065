#include "Emulation.h"

#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <sstream>

#include "TestSupport.h"

namespace testsupport {

namespace {

// e_machine of an ELF file; 0 for anything else.
std::uint16_t ElfMachine(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    unsigned char head[20] = {};
    if (!in.read(reinterpret_cast<char*>(head), sizeof(head)) || head[0] != 0x7f ||
        head[1] != 'E' || head[2] != 'L' || head[3] != 'F') {
        return 0;
    }
    // Both machines in question are little-endian.
    return static_cast<std::uint16_t>(head[18] | (head[19] << 8));
}

std::string InPath(const std::string& program) {
    if (program.find('/') != std::string::npos) {
        return program;
    }
    std::istringstream dirs(Env("PATH", "/usr/bin:/bin"));
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = dir + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return program;
}

}  // namespace

bool Emulated() {
    return Env("RS485_EMULATED") == "1";
}

// Measured under qemu-arm on a 2-core build machine: a busy test thread can keep a responder
// thread off the processor for well over 100 ms.
int EmulationSlowdown() {
    return Emulated() ? 10 : 1;
}

std::vector<std::string> WithEmulator(const std::vector<std::string>& argv) {
    const std::string emulator = Env("RS485_EMULATOR");
    if (emulator.empty() || argv.empty()) {
        return argv;
    }
    const std::uint16_t machine = ElfMachine(argv[0]);
    if (machine == 0 || machine == ElfMachine("/bin/sh")) {
        return argv;
    }
    std::vector<std::string> command;
    std::istringstream words(emulator);
    std::string word;
    while (words >> word) {
        command.push_back(command.empty() ? InPath(word) : word);
    }
    command.insert(command.end(), argv.begin(), argv.end());
    return command;
}

}  // namespace testsupport
