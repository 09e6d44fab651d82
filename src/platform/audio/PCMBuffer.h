// PCM audio in a format, in the role of AVAudioPCMBuffer: either owning its samples with a fixed
// capacity, or a no-copy view over an audio buffer list that stays its owner's.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/AudioTypes.h"
#include "platform/audio/AudioFormat.h"

namespace ovra {

class PCMBuffer {
  public:
    // nullptr when one buffer's size in bytes would not fit an audio buffer's 32-bit byte count,
    // or when the memory cannot be had.
    static std::shared_ptr<PCMBuffer> withCapacity(std::shared_ptr<const AudioFormat> format,
                                                   uint32_t frameCapacity);
    // nullptr when the list does not fit the format (buffer count, channels per buffer, sizes,
    // sample alignment).
    static std::shared_ptr<PCMBuffer> noCopy(std::shared_ptr<const AudioFormat> format,
                                             const AudioBufferList* list);
    // Points an existing no-copy view at another list of the same format, without allocating.
    bool rewrap(const AudioBufferList* list);

    const AudioFormat& format() const { return *format_; }
    const std::shared_ptr<const AudioFormat>& formatRef() const { return format_; }
    uint32_t frameCapacity() const { return frameCapacity_; }
    uint32_t frameLength() const { return frameLength_; }
    void setFrameLength(uint32_t frames);  // clamped to the capacity

    // One pointer per channel for non-interleaved audio, one pointer for interleaved audio
    // (then `stride()` is the channel count). nullptr when the sample type differs.
    float* const* floatChannelData() const;
    int16_t* const* int16ChannelData() const;
    int32_t* const* int32ChannelData() const;
    uint32_t stride() const;
    // The same pointers whatever the sample type, for code that dispatches on the format.
    void* const* channelData() const { return channels_.data(); }
    bool isNoCopy() const { return noCopy_; }

    PCMBuffer(std::shared_ptr<const AudioFormat> format, uint32_t capacity);  // use the factories

  private:
    bool point(const AudioBufferList* list);

    std::shared_ptr<const AudioFormat> format_;
    uint32_t frameCapacity_ = 0;
    uint32_t frameLength_ = 0;
    bool noCopy_ = false;
    std::vector<uint8_t> storage_;  // empty for a no-copy view
    std::vector<void*> channels_;
};

}  // namespace ovra
