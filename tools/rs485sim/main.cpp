// rs485sim: a simulated RS-485 bus of up to 15 slave machines on a pseudo-terminal, for
// developing and testing without the hardware.
#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "SimConfig.h"
#include "SimLog.h"
#include "Simulator.h"

namespace {

constexpr int kExitUsage = 2;

void Usage(std::FILE* out) {
    std::fputs(
        "usage: rs485sim --config FILE (--link PATH | --tty DEVICE) [options]\n"
        "\n"
        "Answers as the slave machines described in FILE on a new pseudo-terminal whose\n"
        "slave side is made available as the symbolic link PATH (or on the tty DEVICE).\n"
        "\n"
        "  -c, --config FILE   JSON description of the machines (required)\n"
        "  -l, --link PATH     symbolic link to the pseudo-terminal, created when ready and\n"
        "                      removed at the end\n"
        "  -t, --tty DEVICE    answer on an existing tty instead (the line paces itself)\n"
        "  -b, --baud N        baud index 0..5 = 1200, 2400, 4800, 9600, 19200, 38400\n"
        "                      (default 3); reply bytes are paced at 11 bits a character\n"
        "  -n, --no-pacing     write each reply piece at once\n"
        "  -g, --gap-us N      silence that ends a request without request_length\n"
        "                      (default 3.5 character times)\n"
        "  -s, --settings-dir DIR\n"
        "                      read the line settings the master asked for from the files\n"
        "                      that the lineshim preload library writes into DIR\n"
        "  -e, --echo          give the master's bytes back as it sends them, as an adapter\n"
        "                      that hears its own transmission does; bytes sent while a\n"
        "                      machine answers come back garbled (a collision)\n"
        "  -o, --log FILE      append the log to FILE instead of standard output\n"
        "  -h, --help          this text\n"
        "\n"
        "Stops on SIGINT or SIGTERM. Exit status 0 after a signal, 1 when the port fails,\n"
        "2 for a usage or configuration error.\n",
        out);
}

bool ParseInt(const char* text, long lo, long hi, long* out) {
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < lo || v > hi) {
        return false;
    }
    *out = v;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    static const option kOptions[] = {
        {"config", required_argument, nullptr, 'c'},
        {"link", required_argument, nullptr, 'l'},
        {"tty", required_argument, nullptr, 't'},
        {"baud", required_argument, nullptr, 'b'},
        {"no-pacing", no_argument, nullptr, 'n'},
        {"gap-us", required_argument, nullptr, 'g'},
        {"settings-dir", required_argument, nullptr, 's'},
        {"echo", no_argument, nullptr, 'e'},
        {"log", required_argument, nullptr, 'o'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    rs485sim::SimOptions opts;
    int c = 0;
    while ((c = getopt_long(argc, argv, "c:l:t:b:ng:s:eo:h", kOptions, nullptr)) != -1) {
        long v = 0;
        switch (c) {
            case 'c':
                opts.config = optarg;
                break;
            case 'l':
                opts.link = optarg;
                break;
            case 't':
                opts.tty = optarg;
                break;
            case 'b':
                if (!ParseInt(optarg, 0, 5, &v)) {
                    std::fprintf(stderr, "rs485sim: --baud takes 0 to 5\n");
                    return kExitUsage;
                }
                opts.baud = static_cast<int>(v);
                break;
            case 'n':
                opts.pacing = false;
                break;
            case 'g':
                if (!ParseInt(optarg, 0, 10000000, &v)) {
                    std::fprintf(stderr, "rs485sim: --gap-us takes 0 to 10000000\n");
                    return kExitUsage;
                }
                opts.gap_us = v;
                break;
            case 's':
                opts.settings_dir = optarg;
                break;
            case 'e':
                opts.echo = true;
                break;
            case 'o':
                opts.log = optarg;
                break;
            case 'h':
                Usage(stdout);
                return 0;
            default:
                Usage(stderr);
                return kExitUsage;
        }
    }
    if (optind != argc || opts.config.empty() || (opts.link.empty() && opts.tty.empty())) {
        Usage(stderr);
        return kExitUsage;
    }

    std::vector<rs485sim::MachineSpec> machines;
    std::string error;
    if (!rs485sim::LoadConfig(opts.config, &machines, &error)) {
        std::fprintf(stderr, "rs485sim: %s\n", error.c_str());
        return kExitUsage;
    }
    rs485sim::SimLog log;
    if (!log.Open(opts.log)) {
        std::fprintf(stderr, "rs485sim: cannot open log %s\n", opts.log.c_str());
        return kExitUsage;
    }
    rs485sim::Simulator sim(opts, std::move(machines), log);
    if (!sim.Start(&error)) {
        std::fprintf(stderr, "rs485sim: %s\n", error.c_str());
        return 1;
    }
    return sim.Run() ? 0 : 1;
}
