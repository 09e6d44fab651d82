// The simulated aggregate device's main sub-device moving, and the listeners told about it.
#include "platform/sim/SimAudioHardware.h"

namespace ovra::sim {

OSStatus SimAudioHardware::addPropertyListenerBlock(AudioObjectID object,
                                                    const AudioObjectPropertyAddress& address,
                                                    std::shared_ptr<DispatchQueue> queue,
                                                    PropertyListenerBlock block) {
    if (!queue || !block) return kAudio_ParamError;
    std::lock_guard lock(mutex_);
    if (!aggregates_.count(object)) return kAudioHardwareBadObjectError;
    if (address.mSelector != kAudioAggregateDevicePropertyMainSubDevice)
        return kAudioHardwareUnknownPropertyError;
    listeners_.emplace(nextListener_++, Listener{object, std::move(queue), std::move(block)});
    return noErr;
}

OSStatus SimAudioHardware::removePropertyListenerBlock(AudioObjectID object,
                                                       const AudioObjectPropertyAddress&) {
    std::lock_guard lock(mutex_);
    return std::erase_if(listeners_, [object](const auto& l) { return l.second.object == object; })
               ? noErr
               : kAudioHardwareBadObjectError;
}

size_t SimAudioHardware::moveMainDevice(AudioObjectID device, std::string uid) {
    std::lock_guard lock(mutex_);
    auto aggregate = aggregates_.find(device);
    if (aggregate == aggregates_.end()) return 0;
    aggregate->second.mainDevice = std::move(uid);
    size_t called = 0;
    for (const auto& [token, listener] : listeners_) {
        if (listener.object != device) continue;
        ++called;
        // Looked up again when it runs: a listener removed meanwhile is not called.
        listener.queue->async([this, token = token] {
            PropertyListenerBlock block;
            {
                // Looked up again when it runs: a listener removed meanwhile is not called.
                std::lock_guard relock(mutex_);
                auto found = listeners_.find(token);
                if (found == listeners_.end()) return;
                block = found->second.block;
            }
            const AudioObjectPropertyAddress changed{kAudioAggregateDevicePropertyMainSubDevice,
                                                     kAudioObjectPropertyScopeGlobal,
                                                     kAudioObjectPropertyElementMain};
            block(1, &changed);
        });
    }
    return called;
}

size_t SimAudioHardware::propertyListenerCount() const {
    std::lock_guard lock(mutex_);
    return listeners_.size();
}

}  // namespace ovra::sim
