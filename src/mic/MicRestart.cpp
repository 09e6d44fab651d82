// The microphone's answer to a configuration change of its engine: a full rebuild on whatever
// input is current, with the same data callback and user pointer.
#include <cxxabi.h>

#include <string>

#include "base/ErrorText.h"
#include "base/Log.h"
#include "mic/MicCapture.h"

namespace ovra {

NotificationCenter::Block MicCapture::makeConfigObserverBlock(uint64_t startNumber) {
    // Weak, so that the notification centre never keeps a dropped session alive.
    return [weak = weak_from_this(), startNumber] {
        auto session = weak.lock();
        if (!session || !(session->isCapturing || session->awaitingInput)) return;
        // Runs on the platform's notifying thread: nothing may escape into it.
        try {
            session->restartFrom(startNumber);
        } catch (abi::__forced_unwind&) {
            throw;
        } catch (...) {
        }
    };
}

void MicCapture::restart() {
    restartFrom(std::nullopt);
}

void MicCapture::restartFrom(std::optional<uint64_t> startNumber) {
    std::unique_lock lock(controlMutex);
    // Checked again under the lock: a stop or another restart may have come first.
    if (!(isCapturing || awaitingInput) || finallyStopped ||
        (startNumber && *startNumber != startCount))
        return;
    logLine("[mic] Audio configuration changed, restarting capture\n");
    // Let the old tap's callback in progress finish, so the host never has two at once.
    gate->close();
    stopLocked();
    converter.reset();
    if (!finallyStopped) {
        try {
            startLocked();
            logLine("[mic] Restarted on new device\n");
        } catch (const MicError& e) {
            logLine("[mic] Failed to restart: " + e.description() + "\n");
            awaitInputLocked();
        } catch (abi::__forced_unwind&) {
            throw;
        } catch (...) {
            logLine("[mic] Failed to restart: " + genericErrorText(std::current_exception()) +
                    "\n");
            awaitInputLocked();
        }
        if (isCapturing && !finallyStopped) {
            gate->open();
            // A stop from a data callback may have shut the gate between the check and the open.
            if (finallyStopped) gate->shut();
        }
    }
    lock.unlock();
    // A stop from inside a data callback that found the lock taken left its teardown to us.
    if (finallyStopped) {
        lock.lock();
        gate->close();
        stopLocked();
    }
}

void MicCapture::awaitInputLocked() {
    auto waiting = std::move(candidateEngine);
    if (!waiting || !platform) return;
    try {
        ++startCount;  // notifications of earlier engines no longer count
        configObserver = platform->notificationCenter().addObserver(
            kAudioEngineConfigurationChangeNotification, static_cast<const void*>(waiting.get()),
            makeConfigObserverBlock(startCount));
        engine = std::move(waiting);
        awaitingInput = true;
    } catch (...) {
        // Out of memory: the session stays stopped for good, as it would have before.
    }
}

}  // namespace ovra
