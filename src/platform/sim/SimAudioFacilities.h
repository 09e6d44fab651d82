// Simulated audio facilities. (Placeholder; the conversion work fills it in.)
#pragma once

#include "platform/audio/AudioFacilities.h"
#include "platform/sim/SimJournal.h"

namespace ovra::sim {

class SimAudioFacilities : public AudioFacilities {
public:
    explicit SimAudioFacilities(SimJournal& journal) : journal_(journal) {}

private:
    SimJournal& journal_;
};

}  // namespace ovra::sim
