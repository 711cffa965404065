#include "SettingLibDatas.h"

#include <atomic>
#include <mutex>
#include <new>

namespace veldwlib::data {

namespace {
// Static storage that is never destroyed: an application thread may still be inside a library
// call while the process runs its exit handlers.
alignas(SettingLibDatas) unsigned char g_storage[sizeof(SettingLibDatas)];
std::once_flag g_created;
std::atomic<SettingLibDatas*> g_instance{nullptr};
}  // namespace

SettingLibDatas::SettingLibDatas() : SettingStore(kConfFile, false) {}

void SettingLibDatas::create() {
    // Two threads opening their first channels at once read the file once.
    std::call_once(g_created, [] {
        auto* store = new (g_storage) SettingLibDatas();
        store->ApplyTraceSetting();
        g_instance.store(store);
    });
}

SettingLibDatas* SettingLibDatas::get_instance() {
    return g_instance.load();
}

}  // namespace veldwlib::data
