#include "platform/sim/SimAudioHardware.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <numbers>
#include <thread>

#include "platform/audio/AudioFormat.h"

namespace ovra::sim {

// What one registered I/O block needs on its queue. `running` and `destroyed` let
// destroyIOProcID wait out a call in progress, except one on its own thread (a stop from inside
// the block), where the block is released once that call has returned.
struct SimAudioHardware::ProcState {
    std::mutex mutex;
    std::condition_variable idle;
    IOBlock block;
    bool running = false;
    bool destroyed = false;
    bool releaseAfterRun = false;  // destroyed from inside the running block
};

// One cycle of input, owning its samples until the block has run.
struct SimAudioHardware::Cycle {
    std::vector<std::vector<uint8_t>> storage;
    std::vector<AudioBuffer> buffers;
    AudioBufferList list{};
    AudioTimeStamp time{};

    void link() {
        buffers.resize(storage.size());
        for (size_t i = 0; i < storage.size(); ++i) {
            buffers[i].mDataByteSize = uint32_t(storage[i].size());
            buffers[i].mData = storage[i].empty() ? nullptr : storage[i].data();
        }
        list.mNumberBuffers = uint32_t(buffers.size());
        list.mBuffers = buffers.data();
    }
};

// The thread of a paced device: posts one cycle per period of real time until stopped.
struct SimAudioHardware::Pacer {
    std::mutex mutex;
    std::condition_variable wake;
    bool stop = false;
    std::thread thread;

    ~Pacer() {
        {
            std::lock_guard lock(mutex);
            stop = true;
        }
        wake.notify_all();
        if (thread.joinable()) thread.join();
    }
};

namespace {

std::string fourCCText(uint32_t code) {
    std::string s = "'";
    for (int shift = 24; shift >= 0; shift -= 8) s += char((code >> shift) & 0xff);
    return s + "'";
}

// The selector as a failure name: "dOut", "uid", "sfmt".
std::string selectorName(uint32_t code) {
    std::string s;
    for (int shift = 24; shift >= 0; shift -= 8) s += char((code >> shift) & 0xff);
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

const char* qosName(QualityOfService q) {
    switch (q) {
        case QualityOfService::background:
            return "background";
        case QualityOfService::utility:
            return "utility";
        case QualityOfService::defaultQoS:
            return "default";
        case QualityOfService::userInitiated:
            return "userInitiated";
        case QualityOfService::userInteractive:
            return "userInteractive";
    }
    return "?";
}

std::string procText(AudioDeviceIOProcID proc) {
    return std::to_string(reinterpret_cast<uintptr_t>(proc));
}

std::string result(OSStatus status) {
    return " => " + std::to_string(status);
}

// Writes `v` as one sample of `format`'s type at `out`.
void writeSample(const AudioFormat& format, float v, uint8_t* out) {
    const double clipped = std::clamp(double(v), -1.0, 1.0);
    switch (format.commonFormat()) {
        case AudioCommonFormat::pcmFormatFloat32:
            std::memcpy(out, &v, 4);
            break;
        case AudioCommonFormat::pcmFormatFloat64: {
            const double d = v;
            std::memcpy(out, &d, 8);
            break;
        }
        case AudioCommonFormat::pcmFormatInt16: {
            const int16_t s = int16_t(std::lround(clipped * 32767.0));
            std::memcpy(out, &s, 2);
            break;
        }
        case AudioCommonFormat::pcmFormatInt32: {
            const int32_t s = int32_t(std::llround(clipped * 2147483647.0));
            std::memcpy(out, &s, 4);
            break;
        }
        default:
            break;
    }
}

}  // namespace

std::string describe(const PropertyValue& value) {
    if (const auto* s = value.string()) return "\"" + *s + "\"";
    if (const auto* b = value.boolean()) return *b ? "true" : "false";
    if (const auto* a = value.array()) {
        std::string out = "[";
        for (size_t i = 0; i < a->size(); ++i) out += (i ? ", " : "") + describe((*a)[i]);
        return out + "]";
    }
    return describe(*value.dictionary());
}

std::string describe(const PropertyDictionary& dictionary) {
    std::string out = "{";
    for (size_t i = 0; i < dictionary.size(); ++i)
        out += (i ? ", \"" : "\"") + dictionary[i].first + "\": " + describe(dictionary[i].second);
    return out + "}";
}

SimAudioHardware::SimAudioHardware(SimJournal& journal)
    : journal_(journal), tapFormat_(floatFormat(48000.0, 2)) {
    setDefaultOutputDevice("SimBuiltInSpeakers_UID");
}

SimAudioHardware::~SimAudioHardware() {
    // Pacers first: their threads post to queues that the procedures keep alive.
    std::map<AudioDeviceIOProcID, Proc> procs;
    {
        std::lock_guard lock(mutex_);
        procs.swap(procs_);
    }
    for (auto& [id, proc] : procs) proc.pacer.reset();
}

AudioStreamBasicDescription SimAudioHardware::floatFormat(double rate, uint32_t channels,
                                                          bool interleaved) {
    AudioStreamBasicDescription d{};
    d.mSampleRate = rate;
    d.mFormatID = kAudioFormatLinearPCM;
    d.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked |
                     (interleaved ? 0 : kAudioFormatFlagIsNonInterleaved);
    d.mBytesPerFrame = interleaved ? 4 * channels : 4;
    d.mBytesPerPacket = d.mBytesPerFrame;
    d.mFramesPerPacket = 1;
    d.mChannelsPerFrame = channels;
    d.mBitsPerChannel = 32;
    return d;
}

std::optional<OSStatus> SimAudioHardware::failure(const std::string& call) {
    return journal_.takeFailure(call);
}

AudioObjectID SimAudioHardware::newObjectID() {
    return nextID_++;
}

// ---------------------------------------------------------------------------------------- taps

OSStatus SimAudioHardware::createProcessTap(const TapDescription& description,
                                            AudioObjectID* outTap) {
    std::string calls;
    for (const auto& c : description.calls()) calls += (calls.empty() ? "" : ", ") + c;
    const std::string entry = "createProcessTap [" + calls + "]";
    if (auto f = failure("createProcessTap")) {
        journal_.record(entry + result(*f));
        return *f;
    }
    if (!outTap) {
        journal_.record(entry + result(kAudio_ParamError));
        return kAudio_ParamError;
    }
    AudioObjectID id;
    {
        std::lock_guard lock(mutex_);
        id = newObjectID();
        taps_.emplace(id, description);
        tapHistory_.push_back(description);
    }
    *outTap = id;
    journal_.record(entry + result(noErr) + " tap=" + std::to_string(id));
    return noErr;
}

OSStatus SimAudioHardware::destroyProcessTap(AudioObjectID tap) {
    const std::string entry = "destroyProcessTap tap=" + std::to_string(tap);
    OSStatus status = noErr;
    if (auto f = failure("destroyProcessTap")) {
        status = *f;
    } else {
        std::lock_guard lock(mutex_);
        if (taps_.erase(tap) == 0) status = kAudioHardwareBadObjectError;
    }
    journal_.record(entry + result(status));
    return status;
}

// ----------------------------------------------------------------------------------- properties

OSStatus SimAudioHardware::getPropertyData(AudioObjectID object,
                                           const AudioObjectPropertyAddress& address,
                                           uint32_t qualifierSize, const void* qualifier,
                                           uint32_t* ioDataSize, void* outData) {
    const std::string entry = "getPropertyData object=" + std::to_string(object) +
                              " address=" + fourCCText(address.mSelector) + "," +
                              fourCCText(address.mScope) + "," + std::to_string(address.mElement) +
                              " qualifierSize=" + std::to_string(qualifierSize) +
                              " qualifier=" + (qualifier ? "set" : "null") +
                              " dataSize=" + (ioDataSize ? std::to_string(*ioDataSize) : "null");
    auto f = failure("getPropertyData:" + selectorName(address.mSelector));
    if (!f) f = failure("getPropertyData");
    if (f) {
        journal_.record(entry + result(*f));
        return *f;
    }
    auto finish = [&](OSStatus status) {
        journal_.record(entry + result(status));
        return status;
    };
    if (!ioDataSize || !outData) return finish(kAudio_ParamError);

    std::lock_guard lock(mutex_);
    const bool global = address.mScope == kAudioObjectPropertyScopeGlobal;
    if (object == kAudioObjectSystemObject) {
        if (address.mSelector != kAudioHardwarePropertyDefaultOutputDevice || !global)
            return finish(kAudioHardwareUnknownPropertyError);
        if (*ioDataSize < sizeof(AudioObjectID)) return finish(kAudioHardwareBadPropertySizeError);
        std::memcpy(outData, &defaultOutput_, sizeof(AudioObjectID));
        *ioDataSize = sizeof(AudioObjectID);
        return finish(noErr);
    }
    const auto output = outputDevices_.find(object);
    const auto aggregate = aggregates_.find(object);
    if (output == outputDevices_.end() && aggregate == aggregates_.end())
        return finish(kAudioHardwareBadObjectError);
    if (address.mSelector == kAudioDevicePropertyDeviceUID && global) {
        if (*ioDataSize != sizeof(StringRef)) return finish(kAudioHardwareBadPropertySizeError);
        const std::string& uid =
            output != outputDevices_.end() ? output->second : aggregate->second.uid;
        *static_cast<StringRef*>(outData) = new std::string(uid);
        return finish(noErr);
    }
    if (address.mSelector == kAudioAggregateDevicePropertyMainSubDevice && global &&
        aggregate != aggregates_.end()) {
        if (*ioDataSize != sizeof(StringRef)) return finish(kAudioHardwareBadPropertySizeError);
        *static_cast<StringRef*>(outData) = new std::string(aggregate->second.mainDevice);
        return finish(noErr);
    }
    if (address.mSelector == kAudioDevicePropertyStreamFormat &&
        address.mScope == kAudioObjectPropertyScopeInput && aggregate != aggregates_.end()) {
        if (*ioDataSize < sizeof(AudioStreamBasicDescription))
            return finish(kAudioHardwareBadPropertySizeError);
        std::memcpy(outData, &aggregate->second.format, sizeof(AudioStreamBasicDescription));
        *ioDataSize = sizeof(AudioStreamBasicDescription);
        return finish(noErr);
    }
    return finish(kAudioHardwareUnknownPropertyError);
}

// ---------------------------------------------------------------------------- aggregate devices

OSStatus SimAudioHardware::createAggregateDevice(const PropertyDictionary& description,
                                                 AudioObjectID* outDevice) {
    const std::string entry = "createAggregateDevice " + describe(description);
    if (auto f = failure("createAggregateDevice")) {
        journal_.record(entry + result(*f));
        return *f;
    }
    const PropertyValue* uid = lookup(description, "uid");
    if (!outDevice || !uid || !uid->string()) {
        journal_.record(entry + result(kAudio_ParamError));
        return kAudio_ParamError;
    }
    AudioObjectID id;
    {
        std::lock_guard lock(mutex_);
        id = newObjectID();
        const PropertyValue* master = lookup(description, "master");
        aggregates_.emplace(id, Aggregate{description, *uid->string(), tapFormat_,
                                          master && master->string() ? *master->string() : ""});
        aggregateHistory_.push_back(description);
    }
    *outDevice = id;
    journal_.record(entry + result(noErr) + " device=" + std::to_string(id));
    return noErr;
}

OSStatus SimAudioHardware::destroyAggregateDevice(AudioObjectID device) {
    const std::string entry = "destroyAggregateDevice device=" + std::to_string(device);
    if (auto f = failure("destroyAggregateDevice")) {
        journal_.record(entry + result(*f));
        return *f;
    }
    std::vector<AudioDeviceIOProcID> orphans;
    OSStatus status = noErr;
    {
        std::lock_guard lock(mutex_);
        if (aggregates_.erase(device) == 0) status = kAudioHardwareBadObjectError;
        std::erase_if(listeners_, [device](const auto& l) { return l.second.object == device; });
        for (const auto& [id, proc] : procs_)
            if (proc.device == device) orphans.push_back(id);
    }
    journal_.record(entry + result(status));
    // A device that goes takes its procedures with it: none of their blocks runs again.
    for (auto proc : orphans) destroyIOProcID(device, proc);
    return status;
}

// ------------------------------------------------------------------------------ I/O procedures

OSStatus SimAudioHardware::createIOProcIDWithBlock(AudioDeviceIOProcID* outProc,
                                                   AudioObjectID device,
                                                   std::shared_ptr<DispatchQueue> queue,
                                                   IOBlock block) {
    const std::string entry =
        "createIOProcIDWithBlock device=" + std::to_string(device) + " queue=" +
        (queue ? "\"" + queue->label() + "\" qos=" + qosName(queue->qualityOfService())
               : std::string("null")) +
        " block=" + (block ? "set" : "null");
    if (auto f = failure("createIOProcIDWithBlock")) {
        journal_.record(entry + result(*f));
        return *f;
    }
    if (!outProc || !queue || !block) {
        journal_.record(entry + result(kAudio_ParamError));
        return kAudio_ParamError;
    }
    AudioDeviceIOProcID id;
    {
        std::lock_guard lock(mutex_);
        if (!aggregates_.count(device) && !outputDevices_.count(device)) {
            journal_.record(entry + result(kAudioHardwareBadDeviceError));
            return kAudioHardwareBadDeviceError;
        }
        id = reinterpret_cast<AudioDeviceIOProcID>(nextProc_++);
        auto state = std::make_shared<ProcState>();
        state->block = std::move(block);
        procs_.emplace(id, Proc{device, std::move(queue), std::move(state), nullptr, false});
    }
    *outProc = id;
    journal_.record(entry + result(noErr) + " proc=" + procText(id));
    return noErr;
}

OSStatus SimAudioHardware::deviceStart(AudioObjectID device, AudioDeviceIOProcID proc) {
    const std::string entry =
        "deviceStart device=" + std::to_string(device) + " proc=" + procText(proc);
    if (auto f = failure("deviceStart")) {
        journal_.record(entry + result(*f));
        return *f;
    }
    std::lock_guard lock(mutex_);
    auto it = procs_.find(proc);
    if (it == procs_.end() || it->second.device != device) {
        journal_.record(entry + result(kAudioHardwareBadDeviceError));
        return kAudioHardwareBadDeviceError;
    }
    if (!it->second.running) {
        it->second.running = true;
        if (pacing_) startPacer(it->second);
    }
    journal_.record(entry + result(noErr));
    return noErr;
}

OSStatus SimAudioHardware::deviceStop(AudioObjectID device, AudioDeviceIOProcID proc) {
    const std::string entry =
        "deviceStop device=" + std::to_string(device) + " proc=" + procText(proc);
    if (auto f = failure("deviceStop")) {
        journal_.record(entry + result(*f));
        return *f;
    }
    std::unique_ptr<Pacer> pacer;
    OSStatus status = noErr;
    {
        std::lock_guard lock(mutex_);
        auto it = procs_.find(proc);
        if (it == procs_.end() || it->second.device != device) {
            status = kAudioHardwareBadDeviceError;
        } else {
            it->second.running = false;
            pacer = std::move(it->second.pacer);
        }
    }
    pacer.reset();  // joins its thread, which never waits on anything of ours
    journal_.record(entry + result(status));
    return status;
}

OSStatus SimAudioHardware::destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID proc) {
    const std::string entry =
        "destroyIOProcID device=" + std::to_string(device) + " proc=" + procText(proc);
    if (auto f = failure("destroyIOProcID")) {
        journal_.record(entry + result(*f));
        return *f;
    }
    Proc gone{};
    {
        std::lock_guard lock(mutex_);
        auto it = procs_.find(proc);
        if (it == procs_.end() || it->second.device != device) {
            journal_.record(entry + result(kAudioHardwareBadDeviceError));
            return kAudioHardwareBadDeviceError;
        }
        gone = std::move(it->second);
        procs_.erase(it);
    }
    gone.pacer.reset();
    IOBlock released;
    {
        std::unique_lock lock(gone.state->mutex);
        gone.state->destroyed = true;
        // A call in progress on another thread is waited out; one on this thread is the caller,
        // whose block is released once it has returned.
        if (gone.state->running && gone.queue->isCurrent()) {
            gone.state->releaseAfterRun = true;
        } else {
            gone.state->idle.wait(lock, [&] { return !gone.state->running; });
            released = std::move(gone.state->block);
        }
    }
    released = nullptr;
    journal_.record(entry + result(noErr));
    return noErr;
}

void SimAudioHardware::runCycle(const std::shared_ptr<ProcState>& state,
                                const std::shared_ptr<Cycle>& cycle) {
    {
        std::lock_guard lock(state->mutex);
        if (state->destroyed) return;
        state->running = true;
    }
    AudioBufferList output{0, nullptr};
    state->block(&cycle->time, &cycle->list, &cycle->time, &output, &cycle->time);
    IOBlock released;
    {
        std::lock_guard lock(state->mutex);
        state->running = false;
        if (state->releaseAfterRun) released = std::move(state->block);
    }
    state->idle.notify_all();
}

// ---------------------------------------------------------------------------------- scripting

AudioObjectID SimAudioHardware::setDefaultOutputDevice(std::string uid) {
    std::lock_guard lock(mutex_);
    const AudioObjectID id = newObjectID();
    outputDevices_.emplace(id, std::move(uid));
    defaultOutput_ = id;
    return id;
}

void SimAudioHardware::removeDefaultOutputDevice() {
    std::lock_guard lock(mutex_);
    defaultOutput_ = kAudioObjectUnknown;
}

AudioObjectID SimAudioHardware::defaultOutputDevice() const {
    std::lock_guard lock(mutex_);
    return defaultOutput_;
}

void SimAudioHardware::setTapFormat(const AudioStreamBasicDescription& format) {
    std::lock_guard lock(mutex_);
    tapFormat_ = format;
}

size_t SimAudioHardware::processTapCount() const {
    std::lock_guard lock(mutex_);
    return taps_.size();
}

size_t SimAudioHardware::aggregateDeviceCount() const {
    std::lock_guard lock(mutex_);
    return aggregates_.size();
}

size_t SimAudioHardware::ioProcCount() const {
    std::lock_guard lock(mutex_);
    return procs_.size();
}

bool SimAudioHardware::isRunning(AudioObjectID device) const {
    std::lock_guard lock(mutex_);
    for (const auto& [id, proc] : procs_)
        if (proc.device == device && proc.running) return true;
    return false;
}

std::vector<TapDescription> SimAudioHardware::tapDescriptions() const {
    std::lock_guard lock(mutex_);
    return tapHistory_;
}

std::vector<PropertyDictionary> SimAudioHardware::aggregateDescriptions() const {
    std::lock_guard lock(mutex_);
    return aggregateHistory_;
}

AudioObjectID SimAudioHardware::lastAggregateDevice() const {
    std::lock_guard lock(mutex_);
    return aggregates_.empty() ? 0 : aggregates_.rbegin()->first;
}

// --------------------------------------------------------------------------------- I/O cycles

std::shared_ptr<SimAudioHardware::Cycle> SimAudioHardware::makeCycle(
    const AudioStreamBasicDescription& asbd, const std::vector<float>& interleaved) {
    auto format = AudioFormat::fromStreamDescription(asbd);
    if (!format) return nullptr;
    const uint32_t channels = format->channelCount();
    const size_t frames = interleaved.size() / channels;
    const uint32_t bytes = format->bytesPerSample();
    auto cycle = std::make_shared<Cycle>();
    if (format->isInterleaved()) {
        cycle->storage.emplace_back(frames * channels * bytes);
        for (size_t i = 0; i < frames * channels; ++i)
            writeSample(*format, interleaved[i], cycle->storage[0].data() + i * bytes);
    } else {
        for (uint32_t c = 0; c < channels; ++c) {
            cycle->storage.emplace_back(frames * bytes);
            for (size_t i = 0; i < frames; ++i)
                writeSample(*format, interleaved[i * channels + c],
                            cycle->storage[c].data() + i * bytes);
        }
    }
    cycle->link();
    const uint32_t perBuffer = format->isInterleaved() ? channels : 1;
    for (auto& b : cycle->buffers) b.mNumberChannels = perBuffer;
    return cycle;
}

std::shared_ptr<SimAudioHardware::Cycle> SimAudioHardware::toneCycle(
    const AudioStreamBasicDescription& asbd, uint32_t frames, uint64_t firstFrame,
    const Pacing& pacing) {
    const uint32_t channels = asbd.mChannelsPerFrame ? asbd.mChannelsPerFrame : 1;
    std::vector<float> samples(size_t(frames) * channels);
    const double step = 2 * std::numbers::pi * pacing.toneHz / asbd.mSampleRate;
    for (uint32_t i = 0; i < frames; ++i) {
        const float v = pacing.amplitude * float(std::sin(step * double(firstFrame + i)));
        for (uint32_t c = 0; c < channels; ++c) samples[size_t(i) * channels + c] = v;
    }
    return makeCycle(asbd, samples);
}

size_t SimAudioHardware::post(AudioObjectID device, const std::shared_ptr<Cycle>& cycle) {
    if (!cycle) return 0;
    std::lock_guard lock(mutex_);
    size_t posted = 0;
    for (const auto& [id, proc] : procs_) {
        if (proc.device != device || !proc.running) continue;
        proc.queue->async([state = proc.state, cycle] { runCycle(state, cycle); });
        ++posted;
    }
    return posted;
}

size_t SimAudioHardware::deliverCycle(AudioObjectID device, const std::vector<float>& interleaved) {
    AudioStreamBasicDescription format;
    {
        std::lock_guard lock(mutex_);
        auto it = aggregates_.find(device);
        if (it == aggregates_.end()) return 0;
        format = it->second.format;
    }
    return post(device, makeCycle(format, interleaved));
}

size_t SimAudioHardware::deliverRawCycle(AudioObjectID device,
                                         std::vector<std::vector<uint8_t>> buffers,
                                         uint32_t channelsPerBuffer) {
    auto cycle = std::make_shared<Cycle>();
    cycle->storage = std::move(buffers);
    cycle->link();
    for (auto& b : cycle->buffers) b.mNumberChannels = channelsPerBuffer;
    return post(device, cycle);
}

void SimAudioHardware::flush() {
    std::vector<std::shared_ptr<DispatchQueue>> queues;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [id, proc] : procs_) queues.push_back(proc.queue);
    }
    for (const auto& q : queues) q->drain();
}

void SimAudioHardware::setPacing(std::optional<Pacing> pacing) {
    std::lock_guard lock(mutex_);
    pacing_ = pacing;
}

void SimAudioHardware::startPacer(Proc& proc) {
    auto agg = aggregates_.find(proc.device);
    if (agg == aggregates_.end() || !(agg->second.format.mSampleRate > 0)) return;
    proc.pacer = std::make_unique<Pacer>();
    Pacer* pacer = proc.pacer.get();
    pacer->thread = std::thread([pacer, queue = proc.queue, state = proc.state,
                                 format = agg->second.format, pacing = *pacing_] {
        using Clock = std::chrono::steady_clock;
        const auto period = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(pacing.framesPerCycle / format.mSampleRate));
        auto next = Clock::now();
        uint64_t frame = 0;
        std::unique_lock lock(pacer->mutex);
        while (!pacer->stop) {
            lock.unlock();
            auto cycle = toneCycle(format, pacing.framesPerCycle, frame, pacing);
            if (cycle) queue->async([state, cycle] { runCycle(state, cycle); });
            frame += pacing.framesPerCycle;
            next += period;
            lock.lock();
            pacer->wake.wait_until(lock, next, [&] { return pacer->stop; });
        }
    });
}

}  // namespace ovra::sim
