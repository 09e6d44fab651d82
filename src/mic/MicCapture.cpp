#include "mic/MicCapture.h"

#include <string>

#include "base/Log.h"
#include "mic/MicTapBlock.h"
#include "platform/audio/AudioFacilities.h"

namespace ovra {

namespace {
constexpr uint32_t kTapBus = 0;
constexpr uint32_t kTapBufferFrames = 4096;
}  // namespace

MicCapture::MicCapture(ov_data_callback callback, void* userData)
    : callback(callback),
      userData(userData),
      targetFormat(AudioFormat::fromStreamDescription(deliveryStreamDescription())) {}

void MicCapture::start() {
    std::lock_guard lock(controlMutex);
    try {
        startLocked();
    } catch (...) {
        candidateEngine.reset();  // a first start that fails is not retried
        throw;
    }
}

void MicCapture::startLocked() {
    auto platform = currentPlatform();
    AudioFacilities& facilities = platform->audioFacilities();

    auto newEngine = platform->createAudioEngine();
    if (!newEngine) throw MicError::engineStartFailed("no audio engine could be created");
    candidateEngine = newEngine;
    AudioInputNode& node = newEngine->inputNode();
    const AudioFormatInfo input = node.outputFormatForBus(kTapBus);
    logLine("[mic] AVAudioEngine input format: " + formatSampleRate(input.sampleRate) + "Hz, " +
            std::to_string(input.channelCount) + "ch, " +
            std::to_string(uint32_t(input.commonFormat)) + "\n");
    // A NaN rate is not greater than 0 either.
    if (!(input.sampleRate > 0.0) || input.channelCount == 0) throw MicError::noInputDevice();

    auto tapFormat =
        facilities.makeFormat(AudioCommonFormat::pcmFormatFloat32, input.sampleRate, 1, false);
    if (!tapFormat)
        throw MicError::converterFailed("failed to create mono format at " +
                                        formatSampleRate(input.sampleRate) + "Hz");
    logLine("[mic] Tap format (mono): " + formatSampleRate(tapFormat->sampleRate()) + "Hz, " +
            std::to_string(tapFormat->channelCount()) + "ch\n");

    auto newConverter = facilities.makeConverter(tapFormat, targetFormat);
    if (!newConverter)
        throw MicError::converterFailed("from " + formatSampleRate(tapFormat->sampleRate()) +
                                        "Hz/1ch to 16kHz/1ch");
    converter = newConverter;

    auto tap = std::make_shared<MicTapBlock>(targetFormat, newConverter, callback, userData, gate,
                                             platform);
    node.installTapOnBus(kTapBus, kTapBufferFrames, tapFormat, makeMicTapBlock(std::move(tap)));
    std::string error;
    bool started = false;
    try {
        started = newEngine->startAndReturnError(&error);
    } catch (...) {
        node.removeTapOnBus(kTapBus);
        throw;
    }
    if (!started) {
        node.removeTapOnBus(kTapBus);
        throw MicError::engineStartFailed(error);
    }

    candidateEngine.reset();
    engine = newEngine;
    this->platform = platform;
    isCapturing = true;
    ++startCount;
    try {
        configObserver = platform->notificationCenter().addObserver(
            kAudioEngineConfigurationChangeNotification, static_cast<const void*>(engine.get()),
            makeConfigObserverBlock(startCount));
        logLine("[mic] Microphone capture started (AVAudioEngine)\n");
    } catch (...) {
        // Only memory runs out here; a running engine must not outlive a failed start.
        stopLocked();
        throw;
    }
}

void MicCapture::stop() {
    finallyStopped = true;
    isCapturing = false;
    gate->close();
    std::unique_lock lock(controlMutex, std::defer_lock);
    if (DeliveryGate::insideAnyDelivery()) {
        // Called from inside a data callback. A restart holding the lock may be waiting for that
        // very callback to return; it then sees `finallyStopped` and finishes the teardown
        // itself, so this call must not wait for it.
        if (!lock.try_lock()) return;
    } else {
        lock.lock();
    }
    // A restart may have reopened the gate between the close above and the lock.
    gate->close();
    stopLocked();
}

void MicCapture::stopLocked() {
    isCapturing = false;
    awaitingInput = false;
    if (configObserver) {
        platform->notificationCenter().removeObserver(configObserver);
        configObserver.reset();
    }
    if (engine) {
        engine->inputNode().removeTapOnBus(kTapBus);
        engine->stop();
        engine.reset();
    }
}

}  // namespace ovra
