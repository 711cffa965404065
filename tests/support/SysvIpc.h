// The System V objects of this IPC namespace as the kernel lists them in /proc/sysvipc.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

struct IpcObject {
    long key{0};
    int id{-1};
    unsigned int perms{0};  // permission bits, e.g. 0600
    unsigned long size{0};  // bytes of a segment, semaphores of a set
    int nattch{0};          // attached processes (segments only)
};

std::vector<IpcObject> ListShmSegments();
std::vector<IpcObject> ListSemaphoreSets();
// The object with this id, or one with id -1 when there is none.
IpcObject FindIpc(const std::vector<IpcObject>& objects, int id);

}  // namespace testsupport
