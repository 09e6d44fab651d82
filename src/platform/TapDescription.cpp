#include "platform/TapDescription.h"

namespace ovra {

TapDescription TapDescription::stereoGlobalTapButExcludeProcesses(std::vector<uint32_t> processes) {
    TapDescription d;
    std::string list;
    for (uint32_t p : processes) list += (list.empty() ? "" : ",") + std::to_string(p);
    d.processes_ = std::move(processes);
    d.stereoMixdown_ = true;
    d.exclusive_ = true;
    d.calls_.push_back("init stereoGlobalTapButExcludeProcesses [" + list + "]");
    return d;
}

void TapDescription::setMuteBehavior(int32_t behavior) {
    muteBehavior_ = behavior;
    calls_.push_back("setMuteBehavior " + std::to_string(behavior));
}

void TapDescription::setName(std::string name) {
    calls_.push_back("setName " + name);
    name_ = std::move(name);
}

void TapDescription::setPrivate(bool isPrivate) {
    private_ = isPrivate;
    calls_.push_back(std::string("setPrivate ") + (isPrivate ? "true" : "false"));
}

void TapDescription::setExclusive(bool isExclusive) {
    exclusive_ = isExclusive;
    calls_.push_back(std::string("setExclusive ") + (isExclusive ? "true" : "false"));
}

void TapDescription::setUUID(const Uuid& uuid) {
    uuid_ = uuid;
    calls_.push_back("setUUID " + uuid.text());
}

}  // namespace ovra
