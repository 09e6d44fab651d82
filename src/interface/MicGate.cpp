// The microphone's exports: the permission gate in front of every start, the failure step that
// classifies and records errors, and the stop.
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
        } catch (...) {
            text = genericErrorText(std::current_exception());
            logLine("[mic] Failed to start capture (unexpected): " + text + "\n");
        }
        setLastMicErrorDescription(text);
        return code;
    }
    static void afterStop(bool) { logLine("[mic] Microphone capture stopped\n"); }
};

}  // namespace

void startMicInternal(ov_data_callback onData, void* dataUser, ov_status_callback onStatus,
                      void* statusUser) {
    runStartProtocol<MicKind>(onData, dataUser, onStatus, statusUser);
}

}  // namespace ovra

extern "C" OV_EXPORT void ov_start_mic(ov_data_callback onData, void* dataUser,
                                       ov_status_callback onStatus, void* statusUser) {
    bool answered = false;
    auto answer = [&](int32_t code) {
        answered = true;
        onStatus(code, statusUser);
    };
    try {
        auto platform = ovra::currentPlatform();
        auto& permission = platform->capturePermission();
        const int64_t status = permission.authorizationStatus();
        ovra::logLine("[mic] Permission status: " + std::to_string(status) +
                      " (0=notDetermined, 1=restricted, 2=denied, 3=authorized)\n");
        if (status == 1 || status == 2) {
            ovra::logLine("[mic] Microphone permission denied (status: " + std::to_string(status) +
                          ")\n");
            answer(-4);
            return;
        }
        if (status == 0) {
            ovra::logLine("[mic] Requesting microphone permission...\n");
            answered = true;  // from here on the completion owns the answer
            permission.requestAccess([onData, dataUser, onStatus, statusUser](bool granted) {
                try {
                    if (granted) {
                        ovra::logLine("[mic] Microphone permission granted by user\n");
                        ovra::startMicInternal(onData, dataUser, onStatus, statusUser);
                    } else {
                        ovra::logLine("[mic] Microphone permission denied by user\n");
                        onStatus(-4, statusUser);
                    }
                } catch (...) {
                }
            });
            return;
        }
        answered = true;
        ovra::startMicInternal(onData, dataUser, onStatus, statusUser);
    } catch (...) {
        if (!answered) onStatus(-3, statusUser);
    }
}

extern "C" OV_EXPORT void ov_stop_mic(void) {
    try {
        ovra::runStopProtocol<ovra::MicKind>();
    } catch (...) {
    }
}
