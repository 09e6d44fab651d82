// The start and stop protocols, written once for both kinds of audio session.
//
// A Kind supplies: `using Session`; `static std::shared_ptr<Session>& slot()` (guarded by
// globalLock); `static const char* alreadyRunningLine()`; `static int32_t reportFailure(
// std::exception_ptr)` that writes the failure line(s) and returns the status code; and
// `static void afterStop(bool hadSession)` for the kind's stop logging. A Session supplies
// `start()`, `stop()`, `shutDelivery()` (no callback starts afterwards; returns at once) and
// `deliveringOnThisThread()`.
#pragma once

#include <cxxabi.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "OvraHelper.h"
#include "base/ErrorText.h"
#include "base/Log.h"
#include "delivery/DeliveryGate.h"
#include "interface/Locks.h"

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
    } catch (abi::__forced_unwind&) {
        throw;
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

// Sessions of one kind being torn down, each with its number; guarded by globalLock.
struct Teardowns {
    uint64_t lastNumber = 0;
    std::vector<uint64_t> inProgress;
};
template <class Kind>
Teardowns& teardownsOf() {
    static auto* teardowns = new Teardowns;  // leaked, like the locks
    return *teardowns;
}
// Signalled, under globalLock, whenever a teardown ends.
std::condition_variable& teardownEnded();

// Tears `session` down and reports teardown `number` as ended.
template <class Kind>
void tearDownSession(std::shared_ptr<typename Kind::Session> session, uint64_t number) {
    // Reported on every way out, also when the thread is unwound, so that no stop waits for good.
    struct Ended {
        uint64_t number;
        ~Ended() {
            std::lock_guard lock(globalLock());
            std::erase(teardownsOf<Kind>().inProgress, number);
            teardownEnded().notify_all();
        }
    } ended{number};
    try {
        session->stop();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
    }
    session.reset();
}

// A stop returns once every session of its kind that was registered when it began has been torn
// down, whichever call does that. A stop from inside a data callback waits for no callback in
// progress and no other teardown: it shuts the session's delivery at once and, for a session of
// the other kind (whose teardown waits for that kind's callback, which may be waiting for this
// one), hands the teardown to a thread of its own.
template <class Kind>
void runStopProtocol() {
    const bool fromCallback = DeliveryGate::insideAnyDelivery();
    std::shared_ptr<typename Kind::Session> session;
    uint64_t number = 0;
    {
        std::unique_lock lock(globalLock());
        auto& pending = teardownsOf<Kind>();
        if (Kind::slot()) pending.inProgress.reserve(pending.inProgress.size() + 1);
        session = std::exchange(Kind::slot(), nullptr);
        if (session) {
            number = ++pending.lastNumber;
            pending.inProgress.push_back(number);
        } else if (!fromCallback) {
            // Another stop took the session and may still be tearing it down.
            const uint64_t upTo = pending.lastNumber;
            teardownEnded().wait(lock, [&] {
                return std::none_of(pending.inProgress.begin(), pending.inProgress.end(),
                                    [&](uint64_t n) { return n <= upTo; });
            });
        }
    }
    const bool hadSession = session != nullptr;
    if (session && fromCallback && !session->deliveringOnThisThread()) {
        session->shutDelivery();
        try {
            std::thread([session, number]() mutable {
                tearDownSession<Kind>(std::move(session), number);
            }).detach();
            session.reset();
        } catch (abi::__forced_unwind&) {
            throw;
        } catch (...) {
            // No thread to be had: tear down here, as the only way left.
        }
    }
    if (session) tearDownSession<Kind>(std::move(session), number);
    Kind::afterStop(hadSession);
}

// Whether a start may go on with these callbacks. Without a status callback nobody can be answered:
// one "Error: " line, nothing started. Without a data callback the start is answered -3 with the
// kind's failure line.
bool callbacksUsable(const char* function, const char* prefix, ov_data_callback onData,
                     ov_status_callback onStatus, void* statusUser);

}  // namespace ovra
