// rs485mqtt: publishes the lines of this controller to an MQTT broker (see rs485mqtt(1)).
#include <signal.h>

#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>
#include <string>

#include "Bridge.h"
#include "BridgeLog.h"
#include "ConfigLoader.h"
#include "FixedPaths.h"
#include "LibConfCheck.h"
#include "PlanPrinter.h"
#include "SignalWatch.h"
#include "StdoutDiverter.h"

namespace {

constexpr char kUsage[] =
    "usage: rs485mqtt [--config FILE] [--check] [--trace]\n"
    "  --config FILE  configuration file (default " RS485_CONF_DIR
    "/rs485mqtt.conf)\n"
    "  --check        check the configuration and its channels against dwlib.conf, print\n"
    "                 the plan and exit\n"
    "  --trace        let the library's trace lines through to standard error\n"
    "exit status: 0 valid (--check) or stopped by SIGTERM/SIGINT; 1 the MQTT client could\n"
    "not be set up; 2 configuration refused or unreadable (the message gives the reason);\n"
    "64 unknown argument\n";

// Usage errors, as sysexits.h names them.
constexpr int kExitUsage = 64;

int Run(int argc, char** argv) {
    using namespace rs485mqtt;
    std::string path = kDefaultConfigPath;
    bool check = false;
    bool trace = false;
    CLI::App app{"MQTT bridge", "rs485mqtt"};
    app.set_help_flag("--help");
    app.add_option("--config", path);
    app.add_flag("--check", check);
    app.add_flag("--trace", trace);
    // Left over arguments are named in the message below rather than by CLI11.
    app.allow_extras();
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::fputs(kUsage, stdout);
        return 0;
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "rs485mqtt: %s\n%s", e.what(), kUsage);
        return kExitUsage;
    }
    if (!app.remaining().empty()) {
        std::fprintf(stderr, "rs485mqtt: unknown argument \"%s\"\n%s",
                     app.remaining().front().c_str(), kUsage);
        return kExitUsage;
    }
    BridgeConfig config;
    std::string error;
    if (!ConfigLoader::Load(path, &config, &error)) {
        if (check) {
            std::fprintf(stderr, "rs485mqtt: %s: %s\n", path.c_str(), error.c_str());
        } else {
            BridgeLog::Error("configuration " + path + " refused: " + error);
        }
        return 2;
    }
    if (check) {
        if (!LibConfCheck::Channels(config, kLibConfPath, &error)) {
            std::fprintf(stderr, "rs485mqtt: %s: %s\n", path.c_str(), error.c_str());
            return 2;
        }
        PlanPrinter::Print(stdout, path, config);
        return 0;
    }
    // A broker that drops the connection must not end the bridge through SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    const rs485tools::SignalWatch signals;
    // The library's trace lines would flood the journal at every cycle.
    const rs485tools::StdoutDiverter diverter(trace);
    Bridge bridge(config);
    return bridge.Run();
}

}  // namespace

int main(int argc, char** argv) {
    // What CLI11 or the standard library may still throw (an allocation failing, say) ends the
    // program with a message and status 1 instead of an abort.
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", "rs485mqtt", e.what());
    } catch (...) {
        std::fprintf(stderr, "%s: unexpected error\n", "rs485mqtt");
    }
    return 1;
}
