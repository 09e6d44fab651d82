#include "platform/sim/SimAudioFacilities.h"

#include <cstdio>

#include "base/Log.h"

namespace ovra::sim {

namespace {

std::string fourCCText(uint32_t code) {
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const char c = char((code >> shift) & 0xff);
        text += (c >= 32 && c < 127) ? c : '?';
    }
    return text;
}

std::string hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

const char* commonName(AudioCommonFormat format) {
    switch (format) {
        case AudioCommonFormat::pcmFormatFloat32:
            return "float32";
        case AudioCommonFormat::pcmFormatFloat64:
            return "float64";
        case AudioCommonFormat::pcmFormatInt16:
            return "int16";
        case AudioCommonFormat::pcmFormatInt32:
            return "int32";
        default:
            return "other";
    }
}

std::string describeList(const AudioBufferList* list) {
    if (!list) return "null";
    std::string text = "[";
    for (uint32_t i = 0; i < list->mNumberBuffers && list->mBuffers; ++i) {
        const AudioBuffer& b = list->mBuffers[i];
        text += (i ? ", " : "") + std::to_string(b.mNumberChannels) + "ch " +
                std::to_string(b.mDataByteSize) + "B";
    }
    return text + "]";
}

template <typename T>
std::string outcome(const std::shared_ptr<T>& made) {
    return made ? " -> ok" : " -> nil";
}

}  // namespace

std::string SimAudioFacilities::describe(const AudioStreamBasicDescription& d) {
    return "{" + formatSampleRate(d.mSampleRate) + " '" + fourCCText(d.mFormatID) + "' " +
           hex(d.mFormatFlags) + " " + std::to_string(d.mBytesPerPacket) + "/" +
           std::to_string(d.mFramesPerPacket) + "/" + std::to_string(d.mBytesPerFrame) + "/" +
           std::to_string(d.mChannelsPerFrame) + "/" + std::to_string(d.mBitsPerChannel) + "}";
}

std::string SimAudioFacilities::describe(const AudioFormat* format) {
    if (!format) return "null";
    return "{" + formatSampleRate(format->sampleRate()) + " " +
           std::to_string(format->channelCount()) + "ch " + commonName(format->commonFormat()) +
           (format->isInterleaved() ? " interleaved" : " planar") + "}";
}

bool SimAudioFacilities::fails(const std::string& call, const std::string& alsoCall) {
    if (journal_.takeFailure(call)) return true;
    return !alsoCall.empty() && journal_.takeFailure(alsoCall).has_value();
}

std::shared_ptr<const AudioFormat> SimAudioFacilities::makeFormat(
    const AudioStreamBasicDescription& asbd) {
    const std::string entry = "makeFormat asbd=" + describe(asbd);
    std::shared_ptr<const AudioFormat> made;
    if (!fails("makeFormat(asbd)", "makeFormat")) made = AudioFacilities::makeFormat(asbd);
    journal_.record(entry + outcome(made));
    return made;
}

std::shared_ptr<const AudioFormat> SimAudioFacilities::makeFormat(AudioCommonFormat format,
                                                                  double sampleRate,
                                                                  uint32_t channels,
                                                                  bool interleaved) {
    const std::string entry = "makeFormat common=" + std::to_string(uint32_t(format)) +
                              " rate=" + formatSampleRate(sampleRate) +
                              " channels=" + std::to_string(channels) +
                              " interleaved=" + (interleaved ? "true" : "false");
    std::shared_ptr<const AudioFormat> made;
    if (!fails("makeFormat(common)", "makeFormat"))
        made = AudioFacilities::makeFormat(format, sampleRate, channels, interleaved);
    journal_.record(entry + outcome(made));
    return made;
}

std::shared_ptr<PCMBuffer> SimAudioFacilities::makeBuffer(std::shared_ptr<const AudioFormat> format,
                                                          uint32_t frameCapacity) {
    const std::string entry = "makeBuffer format=" + describe(format.get()) +
                              " capacity=" + std::to_string(frameCapacity);
    std::shared_ptr<PCMBuffer> made;
    if (!fails("makeBuffer")) made = AudioFacilities::makeBuffer(std::move(format), frameCapacity);
    journal_.record(entry + outcome(made));
    return made;
}

std::shared_ptr<PCMBuffer> SimAudioFacilities::wrapNoCopy(std::shared_ptr<const AudioFormat> format,
                                                          const AudioBufferList* list,
                                                          std::shared_ptr<PCMBuffer> reuse) {
    const std::string entry = "wrapNoCopy format=" + describe(format.get()) +
                              " buffers=" + describeList(list) + " reuse=" + (reuse ? "yes" : "no");
    std::shared_ptr<PCMBuffer> made;
    if (!fails("wrapNoCopy"))
        made = AudioFacilities::wrapNoCopy(std::move(format), list, std::move(reuse));
    journal_.record(entry + outcome(made));
    return made;
}

std::shared_ptr<AudioConverter> SimAudioFacilities::makeConverter(
    std::shared_ptr<const AudioFormat> from, std::shared_ptr<const AudioFormat> to) {
    const std::string entry =
        "makeConverter from=" + describe(from.get()) + " to=" + describe(to.get());
    std::shared_ptr<AudioConverter> made;
    if (!fails("makeConverter"))
        made = AudioFacilities::makeConverter(std::move(from), std::move(to));
    journal_.record(entry + outcome(made));
    return made;
}

}  // namespace ovra::sim
