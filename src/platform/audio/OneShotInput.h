// The converter input of one conversion: hands over its buffer on the first request and reports
// "no data now" afterwards, never end of stream, so the converter keeps its state for the next
// chunk.
#pragma once

#include "platform/audio/AudioConverter.h"

namespace ovra {

class OneShotInput final : public AudioConverterInputBlock {
  public:
    explicit OneShotInput(const PCMBuffer& buffer) : buffer_(buffer) {}

    const PCMBuffer* operator()(uint32_t /*packetCount*/,
                                AudioConverterInputStatus* status) override {
        if (!consumed_) {
            consumed_ = true;
            *status = AudioConverterInputStatus::haveData;
            return &buffer_;
        }
        *status = AudioConverterInputStatus::noDataNow;
        return nullptr;
    }

  private:
    const PCMBuffer& buffer_;
    bool consumed_ = false;
};

}  // namespace ovra
