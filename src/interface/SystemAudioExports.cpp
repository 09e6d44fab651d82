#include <cxxabi.h>

#include "OvraHelper.h"
#include "interface/StartStop.h"
#include "systemaudio/SystemAudioCapture.h"

namespace ovra {
namespace {

struct SystemAudioKind {
    using Session = SystemAudioCapture;

    static std::shared_ptr<Session>& slot() {
        static auto* systemAudioCapture = new std::shared_ptr<Session>;
        return *systemAudioCapture;
    }
    static const char* alreadyRunningLine() {
        return "[tap] System audio capture already running\n";
    }
    static int32_t reportFailure(std::exception_ptr error) {
        std::string text;
        try {
            std::rethrow_exception(error);
        } catch (const TapError& e) {
            text = e.description();
        } catch (...) {
            text = genericErrorText(std::current_exception());
        }
        logLine("[tap] Failed to start capture: " + text + "\n");
        return -3;
    }
    static void afterStop(bool) {}  // the session's stop writes its own line
};

}  // namespace
}  // namespace ovra

extern "C" OV_EXPORT void ov_start_system_audio(ov_data_callback onData, void* dataUser,
                                                ov_status_callback onStatus, void* statusUser) {
    if (!ovra::callbacksUsable("ov_start_system_audio", "[tap] ", onData, onStatus, statusUser))
        return;
    try {
        ovra::runStartProtocol<ovra::SystemAudioKind>(onData, dataUser, onStatus, statusUser);
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        // Only an allocation failure gets here; the host still hears once, as failed.
        onStatus(-3, statusUser);
    }
}

extern "C" OV_EXPORT void ov_stop_system_audio(void) {
    try {
        ovra::runStopProtocol<ovra::SystemAudioKind>();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
    }
}
