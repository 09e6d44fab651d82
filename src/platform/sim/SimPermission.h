// Simulated capture permission. (Placeholder; the microphone work fills it in.)
#pragma once

#include "platform/CapturePermission.h"
#include "platform/sim/SimJournal.h"

namespace ovra::sim {

class SimPermission : public CapturePermission {
public:
    explicit SimPermission(SimJournal& journal) : journal_(journal) {}
    int64_t authorizationStatus() override { return 3; }
    void requestAccess(std::function<void(bool)> completion) override { completion(true); }

private:
    SimJournal& journal_;
};

}  // namespace ovra::sim
