#include "systemaudio/TapIOBlock.h"

#include <cxxabi.h>

#include <cmath>

#include "platform/audio/OneShotInput.h"

namespace ovra {

TapIOBlock::TapIOBlock(std::shared_ptr<AudioFacilities> facilities,
                       std::shared_ptr<const AudioFormat> sourceFormat,
                       std::shared_ptr<const AudioFormat> targetFormat,
                       std::shared_ptr<AudioConverter> converter, ov_data_callback callback,
                       void* userData, std::shared_ptr<DeliveryGate> gate)
    : facilities_(std::move(facilities)),
      sourceFormat_(std::move(sourceFormat)),
      targetFormat_(std::move(targetFormat)),
      converter_(std::move(converter)),
      callback_(callback),
      userData_(userData),
      gate_(std::move(gate)) {}

AudioHardware::IOBlock TapIOBlock::bind(std::shared_ptr<TapIOBlock> block) {
    return [block = std::move(block)](const AudioTimeStamp*, const AudioBufferList* input,
                                      const AudioTimeStamp* inputTime, AudioBufferList*,
                                      const AudioTimeStamp*) { (*block)(input, inputTime); };
}

std::optional<uint32_t> TapIOBlock::outputCapacity(double targetRate, double sourceRate,
                                                   uint32_t inputFrames) {
    const double ratio = targetRate / sourceRate;
    const double product = ratio * double(inputFrames);
    if (!std::isfinite(product) || product < 0 || product >= 4294967296.0) return std::nullopt;
    const uint32_t truncated = uint32_t(product);
    if (truncated == UINT32_MAX) return std::nullopt;
    return truncated + 1;
}

std::optional<int32_t> TapIOBlock::chunkByteCount(uint32_t frames) {
    if (frames >= (1u << 30)) return std::nullopt;
    return int32_t(frames * 2);
}

uint32_t TapIOBlock::outputBufferCapacity() const {
    return output_ ? output_->frameCapacity() : 0;
}

void TapIOBlock::operator()(const AudioBufferList* input, const AudioTimeStamp* inputTime) {
    try {
        if (!gate_->isOpen()) return;
        // Copying the kept view (not moving it) keeps it when re-pointing fails.
        auto wrapped = facilities_->wrapNoCopy(sourceFormat_, input, input_);
        if (!wrapped) return;
        input_ = wrapped;
        if (wrapped->frameLength() == 0) return;
        if (inputTime)
            overflow_.cycle(inputTime->mSampleTime, wrapped->frameLength(),
                            sourceFormat_->sampleRate());

        const auto capacity = outputCapacity(targetFormat_->sampleRate(),
                                             sourceFormat_->sampleRate(), wrapped->frameLength());
        if (!capacity) return;
        if (!output_ || output_->frameCapacity() < *capacity) {
            auto bigger = facilities_->makeBuffer(targetFormat_, *capacity);
            if (!bigger) return;
            output_ = std::move(bigger);
        }

        OneShotInput once(*wrapped);
        converter_->convert(*output_, nullptr, once);

        const uint32_t frames = output_->frameLength();
        if (frames == 0) return;
        const auto bytes = chunkByteCount(frames);
        int16_t* const* channels = output_->int16ChannelData();
        if (!bytes || !channels) return;
        const auto* data = reinterpret_cast<const uint8_t*>(channels[0]);
        gate_->run([&] { callback_(data, *bytes, userData_); });
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        // Dropped: nothing may escape onto the audio queue.
    }
}

}  // namespace ovra
