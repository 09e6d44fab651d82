// What runs for every buffer the microphone tap delivers: convert it to the delivery format and
// hand the samples to the host. It holds its own format, converter and host callback, never the
// session, so it keeps working on what it was given while the session rebuilds itself.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "OvraHelper.h"
#include "delivery/DeliveryGate.h"
#include "delivery/OverflowReport.h"
#include "platform/AudioEngine.h"
#include "platform/Platform.h"
#include "platform/audio/AudioConverter.h"

namespace ovra {

// Frames of output one tapped buffer may need: the rate ratio times its frames, truncated, plus
// one spare frame (4096 frames at 48 kHz: 1366). Empty when that is not finite or exceeds 32 bits.
std::optional<uint32_t> micOutputCapacity(double targetRate, double bufferRate, uint32_t frames);

class MicTapBlock {
  public:
    MicTapBlock(std::shared_ptr<const AudioFormat> targetFormat,
                std::shared_ptr<AudioConverter> converter, ov_data_callback callback,
                void* userData, std::shared_ptr<DeliveryGate> gate,
                std::weak_ptr<Platform> platform);

    // Engine thread only, one call at a time.
    void operator()(const PCMBuffer& buffer, const AudioTimeStamp* when);

  private:
    void convertAndDeliver(const PCMBuffer& buffer);

    OverflowReport overflow_{"[mic] "};
    const std::shared_ptr<const AudioFormat> targetFormat_;
    const std::shared_ptr<AudioConverter> converter_;
    const ov_data_callback callback_;
    void* const userData_;
    const std::shared_ptr<DeliveryGate> gate_;
    // Weak: the platform owns the engine that owns this block.
    const std::weak_ptr<Platform> platform_;
    // Reused while its capacity suffices, so steady capture allocates nothing per buffer.
    std::shared_ptr<PCMBuffer> output_;
};

// The tap block to install: a copyable wrapper that shares one MicTapBlock.
AudioInputNode::TapBlock makeMicTapBlock(std::shared_ptr<MicTapBlock> block);

}  // namespace ovra
