// The daemon's settings store, read from /usr/local/etc/vellib/dwmid.conf.
#pragma once

#include <memory>
#include <string>

#include "FixedPaths.h"
#include "SettingStore.h"

namespace veldw485::data {

class SettingDatas : public vel::settings::SettingStore {
  public:
    static constexpr const char* kConfFile = RS485_CONF_DIR "/dwmid.conf";

    static void create();
    static SettingDatas* get_instance();
    static void destroy();

    // log_dir + "/" + log_file.
    std::string getLogFilePath() const;

  private:
    SettingDatas();
    static std::unique_ptr<SettingDatas> instance;
};

}  // namespace veldw485::data
