// Mixes PCM input of any accepted layout down to one float channel by averaging the channels, so
// a source panned hard to one side is still heard (at half level for two channels).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "platform/audio/PCMBuffer.h"

namespace ovra {

class ChannelMixer {
  public:
    // True for the sample types and layouts `mix` understands.
    static bool accepts(const AudioFormat& format);

    // The buffer's frames as mono float in [-1, 1) for full-scale integer input. The result
    // stays valid until the next call and while `buffer` lives (mono float input is passed
    // through as it is); its storage is reused, so steady use allocates nothing.
    std::span<const float> mix(const PCMBuffer& buffer);

    // Reserves room for `frames` so that the first real calls do not allocate either.
    void reserve(size_t frames) { mono_.reserve(frames); }

  private:
    std::vector<float> mono_;
};

}  // namespace ovra
