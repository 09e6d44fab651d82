// The microphone's exports: the permission gate in front of every start, the failure step that
// classifies and records errors, and the stop.
#include <cxxabi.h>

#include "OvraHelper.h"
#include "interface/ErrorRecord.h"
#include "interface/StartStop.h"
#include "mic/MicCapture.h"
#include "platform/CapturePermission.h"
#include "platform/Platform.h"

namespace ovra {
namespace {

struct MicKind {
    using Session = MicCapture;

    static std::shared_ptr<Session>& slot() {
        static auto* micCapture = new std::shared_ptr<Session>;
        return *micCapture;
    }
    static const char* alreadyRunningLine() { return "[mic] Mic capture already running\n"; }
    static int32_t reportFailure(std::exception_ptr error) {
        std::string text;
        int32_t code = -3;
        try {
            std::rethrow_exception(error);
        } catch (const MicError& e) {
            text = e.description();
            code = e.kind == MicError::Case::noInputDevice       ? -2
                   : e.kind == MicError::Case::engineStartFailed ? -5
                                                                 : -3;
            logLine("[mic] Failed to start capture: " + text + "\n");
        } catch (abi::__forced_unwind&) {
            throw;
        } catch (...) {
            text = genericErrorText(std::current_exception());
            logLine("[mic] Failed to start capture (unexpected): " + text + "\n");
        }
        setLastMicErrorDescription(text);
        return code;
    }
    static void afterStop(bool) { logLine("[mic] Microphone capture stopped\n"); }
};

// The start protocol for the microphone. If anything throws before the status call was made (only
// memory can run out there), the host still hears once, as failed.
void startMicInternal(ov_data_callback onData, void* dataUser, ov_status_callback onStatus,
                      void* statusUser) {
    try {
        runStartProtocol<MicKind>(onData, dataUser, onStatus, statusUser);
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        onStatus(-3, statusUser);
    }
}

void completePermissionRequest(bool granted, ov_data_callback onData, void* dataUser,
                               ov_status_callback onStatus, void* statusUser) {
    if (granted) {
        try {
            logLine("[mic] Microphone permission granted by user\n");
        } catch (abi::__forced_unwind&) {
            throw;
        } catch (...) {
        }
        startMicInternal(onData, dataUser, onStatus, statusUser);
        return;
    }
    try {
        logLine("[mic] Microphone permission denied by user\n");
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
    }
    onStatus(-4, statusUser);
}

}  // namespace
}  // namespace ovra

extern "C" OV_EXPORT void ov_start_mic(ov_data_callback onData, void* dataUser,
                                       ov_status_callback onStatus, void* statusUser) {
    if (!ovra::callbacksUsable("ov_start_mic", "[mic] ", onData, onStatus, statusUser)) return;
    // Set once the answer is someone else's to give: the start protocol's or the completion's.
    bool handedOver = false;
    try {
        auto platform = ovra::currentPlatform();
        auto& permission = platform->capturePermission();
        const int64_t status = permission.authorizationStatus();
        ovra::logLine("[mic] Permission status: " + std::to_string(status) +
                      " (0=notDetermined, 1=restricted, 2=denied, 3=authorized)\n");
        if (status == 1 || status == 2) {
            ovra::logLine("[mic] Microphone permission denied (status: " + std::to_string(status) +
                          ")\n");
            handedOver = true;
            onStatus(-4, statusUser);
            return;
        }
        if (status == 0) {
            ovra::logLine("[mic] Requesting microphone permission...\n");
            permission.requestAccess([onData, dataUser, onStatus, statusUser](bool granted) {
                ovra::completePermissionRequest(granted, onData, dataUser, onStatus, statusUser);
            });
            handedOver = true;
            return;
        }
        handedOver = true;
        ovra::startMicInternal(onData, dataUser, onStatus, statusUser);
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        if (!handedOver) onStatus(-3, statusUser);
    }
}

extern "C" OV_EXPORT void ov_stop_mic(void) {
    try {
        ovra::runStopProtocol<ovra::MicKind>();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
    }
}
