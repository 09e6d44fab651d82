// Simulated audio engines, one thread each like a real engine: an input node whose bus-0 format a
// test sets (also 0 Hz, 0 channels, NaN or infinite rates), a tap that a test feeds with buffers
// of its choosing or that the engine feeds in real time with a tone, and a start that a test can
// make fail. Every call is journalled with its arguments.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/AudioEngine.h"
#include "platform/sim/SimJournal.h"

namespace ovra::sim {

// A tone that running engines play into their taps, paced by the clock, so that races between
// control calls and live audio are real races.
struct SimPacing {
    uint32_t framesPerBuffer = 480;
    double frequency = 440;
    double amplitude = 0.5;
};

// What the next engine start does.
struct SimStartOutcome {
    enum class Kind { succeed, fail, throwError } kind = Kind::succeed;
    std::string text;  // the localized description, or the thrown error's text
};

// Settings that engines read when they are created or started; shared so that an engine may
// outlive the set that made it.
struct SimEngineSettings;

class SimAudioEngine final : public AudioEngine, public AudioInputNode {
  public:
    SimAudioEngine(SimJournal& journal, std::shared_ptr<SimEngineSettings> settings, int number);
    ~SimAudioEngine() override;
    SimAudioEngine(const SimAudioEngine&) = delete;
    SimAudioEngine& operator=(const SimAudioEngine&) = delete;

    AudioInputNode& inputNode() override;
    bool startAndReturnError(std::string* errorDescription) override;
    void stop() override;

    AudioFormatInfo outputFormatForBus(uint32_t bus) override;
    void installTapOnBus(uint32_t bus, uint32_t bufferSize,
                         std::shared_ptr<const AudioFormat> format, TapBlock block) override;
    // Waits for a tap call in progress on another thread; from the tap thread it does not.
    void removeTapOnBus(uint32_t bus) override;

    // --- test controls
    int number() const { return number_; }
    // The object this engine's configuration changes are posted with.
    const void* notificationObject() const { return static_cast<const AudioEngine*>(this); }
    void setInputFormat(const AudioFormatInfo& format);

    // Delivers one buffer holding `samples` (copied into every channel of the tap's format) on
    // the engine thread, and returns once the tap block has returned: true if a tap ran, false
    // when the engine is not running or has no tap. An empty vector delivers an empty buffer.
    bool feed(std::vector<float> samples);
    // The same, without waiting.
    void feedAsync(std::vector<float> samples);

    bool isRunning() const;
    bool hasTap() const;
    uint64_t tapCalls() const;
    std::shared_ptr<const AudioFormat> tapFormat() const;
    uint32_t tapBufferSize() const;

  private:
    struct State;
    static void run(std::shared_ptr<State> state);

    SimJournal& journal_;
    std::shared_ptr<SimEngineSettings> settings_;
    const int number_;
    std::shared_ptr<State> state_;
    std::thread thread_;
};

class SimAudioEngines {
  public:
    explicit SimAudioEngines(SimJournal& journal);
    std::shared_ptr<AudioEngine> create();

    // For the engines created from now on: their input node's bus-0 format and their pacing.
    void setInputFormat(const AudioFormatInfo& format);
    void setPacing(std::optional<SimPacing> pacing);
    // The next engine start (of any engine) fails with this localized description.
    void failNextStart(std::string description);
    // The next engine start throws std::runtime_error with this text: an error of no platform
    // kind, as a misbehaving backend might raise.
    void throwOnNextStart(std::string what);

    // Every engine created so far, oldest first; they are kept alive for inspection.
    std::vector<std::shared_ptr<SimAudioEngine>> all() const;
    std::shared_ptr<SimAudioEngine> latest() const;
    size_t count() const;

  private:
    SimJournal& journal_;
    std::shared_ptr<SimEngineSettings> settings_;
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<SimAudioEngine>> engines_;
};

// A mono float format at `rate` for a test that sets an input node: what a microphone reports.
AudioFormatInfo simInputFormat(double rate, uint32_t channels = 1);

}  // namespace ovra::sim
