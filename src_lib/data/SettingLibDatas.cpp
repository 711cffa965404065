#include "SettingLibDatas.h"

namespace veldwlib::data {

std::unique_ptr<SettingLibDatas> SettingLibDatas::instance;

SettingLibDatas::SettingLibDatas() : SettingStore(kConfFile, false) {}

void SettingLibDatas::create() {
    if (!instance) {
        instance.reset(new SettingLibDatas());
        instance->ApplyTraceSetting();
    }
}

SettingLibDatas* SettingLibDatas::get_instance() {
    return instance.get();
}

}  // namespace veldwlib::data
