#include "platform/audio/ResamplingConverter.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

#include "platform/audio/ChannelMixer.h"
#include "platform/audio/Int16Quantizer.h"
#include "platform/audio/MonoResampler.h"

namespace ovra {

namespace {

// Frames reserved up front: a 100 ms device cycle at 192 kHz needs no growth later.
constexpr size_t kReservedInputFrames = 19200;
constexpr size_t kCompactAfter = 4096;

bool sameLayout(const AudioFormat& a, const AudioFormat& b) {
    return a.commonFormat() == b.commonFormat() && a.channelCount() == b.channelCount() &&
           a.isInterleaved() == b.isInterleaved();
}

class ResamplingConverter final : public AudioConverter {
  public:
    ResamplingConverter(std::shared_ptr<const AudioFormat> from,
                        std::shared_ptr<const AudioFormat> to,
                        std::unique_ptr<MonoResampler> resampler)
        : from_(std::move(from)), to_(std::move(to)), resampler_(std::move(resampler)) {
        mixer_.reserve(kReservedInputFrames);
        if (resampler_) resampler_->reserve(kReservedInputFrames);
        pending_.reserve(2 * kCompactAfter);
    }

    AudioConverterOutputStatus convert(PCMBuffer& output, std::string* error,
                                       AudioConverterInputBlock& input) override {
        try {
            return convertChunks(output, error, input);
        } catch (const std::bad_alloc&) {
            return fail(error, "out of memory");
        }
    }

    const std::shared_ptr<const AudioFormat>& inputFormat() const override { return from_; }
    const std::shared_ptr<const AudioFormat>& outputFormat() const override { return to_; }

  private:
    AudioConverterOutputStatus convertChunks(PCMBuffer& output, std::string* error,
                                             AudioConverterInputBlock& input) {
        if (!sameLayout(output.format(), *to_)) return fail(error, "output buffer format differs");
        int16_t* const out = output.int16ChannelData()[0];
        const uint32_t capacity = output.frameCapacity();
        uint32_t written = takePending(out, capacity);
        output.setFrameLength(written);
        // Ask at least once even when leftovers filled the buffer: a one-shot input would
        // otherwise lose the chunk it holds.
        bool asked = false;
        while (!ended_ && (!asked || written < capacity)) {
            asked = true;
            AudioConverterInputStatus status = AudioConverterInputStatus::noDataNow;
            const PCMBuffer* chunk = input(packetsWanted(capacity - written), &status);
            if (status == AudioConverterInputStatus::endOfStream) {
                ended_ = true;
                if (resampler_)
                    written += place(resampler_->flush(), out + written, capacity - written);
                break;
            }
            if (status != AudioConverterInputStatus::haveData) break;
            if (!chunk || !sameLayout(chunk->format(), *from_)) {
                output.setFrameLength(written);
                return fail(error, "input buffer format differs");
            }
            std::span<const float> mono = mixer_.mix(*chunk);
            if (resampler_) mono = resampler_->process(mono);
            written += place(mono, out + written, capacity - written);
        }
        output.setFrameLength(written);
        if (written == capacity && written > 0) return AudioConverterOutputStatus::haveData;
        if (ended_ && pendingCount() == 0) {
            ended_ = false;  // the next input starts a fresh stream
            return written > 0 ? AudioConverterOutputStatus::haveData
                               : AudioConverterOutputStatus::endOfStream;
        }
        return AudioConverterOutputStatus::inputRanDry;
    }

    static AudioConverterOutputStatus fail(std::string* error, const char* text) {
        if (error) *error = text;
        return AudioConverterOutputStatus::error;
    }

    uint32_t packetsWanted(uint32_t outputFrames) const {
        const double frames = std::ceil(outputFrames * from_->sampleRate() / to_->sampleRate());
        return frames < 4294967295.0 ? uint32_t(frames) : UINT32_MAX;
    }

    size_t pendingCount() const { return pending_.size() - pendingHead_; }

    uint32_t takePending(int16_t* out, uint32_t room) {
        const size_t n = std::min<size_t>(pendingCount(), room);
        std::copy_n(pending_.begin() + ptrdiff_t(pendingHead_), n, out);
        pendingHead_ += n;
        if (pendingHead_ == pending_.size()) {
            pending_.clear();  // keeps its capacity
            pendingHead_ = 0;
        }
        return uint32_t(n);
    }

    // Writes what fits into `out` and keeps the rest, in order, behind any earlier leftovers.
    uint32_t place(std::span<const float> samples, int16_t* out, uint32_t room) {
        const size_t direct = pendingCount() == 0 ? std::min<size_t>(samples.size(), room) : 0;
        quantizeToInt16(samples.data(), direct, out);
        const size_t rest = samples.size() - direct;
        if (rest > 0) {
            // Taken leftovers are dropped from the front only once they are many, so that a
            // queue that never quite empties does not move its samples on every call.
            if (pendingHead_ >= kCompactAfter) {
                pending_.erase(pending_.begin(), pending_.begin() + ptrdiff_t(pendingHead_));
                pendingHead_ = 0;
            }
            const size_t old = pending_.size();
            pending_.resize(old + rest);
            quantizeToInt16(samples.data() + direct, rest, pending_.data() + old);
        }
        return uint32_t(direct);
    }

    std::shared_ptr<const AudioFormat> from_;
    std::shared_ptr<const AudioFormat> to_;
    std::unique_ptr<MonoResampler> resampler_;  // none when the rates are equal
    ChannelMixer mixer_;
    std::vector<int16_t> pending_;
    size_t pendingHead_ = 0;
    bool ended_ = false;
};

}  // namespace

std::shared_ptr<AudioConverter> makeResamplingConverter(std::shared_ptr<const AudioFormat> from,
                                                        std::shared_ptr<const AudioFormat> to) {
    if (!from || !to || !ChannelMixer::accepts(*from)) return nullptr;
    if (to->commonFormat() != AudioCommonFormat::pcmFormatInt16 || to->channelCount() != 1)
        return nullptr;
    try {
        std::unique_ptr<MonoResampler> resampler;
        if (from->sampleRate() != to->sampleRate()) {
            resampler = MonoResampler::create(from->sampleRate(), to->sampleRate());
            if (!resampler) return nullptr;
        }
        return std::make_shared<ResamplingConverter>(std::move(from), std::move(to),
                                                     std::move(resampler));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace ovra
