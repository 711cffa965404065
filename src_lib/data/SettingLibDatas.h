// The library's settings store, read from /usr/local/etc/vellib/dwlib.conf.
#pragma once

#include "FixedPaths.h"
#include "SettingStore.h"

namespace veldwlib::data {

class SettingLibDatas : public vel::settings::SettingStore {
  public:
    static constexpr const char* kConfFile = RS485_CONF_DIR "/dwlib.conf";

    // Creates the store once, also when several threads call at the same time; it lives
    // until the process ends and is never destroyed.
    static void create();
    // Null before the first create.
    static SettingLibDatas* get_instance();

  private:
    SettingLibDatas();
};

}  // namespace veldwlib::data
