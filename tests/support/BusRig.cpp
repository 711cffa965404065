#include "BusRig.h"

#include <signal.h>
#include <unistd.h>

namespace testsupport {

BusRig::~BusRig() {
    StopDaemon();
}

void BusRig::StopDaemon() {
    if (daemon_.Process().Running()) {
        daemon_.Process().Signal(SIGKILL);
        daemon_.Process().Wait(10000);
    }
}

std::string BusRig::Link(int line) {
    return "/var/local/sandbox/tty" + std::to_string(line);
}

bool BusRig::StartSimulator(int line) {
    const std::string link = Link(line);
    auto& slot = sims_[static_cast<std::size_t>(line)];
    slot = std::make_unique<ChildProcess>();
    if (!slot->Start({Env("RS485SIM_BIN"), "--link", link, "--config", kMachinesFile, "--baud", "5",
                      "--no-pacing", "--log", link + ".log"},
                     link + ".out", link + ".err")) {
        return false;
    }
    return WaitUntil([&] { return FileExists(link); }, 20000);
}

void BusRig::StopSimulator(int line) {
    ChildProcess& sim = Sim(line);
    sim.Signal(SIGKILL);
    sim.Wait(10000);
    ::unlink(Link(line).c_str());
}

bool BusRig::Start(int lines, const std::string& machines_json,
                   const std::vector<std::pair<std::string, std::string>>& patch) {
    if (!WriteFile(kMachinesFile, machines_json)) {
        return false;
    }
    ConfigPlan plan;
    sims_.resize(static_cast<std::size_t>(lines));
    for (int i = 0; i < lines; ++i) {
        if (!StartSimulator(i)) {
            return false;
        }
        plan.lines.push_back({Link(i), "none", 5, 15});
    }
    std::string text = MakeConfig(plan);
    for (const auto& [from, to] : patch) {
        const std::size_t at = text.find(from);
        if (at == std::string::npos) {
            return false;
        }
        text.replace(at, from.size(), to);
    }
    return WriteFile(kDaemonConf, text) && WriteFile(kLibConf, text) && daemon_.Start();
}

std::string BusRig::Order(TcpClient& c, const std::string& text, int timeout_ms) {
    if (!c.Send(text)) {
        return "<send failed>";
    }
    return c.Recv(timeout_ms);
}

}  // namespace testsupport
