// Simulated audio engines. (Placeholder; the microphone work fills it in.)
#pragma once

#include <memory>

#include "platform/AudioEngine.h"
#include "platform/sim/SimJournal.h"

namespace ovra::sim {

class SimAudioEngines {
public:
    explicit SimAudioEngines(SimJournal& journal) : journal_(journal) {}
    std::shared_ptr<AudioEngine> create() { return nullptr; }

private:
    SimJournal& journal_;
};

}  // namespace ovra::sim
