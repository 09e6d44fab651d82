// The I/O block of a system-audio session: each cycle's tapped input, wrapped without copying,
// is converted to the delivery format and handed to the host's data callback.
//
// It runs on the session's serial queue, one call at a time, and holds everything it uses itself
// (formats, converter, callback, user pointer, facilities), never the session. In steady state it
// allocates nothing: the input view and the output buffer are kept and reused across cycles.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "OvraHelper.h"
#include "delivery/DeliveryGate.h"
#include "delivery/OverflowReport.h"
#include "platform/AudioHardware.h"
#include "platform/audio/AudioFacilities.h"

namespace ovra {

class TapIOBlock {
  public:
    // `facilities` keeps whatever owns it alive (the platform, through an aliasing pointer).
    TapIOBlock(std::shared_ptr<AudioFacilities> facilities,
               std::shared_ptr<const AudioFormat> sourceFormat,
               std::shared_ptr<const AudioFormat> targetFormat,
               std::shared_ptr<AudioConverter> converter, ov_data_callback callback, void* userData,
               std::shared_ptr<DeliveryGate> gate);

    // One I/O cycle. Throws only forced unwinding (the thread being ended): a cycle that cannot be
    // converted or delivered is dropped.
    // `inputTime` (may be null) carries the cycle's first sample time: a jump forward is audio
    // the platform dropped, reported as one line per episode.
    void operator()(const AudioBufferList* input, const AudioTimeStamp* inputTime = nullptr);

    // The hardware's block signature over a shared block.
    static AudioHardware::IOBlock bind(std::shared_ptr<TapIOBlock> block);

    // Output frames to make room for: target/source rate times the input frames, truncated, plus
    // one; empty when the product is not finite, negative, or does not fit 32 bits.
    static std::optional<uint32_t> outputCapacity(double targetRate, double sourceRate,
                                                  uint32_t inputFrames);
    // The byte count of a chunk of mono 16-bit frames; empty when it does not fit the callback's
    // signed 32-bit length.
    static std::optional<int32_t> chunkByteCount(uint32_t frames);

    // The capacity of the output buffer kept for reuse (0 before the first conversion).
    uint32_t outputBufferCapacity() const;

  private:
    const std::shared_ptr<AudioFacilities> facilities_;
    const std::shared_ptr<const AudioFormat> sourceFormat_;
    const std::shared_ptr<const AudioFormat> targetFormat_;
    const std::shared_ptr<AudioConverter> converter_;
    const ov_data_callback callback_;
    void* const userData_;
    const std::shared_ptr<DeliveryGate> gate_;
    OverflowReport overflow_{"[tap] "};
    std::shared_ptr<PCMBuffer> input_;
    std::shared_ptr<PCMBuffer> output_;
};

}  // namespace ovra
