// The microphone session: an audio engine whose input node is tapped in mono float at the
// device's own rate, every tapped buffer converted to the delivery format and handed to the host.
// When the engine's audio configuration changes, the whole engine is rebuilt on the current input.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "OvraHelper.h"
#include "delivery/DeliveryGate.h"
#include "mic/MicError.h"
#include "platform/AudioEngine.h"
#include "platform/NotificationCenter.h"
#include "platform/Platform.h"
#include "platform/audio/AudioConverter.h"

namespace ovra {

class MicCapture : public std::enable_shared_from_this<MicCapture> {
  public:
    using MicError = ovra::MicError;

    // Builds the delivery format; starts nothing, logs nothing.
    MicCapture(ov_data_callback callback, void* userData);
    MicCapture(const MicCapture&) = delete;
    MicCapture& operator=(const MicCapture&) = delete;

    // Throws MicError (or, from a misbehaving platform, another error). The session must be
    // owned by a shared_ptr: the configuration observer refers to it weakly.
    void start();
    // Stops for good. When it returns no data callback of this session is running or will start,
    // except the caller's own when called from inside one. Safe on a session that never started,
    // and more than once.
    void stop();
    // Rebuilds the engine if the session is still capturing; logs its outcome, never throws.
    void restart();
    // Marks the session stopped for good and lets no data callback start afterwards; returns at
    // once. stop() must still follow.
    void shutDelivery() {
        finallyStopped = true;
        isCapturing = false;
        gate->shut();
    }
    bool deliveringOnThisThread() const { return gate->deliveringOnThisThread(); }

    bool capturing() const { return isCapturing.load(); }

  private:
    void startLocked();
    void stopLocked();
    // Restarts only if the session is still on the start that `startNumber` names: a late
    // notification of an engine already replaced is ignored.
    void restartFrom(std::optional<uint64_t> startNumber);
    NotificationCenter::Block makeConfigObserverBlock(uint64_t startNumber);
    // After a failed restart: keeps the engine that found no input and observes it, so that the
    // next configuration change (an input that appears, a server that returns) restarts again.
    void awaitInputLocked();

    std::shared_ptr<AudioEngine> engine;
    std::shared_ptr<AudioConverter> converter;
    NotificationCenter::Token configObserver;
    std::atomic<bool> isCapturing{false};
    // Stopped by a failed restart, and waiting for a configuration change to try again.
    std::atomic<bool> awaitingInput{false};
    // The engine the last start made, until that start succeeds; under controlMutex.
    std::shared_ptr<AudioEngine> candidateEngine;
    const ov_data_callback callback;
    void* const userData;
    const std::shared_ptr<const AudioFormat> targetFormat;

    // The platform that holds `engine` and `configObserver`.
    std::shared_ptr<Platform> platform;
    // Closed by the final stop and while a restart swaps engines, so that the host never sees a
    // callback after stop, nor two at once.
    const std::shared_ptr<DeliveryGate> gate = std::make_shared<DeliveryGate>();
    // Start, stop and restart of this session never interleave, whatever threads they run on.
    std::mutex controlMutex;
    std::atomic<bool> finallyStopped{false};
    uint64_t startCount = 0;  // successful starts, under controlMutex
};

}  // namespace ovra
