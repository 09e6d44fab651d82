#include "platform/audio/PCMBuffer.h"

#include <limits>
#include <new>

namespace ovra {

PCMBuffer::PCMBuffer(std::shared_ptr<const AudioFormat> format, uint32_t capacity)
    : format_(std::move(format)), frameCapacity_(capacity) {}

std::shared_ptr<PCMBuffer> PCMBuffer::withCapacity(std::shared_ptr<const AudioFormat> format,
                                                   uint32_t frameCapacity) {
    if (!format) return nullptr;
    const uint64_t bufferBytes =
        uint64_t(frameCapacity) * format->streamDescription().mBytesPerFrame;
    if (bufferBytes > std::numeric_limits<uint32_t>::max()) return nullptr;
    const uint32_t buffers = format->isInterleaved() ? 1 : format->channelCount();
    try {
        auto buffer = std::make_shared<PCMBuffer>(format, frameCapacity);
        buffer->storage_.assign(size_t(bufferBytes * buffers), 0);
        buffer->channels_.resize(buffers);
        for (uint32_t c = 0; c < buffers; ++c)
            buffer->channels_[c] = buffer->storage_.data() + c * size_t(bufferBytes);
        return buffer;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

std::shared_ptr<PCMBuffer> PCMBuffer::noCopy(std::shared_ptr<const AudioFormat> format,
                                             const AudioBufferList* list) {
    if (!format) return nullptr;
    try {
        auto buffer = std::make_shared<PCMBuffer>(format, 0);
        buffer->noCopy_ = true;
        if (!buffer->point(list)) return nullptr;
        return buffer;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

bool PCMBuffer::rewrap(const AudioBufferList* list) {
    return noCopy_ && point(list);
}

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
        // Samples are read as their type, which needs them aligned.
        if (reinterpret_cast<uintptr_t>(b.mData) % f.bytesPerSample() != 0) return false;
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
