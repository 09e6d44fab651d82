#include "platform/pulse/PulseAudioHardware.h"

#include <cxxabi.h>

#include <algorithm>
#include <bit>
#include <cstring>

#include "platform/pulse/PulseSinks.h"

namespace ovra::pulse {
namespace {

// Nothing thrown here may reach the core, which reads statuses only.
template <class F>
OSStatus guarded(F f) {
    try {
        return f();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        return kAudioHardwareUnspecifiedError;
    }
}

bool isSink(AudioObjectID object) {
    return object >= kSinkObjectBase;
}

OSStatus writeString(const std::string& text, uint32_t* ioDataSize, void* outData) {
    if (*ioDataSize < sizeof(StringRef)) return kAudioHardwareBadPropertySizeError;
    *static_cast<StringRef*>(outData) = new std::string(text);
    *ioDataSize = sizeof(StringRef);
    return noErr;
}

// The float format in which the monitor stream records.
AudioStreamBasicDescription floatFormat(const MonitorFormat& monitor) {
    const uint32_t channels = monitor.channelMap.channels;
    AudioStreamBasicDescription asbd{};
    asbd.mSampleRate = monitor.rate;
    asbd.mFormatID = kAudioFormatLinearPCM;
    asbd.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked |
                        (std::endian::native == std::endian::big ? kAudioFormatFlagIsBigEndian : 0);
    asbd.mBytesPerPacket = 4 * channels;
    asbd.mFramesPerPacket = 1;
    asbd.mBytesPerFrame = 4 * channels;
    asbd.mChannelsPerFrame = channels;
    asbd.mBitsPerChannel = 32;
    return asbd;
}

// The "uid" entries of an array of dictionaries; false when the array or an entry is malformed.
bool uidsOf(const PropertyValue* array, std::vector<std::string>* out) {
    if (!array) return true;
    if (!array->array()) return false;
    for (const auto& entry : *array->array()) {
        const PropertyValue* uid =
            entry.dictionary() ? lookup(*entry.dictionary(), "uid") : nullptr;
        if (!uid || !uid->string()) return false;
        out->push_back(*uid->string());
    }
    return true;
}

}  // namespace

PulseAudioHardware::PulseAudioHardware(PulseConnection& connection) : connection_(connection) {}

PulseAudioHardware::~PulseAudioHardware() {
    for (auto& [handle, entry] : procs_) {
        try {
            PulseMonitorProc::release(std::move(entry.proc));
        } catch (...) {
        }
    }
}

OSStatus PulseAudioHardware::createProcessTap(const TapDescription& description,
                                              AudioObjectID* outTap) {
    return guarded([&] {
        if (!outTap) return kAudio_ParamError;
        // A monitor hears every process, unmuted; it cannot leave any out or silence them.
        if (!description.processes().empty() || !description.isExclusive() ||
            description.muteBehavior() != 0)
            return kAudioHardwareIllegalOperationError;
        if (!pulseLoaded("[tap] ")) return kAudioHardwareNotRunningError;
        {
            PulseConnection::Lock lock(connection_);
            if (!connection_.ready(lock)) return kAudioHardwareNotRunningError;
        }
        std::lock_guard lock(mutex_);
        const AudioObjectID id = nextObject_++;
        taps_.emplace(id, Tap{description.uuid().text()});
        *outTap = id;
        return noErr;
    });
}

OSStatus PulseAudioHardware::destroyProcessTap(AudioObjectID tap) {
    return guarded([&] {
        std::lock_guard lock(mutex_);
        return taps_.erase(tap) ? noErr : kAudioHardwareBadObjectError;
    });
}

OSStatus PulseAudioHardware::getPropertyData(AudioObjectID object,
                                             const AudioObjectPropertyAddress& address, uint32_t,
                                             const void*, uint32_t* ioDataSize, void* outData) {
    return guarded([&] {
        if (!ioDataSize || !outData) return kAudio_ParamError;
        if (object == kAudioObjectSystemObject)
            return readSystemProperty(address, ioDataSize, outData);
        if (isSink(object)) return readSinkProperty(object, address, ioDataSize, outData);
        return readOwnProperty(object, address, ioDataSize, outData);
    });
}

OSStatus PulseAudioHardware::readSystemProperty(const AudioObjectPropertyAddress& address,
                                                uint32_t* ioDataSize, void* outData) {
    if (address.mSelector != kAudioHardwarePropertyDefaultOutputDevice)
        return kAudioHardwareUnknownPropertyError;
    if (*ioDataSize < sizeof(AudioObjectID)) return kAudioHardwareBadPropertySizeError;
    SinkDescription sink;
    AudioObjectID id = kAudioObjectUnknown;
    const OSStatus status = defaultSink(connection_, &sink);
    if (status == noErr)
        id = kSinkObjectBase + sink.index;
    else if (status != kAudioHardwareBadDeviceError)  // a server without sinks has no default
        return status;
    std::memcpy(outData, &id, sizeof id);
    *ioDataSize = sizeof id;
    return noErr;
}

OSStatus PulseAudioHardware::readSinkProperty(AudioObjectID sink,
                                              const AudioObjectPropertyAddress& address,
                                              uint32_t* ioDataSize, void* outData) {
    if (address.mSelector != kAudioDevicePropertyDeviceUID)
        return kAudioHardwareUnknownPropertyError;
    if (*ioDataSize < sizeof(StringRef)) return kAudioHardwareBadPropertySizeError;
    SinkDescription description;
    const OSStatus status = sinkByIndex(connection_, sink - kSinkObjectBase, &description);
    if (status == kAudioHardwareBadDeviceError) return kAudioHardwareBadObjectError;
    if (status != noErr) return status;
    return writeString(description.name, ioDataSize, outData);
}

OSStatus PulseAudioHardware::readOwnProperty(AudioObjectID object,
                                             const AudioObjectPropertyAddress& address,
                                             uint32_t* ioDataSize, void* outData) {
    std::lock_guard lock(mutex_);
    if (auto tap = taps_.find(object); tap != taps_.end()) {
        if (address.mSelector != kAudioDevicePropertyDeviceUID)
            return kAudioHardwareUnknownPropertyError;
        return writeString(tap->second.uuid, ioDataSize, outData);
    }
    auto device = aggregates_.find(object);
    if (device == aggregates_.end()) return kAudioHardwareBadObjectError;
    if (address.mSelector == kAudioDevicePropertyDeviceUID)
        return writeString(device->second.uid, ioDataSize, outData);
    if (address.mSelector == kAudioAggregateDevicePropertyMainSubDevice)
        return writeString(device->second.mainSink, ioDataSize, outData);
    if (address.mSelector != kAudioDevicePropertyStreamFormat ||
        address.mScope != kAudioObjectPropertyScopeInput)
        return kAudioHardwareUnknownPropertyError;
    if (*ioDataSize < sizeof(AudioStreamBasicDescription))
        return kAudioHardwareBadPropertySizeError;
    const AudioStreamBasicDescription format = floatFormat(device->second.monitor);
    std::memcpy(outData, &format, sizeof format);
    *ioDataSize = sizeof format;
    return noErr;
}

OSStatus PulseAudioHardware::createAggregateDevice(const PropertyDictionary& description,
                                                   AudioObjectID* outDevice) {
    return guarded([&] {
        if (!outDevice) return kAudio_ParamError;
        const PropertyValue* master = lookup(description, "master");
        const PropertyValue* uid = lookup(description, "uid");
        std::vector<std::string> subdevices, taps;
        if (!master || !master->string() || (uid && !uid->string()) ||
            !uidsOf(lookup(description, "subdevices"), &subdevices) ||
            !uidsOf(lookup(description, "taps"), &taps) || taps.empty())
            return kAudio_ParamError;
        {
            std::lock_guard lock(mutex_);
            for (const auto& tapUid : taps) {
                const bool known = std::any_of(taps_.begin(), taps_.end(), [&](const auto& t) {
                    return t.second.uuid == tapUid;
                });
                if (!known) return kAudioHardwareBadObjectError;
            }
        }
        SinkDescription sink;
        if (const OSStatus status = sinkByName(connection_, *master->string(), &sink))
            return status;
        for (const auto& name : subdevices) {
            SinkDescription other;
            if (const OSStatus status = sinkByName(connection_, name, &other)) return status;
        }
        std::lock_guard lock(mutex_);
        const AudioObjectID id = nextObject_++;
        aggregates_.emplace(id, Aggregate{uid ? *uid->string() : std::string(),
                                          MonitorFormat{sink.monitorSource, sink.rate,
                                                        sink.channelMap, sink.name, sink.index},
                                          sink.name});
        *outDevice = id;
        return noErr;
    });
}

OSStatus PulseAudioHardware::destroyAggregateDevice(AudioObjectID device) {
    return guarded([&] {
        std::vector<std::shared_ptr<PulseMonitorProc>> orphans;
        {
            std::lock_guard lock(mutex_);
            if (!aggregates_.erase(device)) return kAudioHardwareBadObjectError;
            std::erase_if(listeners_,
                          [device](const auto& l) { return l.second.object == device; });
            for (auto it = procs_.begin(); it != procs_.end();) {
                if (it->second.device != device) {
                    ++it;
                    continue;
                }
                orphans.push_back(std::move(it->second.proc));
                it = procs_.erase(it);
            }
        }
        for (auto& proc : orphans) PulseMonitorProc::release(std::move(proc));
        return noErr;
    });
}

OSStatus PulseAudioHardware::createIOProcIDWithBlock(AudioDeviceIOProcID* outProc,
                                                     AudioObjectID device,
                                                     std::shared_ptr<DispatchQueue> queue,
                                                     IOBlock block) {
    return guarded([&] {
        if (!outProc || !queue || !block) return kAudio_ParamError;
        MonitorFormat monitor;
        {
            std::lock_guard lock(mutex_);
            auto found = aggregates_.find(device);
            if (found == aggregates_.end()) return kAudioHardwareBadObjectError;
            monitor = found->second.monitor;
        }
        auto proc = std::make_shared<PulseMonitorProc>(
            connection_, std::move(monitor), std::move(queue), std::move(block),
            [this, device](const std::string& sink) { mainSinkMoved(device, sink); });
        std::lock_guard lock(mutex_);
        if (!aggregates_.count(device)) return kAudioHardwareBadObjectError;
        const auto handle = reinterpret_cast<AudioDeviceIOProcID>(nextProc_++);
        procs_.emplace(handle, Proc{device, std::move(proc)});
        *outProc = handle;
        return noErr;
    });
}

std::shared_ptr<PulseMonitorProc> PulseAudioHardware::findProc(AudioObjectID device,
                                                               AudioDeviceIOProcID proc) {
    std::lock_guard lock(mutex_);
    auto found = procs_.find(proc);
    if (found == procs_.end() || found->second.device != device) return nullptr;
    return found->second.proc;
}

OSStatus PulseAudioHardware::deviceStart(AudioObjectID device, AudioDeviceIOProcID proc) {
    return guarded([&] {
        auto found = findProc(device, proc);
        return found ? found->start() : kAudioHardwareBadObjectError;
    });
}

OSStatus PulseAudioHardware::deviceStop(AudioObjectID device, AudioDeviceIOProcID proc) {
    return guarded([&] {
        auto found = findProc(device, proc);
        if (!found) return kAudioHardwareBadObjectError;
        found->stop();
        return noErr;
    });
}

OSStatus PulseAudioHardware::destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID proc) {
    return guarded([&] {
        std::shared_ptr<PulseMonitorProc> taken;
        {
            std::lock_guard lock(mutex_);
            auto found = procs_.find(proc);
            if (found == procs_.end() || found->second.device != device)
                return kAudioHardwareBadObjectError;
            taken = std::move(found->second.proc);
            procs_.erase(found);
        }
        PulseMonitorProc::release(std::move(taken));
        return noErr;
    });
}

OSStatus PulseAudioHardware::addPropertyListenerBlock(AudioObjectID object,
                                                      const AudioObjectPropertyAddress& address,
                                                      std::shared_ptr<DispatchQueue> queue,
                                                      PropertyListenerBlock block) {
    return guarded([&] {
        if (!queue || !block) return kAudio_ParamError;
        std::lock_guard lock(mutex_);
        if (!aggregates_.count(object)) return kAudioHardwareBadObjectError;
        if (address.mSelector != kAudioAggregateDevicePropertyMainSubDevice)
            return kAudioHardwareUnknownPropertyError;
        listeners_.emplace(nextListener_++,
                           Listener{object, address, std::move(queue), std::move(block)});
        return noErr;
    });
}

OSStatus PulseAudioHardware::removePropertyListenerBlock(
    AudioObjectID object, const AudioObjectPropertyAddress& address) {
    return guarded([&] {
        std::lock_guard lock(mutex_);
        const size_t removed = std::erase_if(listeners_, [&](const auto& l) {
            return l.second.object == object && l.second.address.mSelector == address.mSelector;
        });
        return removed ? noErr : kAudioHardwareBadObjectError;
    });
}

void PulseAudioHardware::mainSinkMoved(AudioObjectID device, const std::string& sink) {
    try {
        std::lock_guard lock(mutex_);
        auto found = aggregates_.find(device);
        if (found == aggregates_.end()) return;
        found->second.mainSink = sink;
        for (const auto& [token, listener] : listeners_)
            if (listener.object == device)
                listener.queue->async([this, token = token] { runListener(token); });
    } catch (...) {
        // Out of memory on the main loop: the move goes unannounced; the capture goes on.
    }
}

void PulseAudioHardware::runListener(uint64_t token) {
    PropertyListenerBlock block;
    AudioObjectPropertyAddress address{};
    {
        // Looked up again on the queue: a listener removed meanwhile is not called.
        std::lock_guard lock(mutex_);
        auto found = listeners_.find(token);
        if (found == listeners_.end()) return;
        block = found->second.block;
        address = found->second.address;
    }
    try {
        block(1, &address);
    } catch (...) {
    }
}

}  // namespace ovra::pulse
