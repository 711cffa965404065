#include "MemInfo.h"

namespace veldwlib::shmem {

void MemInfo::clear() {
    no = -1;
    seg_id = -1;
    sem_id = -1;
}

}  // namespace veldwlib::shmem
