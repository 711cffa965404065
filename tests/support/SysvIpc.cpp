#include "SysvIpc.h"

#include <fstream>
#include <sstream>

namespace testsupport {

namespace {

// Both files: key, id, perms (octal), then size or nsems; segments have nattch two columns on.
std::vector<IpcObject> ReadIpcList(const char* path, bool segments) {
    std::vector<IpcObject> objects;
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        IpcObject obj;
        std::string perms;
        fields >> obj.key >> obj.id >> perms >> obj.size;
        if (!fields) {
            continue;
        }
        obj.perms = static_cast<unsigned int>(std::stoul(perms, nullptr, 8)) & 0777U;
        if (segments) {
            long cpid = 0;
            long lpid = 0;
            fields >> cpid >> lpid >> obj.nattch;
        }
        objects.push_back(obj);
    }
    return objects;
}

}  // namespace

std::vector<IpcObject> ListShmSegments() {
    return ReadIpcList("/proc/sysvipc/shm", true);
}

std::vector<IpcObject> ListSemaphoreSets() {
    return ReadIpcList("/proc/sysvipc/sem", false);
}

IpcObject FindIpc(const std::vector<IpcObject>& objects, int id) {
    for (const IpcObject& obj : objects) {
        if (obj.id == id) {
            return obj;
        }
    }
    return IpcObject{};
}

}  // namespace testsupport
