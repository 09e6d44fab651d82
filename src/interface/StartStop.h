// The start and stop protocols, written once for both kinds of audio session.
//
// A Kind supplies: `using Session`; `static std::shared_ptr<Session>& slot()` (guarded by
// globalLock); `static const char* alreadyRunningLine()`; `static int32_t reportFailure(
// std::exception_ptr)` that writes the failure line(s) and returns the status code; and
// `static void afterStop(bool hadSession)` for the kind's stop logging.
#pragma once

#include <exception>
#include <memory>
#include <mutex>
#include <utility>

#include "OvraHelper.h"
#include "interface/Locks.h"
#include "interface/Log.h"

namespace ovra {

template <class Kind>
void runStartProtocol(ov_data_callback onData, void* dataUser, ov_status_callback onStatus,
                      void* statusUser) {
    std::unique_lock lock(globalLock());
    auto& slot = Kind::slot();
    if (slot) {
        lock.unlock();
        logLine(Kind::alreadyRunningLine());
        onStatus(-1, statusUser);
        return;
    }
    auto session = std::make_shared<typename Kind::Session>(onData, dataUser);
    std::exception_ptr failure;
    try {
        session->start();
    } catch (...) {
        failure = std::current_exception();
    }
    if (!failure) {
        slot = session;
        lock.unlock();
        onStatus(0, statusUser);
        return;
    }
    lock.unlock();
    const int32_t code = Kind::reportFailure(failure);
    onStatus(code, statusUser);
    session.reset();  // a session that did not start is dropped without stop
}

template <class Kind>
void runStopProtocol() {
    std::shared_ptr<typename Kind::Session> session;
    {
        std::lock_guard lock(globalLock());
        session = std::exchange(Kind::slot(), nullptr);
    }
    const bool hadSession = session != nullptr;
    if (session) {
        session->stop();
        session.reset();
    }
    Kind::afterStop(hadSession);
}

// The text of an error that is not the kind's own.
std::string genericErrorText(std::exception_ptr error);

}  // namespace ovra
