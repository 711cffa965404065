// Exit statuses of rs485ctl; scripts tell the failure kinds apart by them.
#pragma once

namespace rs485ctl {

enum ExitCode : int {
    kExitOk = 0,
    // A cycle failed (the daemon reports that when any polled machine timed out or had a read
    // error), or the machine selection or a request was refused.
    kExitRunFailed = 1,
    kExitBadArguments = 2,
    // Nothing accepts connections on the configured server and port.
    kExitDaemonNotRunning = 3,
    // The daemon is there but did not open the channel.
    kExitChannelRefused = 4,
    // The daemon opened the channel but its shared memory could not be attached.
    kExitNoSharedMemory = 5,
    // The library's configuration file is missing, unreadable or broken.
    kExitNoConfiguration = 6,
};

}  // namespace rs485ctl
