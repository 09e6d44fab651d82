#include "platform/audio/PCMBuffer.h"

#include <limits>

namespace ovra {

PCMBuffer::PCMBuffer(std::shared_ptr<const AudioFormat> format, uint32_t capacity)
    : format_(std::move(format)), frameCapacity_(capacity) {}

std::shared_ptr<PCMBuffer> PCMBuffer::withCapacity(std::shared_ptr<const AudioFormat> format,
                                                   uint32_t frameCapacity) {
    if (!format) return nullptr;
    const uint64_t channels = format->channelCount();
    const uint64_t bytes = uint64_t(frameCapacity) * format->bytesPerSample() * channels;
    if (bytes > uint64_t(std::numeric_limits<uint32_t>::max()) * channels) return nullptr;
    auto buffer = std::make_shared<PCMBuffer>(format, frameCapacity);
    buffer->storage_.assign(size_t(bytes), 0);
    const size_t perChannel = size_t(frameCapacity) * format->bytesPerSample();
    if (format->isInterleaved()) {
        buffer->channels_.push_back(buffer->storage_.data());
    } else {
        for (uint32_t c = 0; c < format->channelCount(); ++c)
            buffer->channels_.push_back(buffer->storage_.data() + c * perChannel);
    }
    return buffer;
}

std::shared_ptr<PCMBuffer> PCMBuffer::noCopy(std::shared_ptr<const AudioFormat> format,
                                             const AudioBufferList* list) {
    if (!format) return nullptr;
    auto buffer = std::make_shared<PCMBuffer>(format, 0);
    buffer->noCopy_ = true;
    if (!buffer->point(list)) return nullptr;
    return buffer;
}

bool PCMBuffer::rewrap(const AudioBufferList* list) { return noCopy_ && point(list); }

bool PCMBuffer::point(const AudioBufferList* list) {
    if (!list || !list->mBuffers) return false;
    const AudioFormat& f = *format_;
    const uint32_t wanted = f.isInterleaved() ? 1 : f.channelCount();
    const uint32_t perBuffer = f.isInterleaved() ? f.channelCount() : 1;
    if (list->mNumberBuffers != wanted) return false;
    const uint32_t frameBytes = f.streamDescription().mBytesPerFrame;
    uint32_t frames = 0;
    for (uint32_t i = 0; i < wanted; ++i) {
        const AudioBuffer& b = list->mBuffers[i];
        if (b.mNumberChannels != perBuffer || b.mDataByteSize % frameBytes != 0) return false;
        if (b.mDataByteSize > 0 && !b.mData) return false;
        const uint32_t n = b.mDataByteSize / frameBytes;
        if (i > 0 && n != frames) return false;
        frames = n;
    }
    channels_.resize(wanted);  // no allocation once sized for this format
    for (uint32_t i = 0; i < wanted; ++i) channels_[i] = list->mBuffers[i].mData;
    frameCapacity_ = frames;
    frameLength_ = frames;
    return true;
}

void PCMBuffer::setFrameLength(uint32_t frames) {
    frameLength_ = frames < frameCapacity_ ? frames : frameCapacity_;
}

float* const* PCMBuffer::floatChannelData() const {
    return format_->commonFormat() == AudioCommonFormat::pcmFormatFloat32
               ? reinterpret_cast<float* const*>(channels_.data())
               : nullptr;
}

int16_t* const* PCMBuffer::int16ChannelData() const {
    return format_->commonFormat() == AudioCommonFormat::pcmFormatInt16
               ? reinterpret_cast<int16_t* const*>(channels_.data())
               : nullptr;
}

int32_t* const* PCMBuffer::int32ChannelData() const {
    return format_->commonFormat() == AudioCommonFormat::pcmFormatInt32
               ? reinterpret_cast<int32_t* const*>(channels_.data())
               : nullptr;
}

uint32_t PCMBuffer::stride() const {
    return format_->isInterleaved() ? format_->channelCount() : 1;
}

}  // namespace ovra
