#include "mic/MicTapBlock.h"

#include <cxxabi.h>

#include <cmath>
#include <limits>
#include <string>

#include "platform/audio/AudioFacilities.h"
#include "platform/audio/OneShotInput.h"

namespace ovra {

std::optional<uint32_t> micOutputCapacity(double targetRate, double bufferRate, uint32_t frames) {
    const double product = targetRate / bufferRate * double(frames);
    if (!std::isfinite(product) || product < 0) return std::nullopt;
    const double truncated = std::trunc(product);
    if (truncated >= double(std::numeric_limits<uint32_t>::max())) return std::nullopt;
    return uint32_t(truncated) + 1;
}

MicTapBlock::MicTapBlock(std::shared_ptr<const AudioFormat> targetFormat,
                         std::shared_ptr<AudioConverter> converter, ov_data_callback callback,
                         void* userData, std::shared_ptr<DeliveryGate> gate,
                         std::weak_ptr<Platform> platform)
    : targetFormat_(std::move(targetFormat)),
      converter_(std::move(converter)),
      callback_(callback),
      userData_(userData),
      gate_(std::move(gate)),
      platform_(std::move(platform)) {}

void MicTapBlock::operator()(const PCMBuffer& buffer, const AudioTimeStamp* when) {
    // Runs on the platform's thread: nothing may escape into it.
    try {
        if (when && buffer.frameLength() > 0)
            overflow_.cycle(when->mSampleTime, buffer.frameLength(), buffer.format().sampleRate());
        convertAndDeliver(buffer);
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
    }
}

void MicTapBlock::convertAndDeliver(const PCMBuffer& buffer) {
    if (buffer.frameLength() == 0) return;
    const auto capacity = micOutputCapacity(targetFormat_->sampleRate(),
                                            buffer.format().sampleRate(), buffer.frameLength());
    if (!capacity) return;
    if (!output_ || output_->frameCapacity() < *capacity) {
        output_.reset();
        auto platform = platform_.lock();
        if (!platform) return;
        output_ = platform->audioFacilities().makeBuffer(targetFormat_, *capacity);
        if (!output_) return;  // the buffer is dropped, as when the memory is not there
    }
    output_->setFrameLength(0);
    OneShotInput input(buffer);
    std::string error;  // never read; empty strings do not allocate
    converter_->convert(*output_, &error, input);

    const uint32_t frames = output_->frameLength();
    int16_t* const* channels = output_->int16ChannelData();
    // A byte count the callback's signed 32-bit length cannot carry is dropped, not wrapped.
    if (frames == 0 || !channels || frames > uint32_t(std::numeric_limits<int32_t>::max() / 2))
        return;
    const auto* bytes = reinterpret_cast<const uint8_t*>(channels[0]);
    const int32_t length = int32_t(frames) * 2;
    gate_->run([&] { callback_(bytes, length, userData_); });
}

AudioInputNode::TapBlock makeMicTapBlock(std::shared_ptr<MicTapBlock> block) {
    return [block = std::move(block)](const PCMBuffer& buffer, const AudioTimeStamp* when) {
        (*block)(buffer, when);
    };
}

}  // namespace ovra
