// The library's settings store, read from /usr/local/etc/vellib/dwlib.conf.
#pragma once

#include <memory>

#include "SettingStore.h"

namespace veldwlib::data {

class SettingLibDatas : public vel::settings::SettingStore {
public:
    static constexpr const char* kConfFile = "/usr/local/etc/vellib/dwlib.conf";

    static void create();
    static SettingLibDatas* get_instance();

private:
    SettingLibDatas();
    // Lives until the process ends; the library never destroys it.
    static std::unique_ptr<SettingLibDatas> instance;
};

}  // namespace veldwlib::data
