// Converts PCM audio from one format to another, in the role of AVAudioConverter: the input is
// pulled through an input block, and the converter's state (filter history, samples that did
// not fit the last output) carries over from one call to the next.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/audio/AudioFormat.h"
#include "platform/audio/PCMBuffer.h"

namespace ovra {

enum class AudioConverterInputStatus : intptr_t { haveData = 0, noDataNow = 1, endOfStream = 2 };
enum class AudioConverterOutputStatus { haveData = 0, inputRanDry = 1, endOfStream = 2, error = 3 };

class AudioConverterInputBlock {
  public:
    // Returns the next input (and haveData), or nullptr with noDataNow / endOfStream.
    virtual const PCMBuffer* operator()(uint32_t packetCount,
                                        AudioConverterInputStatus* status) = 0;

  protected:
    ~AudioConverterInputBlock() = default;
};

class AudioConverter {
  public:
    virtual ~AudioConverter() = default;
    // Fills `output` from frame 0, up to its capacity, and sets its frame length.
    virtual AudioConverterOutputStatus convert(PCMBuffer& output, std::string* error,
                                               AudioConverterInputBlock& input) = 0;
    virtual const std::shared_ptr<const AudioFormat>& inputFormat() const = 0;
    virtual const std::shared_ptr<const AudioFormat>& outputFormat() const = 0;
};

}  // namespace ovra
