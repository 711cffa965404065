#include "SettingDatas.h"

namespace veldw485::data {

std::unique_ptr<SettingDatas> SettingDatas::instance;

SettingDatas::SettingDatas() : SettingStore(kConfFile, true) {}

void SettingDatas::create() {
    if (!instance) {
        instance.reset(new SettingDatas());
        instance->ApplyTraceSetting();
    }
}

SettingDatas* SettingDatas::get_instance() {
    return instance.get();
}

void SettingDatas::destroy() {
    instance.reset();
}

std::string SettingDatas::getLogFilePath() const {
    return log_data.log_dir + "/" + log_data.log_file;
}

}  // namespace veldw485::data
