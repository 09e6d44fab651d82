#include "platform/sim/SimAudioEngine.h"

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <future>
#include <numbers>
#include <stdexcept>

#include "base/Log.h"

namespace ovra::sim {

struct SimEngineSettings {
    std::mutex mutex;
    AudioFormatInfo input = simInputFormat(48000);
    std::optional<SimPacing> pacing;
    std::optional<SimStartOutcome> nextStart;
};

namespace {

std::string describe(const AudioFormatInfo& f) {
    return formatSampleRate(f.sampleRate) + "Hz " + std::to_string(f.channelCount) +
           "ch common=" + std::to_string(uint32_t(f.commonFormat));
}

std::string describe(const AudioFormat& f) {
    return formatSampleRate(f.sampleRate()) + "Hz " + std::to_string(f.channelCount()) +
           "ch common=" + std::to_string(uint32_t(f.commonFormat())) +
           " interleaved=" + (f.isInterleaved() ? "1" : "0");
}

}  // namespace

AudioFormatInfo simInputFormat(double rate, uint32_t channels) {
    return {rate, channels, AudioCommonFormat::pcmFormatFloat32, false};
}

struct SimAudioEngine::State {
    struct Job {
        std::vector<float> samples;
        std::shared_ptr<std::promise<bool>> done;
    };

    std::mutex mutex;
    std::condition_variable wake;  // jobs, start, quit
    std::condition_variable idle;  // a tap call has returned
    std::deque<Job> jobs;
    AudioFormatInfo input;
    std::optional<SimPacing> pacing;
    std::shared_ptr<const TapBlock> tap;
    std::shared_ptr<const AudioFormat> tapFormat;
    uint32_t tapBufferSize = 0;
    bool running = false;
    bool calling = false;
    bool quit = false;
    uint64_t tapCalls = 0;
    std::thread::id thread;

    // Engine thread only.
    uint64_t sampleTime = 0;
    uint64_t toneFrame = 0;

    bool onEngineThread() const { return std::this_thread::get_id() == thread; }

    // One tap call, outside the lock; false when nothing could take the buffer.
    bool deliver(const std::vector<float>& samples) {
        std::shared_ptr<const TapBlock> block;
        std::shared_ptr<const AudioFormat> format;
        {
            std::lock_guard lock(mutex);
            if (!running || !tap) return false;
            block = tap;
            format = tapFormat;
            calling = true;
        }
        auto buffer = PCMBuffer::withCapacity(format, uint32_t(samples.size()));
        if (buffer) {
            void* const* channels = buffer->channelData();
            const uint32_t count = format->isInterleaved() ? 1 : format->channelCount();
            const uint32_t stride = buffer->stride();
            for (uint32_t c = 0; c < count; ++c)
                for (size_t i = 0; i < samples.size(); ++i)
                    for (uint32_t k = 0; k < stride; ++k)
                        static_cast<float*>(channels[c])[i * stride + k] = samples[i];
            buffer->setFrameLength(uint32_t(samples.size()));
            const AudioTimeStamp when{double(sampleTime), 0};
            sampleTime += samples.size();
            (*block)(*buffer, &when);
        }
        {
            std::lock_guard lock(mutex);
            calling = false;
            ++tapCalls;
        }
        idle.notify_all();
        return buffer != nullptr;
    }

    std::vector<float> nextTone(const SimPacing& p, double rate) {
        std::vector<float> out(p.framesPerBuffer);
        for (auto& v : out)
            v = float(p.amplitude *
                      std::sin(2 * std::numbers::pi * p.frequency * double(toneFrame++) / rate));
        return out;
    }

    void waitIdle(std::unique_lock<std::mutex>& lock) {
        if (!onEngineThread()) idle.wait(lock, [&] { return !calling; });
    }
};

void SimAudioEngine::run(std::shared_ptr<State> s) {
    using Clock = std::chrono::steady_clock;
    std::unique_lock lock(s->mutex);
    Clock::time_point next = Clock::now();
    while (!s->quit) {
        if (!s->jobs.empty()) {
            State::Job job = std::move(s->jobs.front());
            s->jobs.pop_front();
            lock.unlock();
            const bool ran = s->deliver(job.samples);
            if (job.done) job.done->set_value(ran);
            lock.lock();
            continue;
        }
        const bool paced = s->pacing && s->running && s->tap && s->tapFormat;
        if (!paced) {
            s->wake.wait(lock);
            next = Clock::now();
            continue;
        }
        const auto now = Clock::now();
        if (now < next) {
            s->wake.wait_until(lock, next);
            continue;
        }
        const SimPacing pacing = *s->pacing;
        const double rate = s->tapFormat->sampleRate();
        lock.unlock();
        s->deliver(s->nextTone(pacing, rate));
        lock.lock();
        next += std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(pacing.framesPerBuffer / rate));
        if (next < Clock::now() - std::chrono::milliseconds(100)) next = Clock::now();
    }
    for (auto& job : s->jobs)
        if (job.done) job.done->set_value(false);
    s->jobs.clear();
}

SimAudioEngine::SimAudioEngine(SimJournal& journal, std::shared_ptr<SimEngineSettings> settings,
                               int number)
    : journal_(journal),
      settings_(std::move(settings)),
      number_(number),
      state_(std::make_shared<State>()) {
    {
        std::lock_guard lock(settings_->mutex);
        state_->input = settings_->input;
        state_->pacing = settings_->pacing;
    }
    thread_ = std::thread(run, state_);
    std::lock_guard lock(state_->mutex);
    state_->thread = thread_.get_id();
}

SimAudioEngine::~SimAudioEngine() {
    {
        std::lock_guard lock(state_->mutex);
        state_->quit = true;
    }
    state_->wake.notify_all();
    // The last reference may go inside a tap call: the thread then ends by itself, and its state
    // lives on until it has.
    if (thread_.get_id() == std::this_thread::get_id())
        thread_.detach();
    else
        thread_.join();
}

AudioInputNode& SimAudioEngine::inputNode() {
    journal_.record("inputNode engine=" + std::to_string(number_));
    return *this;
}

bool SimAudioEngine::startAndReturnError(std::string* errorDescription) {
    const std::string entry = "startAndReturnError engine=" + std::to_string(number_);
    std::optional<SimStartOutcome> outcome;
    {
        std::lock_guard lock(settings_->mutex);
        outcome.swap(settings_->nextStart);
    }
    if (outcome && outcome->kind == SimStartOutcome::Kind::throwError) {
        journal_.record(entry + " -> throws " + outcome->text);
        throw std::runtime_error(outcome->text);
    }
    if (outcome && outcome->kind == SimStartOutcome::Kind::fail) {
        journal_.record(entry + " -> false " + outcome->text);
        if (errorDescription) *errorDescription = outcome->text;
        return false;
    }
    {
        std::lock_guard lock(state_->mutex);
        state_->running = true;
    }
    state_->wake.notify_all();
    journal_.record(entry + " -> true");
    return true;
}

void SimAudioEngine::stop() {
    journal_.record("engineStop engine=" + std::to_string(number_));
    std::unique_lock lock(state_->mutex);
    state_->running = false;
    state_->waitIdle(lock);
}

AudioFormatInfo SimAudioEngine::outputFormatForBus(uint32_t bus) {
    AudioFormatInfo format;
    {
        std::lock_guard lock(state_->mutex);
        format = state_->input;
    }
    journal_.record("outputFormatForBus engine=" + std::to_string(number_) +
                    " bus=" + std::to_string(bus) + " -> " + describe(format));
    return format;
}

void SimAudioEngine::installTapOnBus(uint32_t bus, uint32_t bufferSize,
                                     std::shared_ptr<const AudioFormat> format, TapBlock block) {
    journal_.record("installTapOnBus engine=" + std::to_string(number_) +
                    " bus=" + std::to_string(bus) + " bufferSize=" + std::to_string(bufferSize) +
                    " format=" + (format ? describe(*format) : std::string("none")));
    {
        std::lock_guard lock(state_->mutex);
        state_->tap = std::make_shared<const TapBlock>(std::move(block));
        state_->tapFormat = std::move(format);
        state_->tapBufferSize = bufferSize;
    }
    state_->wake.notify_all();
}

void SimAudioEngine::removeTapOnBus(uint32_t bus) {
    journal_.record("removeTapOnBus engine=" + std::to_string(number_) +
                    " bus=" + std::to_string(bus));
    std::shared_ptr<const TapBlock> removed;  // released outside the lock
    std::unique_lock lock(state_->mutex);
    removed = std::move(state_->tap);
    state_->waitIdle(lock);
}

void SimAudioEngine::setInputFormat(const AudioFormatInfo& format) {
    std::lock_guard lock(state_->mutex);
    state_->input = format;
}

bool SimAudioEngine::feed(std::vector<float> samples) {
    auto done = std::make_shared<std::promise<bool>>();
    auto result = done->get_future();
    {
        std::lock_guard lock(state_->mutex);
        state_->jobs.push_back({std::move(samples), done});
    }
    state_->wake.notify_all();
    return result.get();
}

void SimAudioEngine::feedAsync(std::vector<float> samples) {
    {
        std::lock_guard lock(state_->mutex);
        state_->jobs.push_back({std::move(samples), nullptr});
    }
    state_->wake.notify_all();
}

bool SimAudioEngine::isRunning() const {
    std::lock_guard lock(state_->mutex);
    return state_->running;
}

bool SimAudioEngine::hasTap() const {
    std::lock_guard lock(state_->mutex);
    return state_->tap != nullptr;
}

uint64_t SimAudioEngine::tapCalls() const {
    std::lock_guard lock(state_->mutex);
    return state_->tapCalls;
}

std::shared_ptr<const AudioFormat> SimAudioEngine::tapFormat() const {
    std::lock_guard lock(state_->mutex);
    return state_->tapFormat;
}

uint32_t SimAudioEngine::tapBufferSize() const {
    std::lock_guard lock(state_->mutex);
    return state_->tapBufferSize;
}

// ------------------------------------------------------------------------------------ engines

SimAudioEngines::SimAudioEngines(SimJournal& journal)
    : journal_(journal), settings_(std::make_shared<SimEngineSettings>()) {}

std::shared_ptr<AudioEngine> SimAudioEngines::create() {
    std::lock_guard lock(mutex_);
    const int number = int(engines_.size()) + 1;
    journal_.record("engineInit engine=" + std::to_string(number));
    auto engine = std::make_shared<SimAudioEngine>(journal_, settings_, number);
    engines_.push_back(engine);
    return engine;
}

void SimAudioEngines::setInputFormat(const AudioFormatInfo& format) {
    std::lock_guard lock(settings_->mutex);
    settings_->input = format;
}

void SimAudioEngines::setPacing(std::optional<SimPacing> pacing) {
    std::lock_guard lock(settings_->mutex);
    settings_->pacing = pacing;
}

void SimAudioEngines::failNextStart(std::string description) {
    std::lock_guard lock(settings_->mutex);
    settings_->nextStart = SimStartOutcome{SimStartOutcome::Kind::fail, std::move(description)};
}

void SimAudioEngines::throwOnNextStart(std::string what) {
    std::lock_guard lock(settings_->mutex);
    settings_->nextStart = SimStartOutcome{SimStartOutcome::Kind::throwError, std::move(what)};
}

std::vector<std::shared_ptr<SimAudioEngine>> SimAudioEngines::all() const {
    std::lock_guard lock(mutex_);
    return engines_;
}

std::shared_ptr<SimAudioEngine> SimAudioEngines::latest() const {
    std::lock_guard lock(mutex_);
    return engines_.empty() ? nullptr : engines_.back();
}

size_t SimAudioEngines::count() const {
    std::lock_guard lock(mutex_);
    return engines_.size();
}

}  // namespace ovra::sim
