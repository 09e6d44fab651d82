#include "platform/audio/ResamplingConverter.h"

namespace ovra {

// Placeholder until the resampling converter lands.
std::shared_ptr<AudioConverter> makeResamplingConverter(std::shared_ptr<const AudioFormat>,
                                                        std::shared_ptr<const AudioFormat>) {
    return nullptr;
}

}  // namespace ovra
