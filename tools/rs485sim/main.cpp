// rs485sim: a simulated RS-485 bus of up to 15 slave machines on a pseudo-terminal, for
// developing and testing without the hardware.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>
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

int Run(int argc, char** argv) {
    rs485sim::SimOptions opts;
    CLI::App app{"simulated RS-485 bus", "rs485sim"};
    app.add_option("-c,--config", opts.config);
    app.add_option("-l,--link", opts.link);
    app.add_option("-t,--tty", opts.tty);
    app.add_option("-b,--baud", opts.baud)->check(CLI::Range(0, 5));
    bool no_pacing = false;
    app.add_flag("-n,--no-pacing", no_pacing);
    app.add_option("-g,--gap-us", opts.gap_us)->check(CLI::Range(0L, 10000000L));
    app.add_option("-s,--settings-dir", opts.settings_dir);
    app.add_flag("-e,--echo", opts.echo);
    app.add_option("-o,--log", opts.log);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        Usage(stdout);
        return 0;
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "rs485sim: %s\n", e.what());
        Usage(stderr);
        return kExitUsage;
    }
    opts.pacing = !no_pacing;
    if (opts.config.empty() || (opts.link.empty() && opts.tty.empty())) {
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

}  // namespace

int main(int argc, char** argv) {
    // What CLI11 or the standard library may still throw (an allocation failing, say) ends the
    // program with a message and status 1 instead of an abort.
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", "rs485sim", e.what());
    } catch (...) {
        std::fprintf(stderr, "%s: unexpected error\n", "rs485sim");
    }
    return 1;
}
