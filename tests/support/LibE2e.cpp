#include "LibE2e.h"

#include <unistd.h>

#include <atomic>

namespace testsupport {

namespace {
std::atomic<int> g_runs{0};

// A library built with a sanitizer needs its runtime loaded first, so the client is built
// with the same one.
#if defined(__SANITIZE_ADDRESS__)
constexpr char kSanitizeFlag[] = "-fsanitize=address,undefined";
#elif defined(__SANITIZE_THREAD__)
constexpr char kSanitizeFlag[] = "-fsanitize=thread";
#else
constexpr char kSanitizeFlag[] = "";
#endif
}  // namespace

std::string BuildCClient(std::string* log, const std::string& name, const std::string& link_dir) {
    const std::string src = Env("RS485_SOURCE_DIR");
    const std::string lib = Env("RS485_LIB_DIR");
    const std::string out = "/var/local/sandbox/" + name;
    // RS485_CC: the cross compiler when the library was cross-built.
    std::vector<std::string> args{Env("RS485_CC", "/usr/bin/cc"),
                                  "-std=c99",
                                  "-pedantic",
                                  "-Wall",
                                  "-Wextra",
                                  "-Werror",
                                  "-pthread",
                                  "-I" + src + "/include",
                                  "-I" + Env("RS485_BINARY_DIR") + "/include",
                                  src + "/tests/c/" + name + ".c",
                                  "-o",
                                  out,
                                  "-L" + (link_dir.empty() ? lib : link_dir),
                                  "-l:librs485.so.1",
                                  "-Wl,-rpath," + lib};
    if (kSanitizeFlag[0] != '\0') {
        args.emplace_back(kSanitizeFlag);
    }
    ChildProcess cc;
    if (!cc.Start(args, "/var/local/sandbox/cc.out", "/var/local/sandbox/cc.err")) {
        return std::string();
    }
    if (!cc.Wait(120000) || cc.ExitStatus() != 0) {
        *log = cc.Stdout() + cc.Stderr();
        return std::string();
    }
    return out;
}

bool CClientRun::Start(const std::string& program, const std::vector<std::string>& steps,
                       const std::vector<std::string>& extra_env) {
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), steps.begin(), steps.end());
    const std::string base = "/var/local/sandbox/c_client." + std::to_string(++g_runs);
    return proc_.Start(argv, base + ".out", base + ".err", extra_env);
}

bool CClientRun::Finish(int timeout_ms) {
    return proc_.Wait(timeout_ms) && proc_.ExitStatus() == 0;
}

std::vector<std::string> CClientRun::Lines() const {
    std::vector<std::string> out;
    for (const std::string& l : testsupport::Lines(proc_.Stdout())) {
        if (l.rfind("@ ", 0) == 0) {
            out.push_back(l.substr(2));
        }
    }
    return out;
}

std::string CClientRun::Line(const std::string& prefix) const {
    for (const std::string& l : Lines()) {
        if (l.rfind(prefix, 0) == 0) {
            return l;
        }
    }
    return std::string();
}

bool BusSimulator::Start(const std::string& machines_json, const std::string& link) {
    const std::string base = link + ".sim";
    log_ = base + ".log";
    if (!WriteFile(base + ".json", machines_json)) {
        return false;
    }
    if (!proc_.Start(
            // Unpaced: a reply framed by silence must not be cut by a busy machine's gaps.
            {Env("RS485SIM_BIN"), "--config", base + ".json", "--link", link, "--no-pacing",
             "--log", log_},
            base + ".out", base + ".err")) {
        return false;
    }
    return WaitUntil([&link] { return ::access(link.c_str(), F_OK) == 0; }, 15000);
}

std::string BusSimulator::Log() const {
    return ReadFile(log_);
}

}  // namespace testsupport
