// The description of a process tap, in the shape of CATapDescription. Each setter is remembered
// in call order so that a backend (or a test) can see exactly how the description was built.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Uuid.h"

namespace ovra {

class TapDescription {
public:
    // A stereo mix of every process's output, leaving out `processes`.
    static TapDescription stereoGlobalTapButExcludeProcesses(std::vector<uint32_t> processes);

    void setMuteBehavior(int32_t behavior);
    void setName(std::string name);
    void setPrivate(bool isPrivate);
    void setExclusive(bool isExclusive);
    void setUUID(const Uuid& uuid);

    const std::vector<uint32_t>& processes() const { return processes_; }
    bool isStereoMixdown() const { return stereoMixdown_; }
    int32_t muteBehavior() const { return muteBehavior_; }
    const std::string& name() const { return name_; }
    bool isPrivate() const { return private_; }
    bool isExclusive() const { return exclusive_; }
    const Uuid& uuid() const { return uuid_; }
    // "init stereoGlobalTapButExcludeProcesses []", "setMuteBehavior 0", "setName ...", ...
    const std::vector<std::string>& calls() const { return calls_; }

private:
    std::vector<uint32_t> processes_;
    bool stereoMixdown_ = false;
    int32_t muteBehavior_ = 0;
    std::string name_;
    bool private_ = false;
    bool exclusive_ = false;
    Uuid uuid_;
    std::vector<std::string> calls_;
};

}  // namespace ovra
