#include "platform/pulse/PulseEngine.h"

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "platform/pulse/PulseDefaultSource.h"
#include "platform/pulse/PulseInputWait.h"
#include "platform/pulse/PulseRecordStream.h"
#include "platform/pulse/PulseSourceWatch.h"
#include "platform/pulse/PulseTapDelivery.h"

namespace ovra::pulse {
namespace {

class PulseInputNode : public AudioInputNode {
  public:
    explicit PulseInputNode(PulseConnection& connection) : connection_(connection) {}

    AudioFormatInfo outputFormatForBus(uint32_t bus) override {
        AudioFormatInfo info;
        info.commonFormat = AudioCommonFormat::pcmFormatFloat32;
        info.interleaved = false;
        if (bus != 0) return info;
        // Without libpulse there is no input, as without a server; the line says why.
        if (!pulseLoaded("[mic] ")) {
            source_.reset();
            return info;
        }
        source_ = defaultMicrophone(connection_);
        if (!source_ && onNoInput_) onNoInput_();
        if (source_) {
            info.sampleRate = double(source_->rate);
            info.channelCount = source_->channels;
        }
        return info;
    }

    void installTapOnBus(uint32_t bus, uint32_t bufferSize,
                         std::shared_ptr<const AudioFormat> format, TapBlock block) override {
        if (bus != 0 || !format || !block) return;
        tap_ = Tap{std::move(format), bufferSize, std::move(block)};
    }

    void removeTapOnBus(uint32_t bus) override {
        if (bus != 0) return;
        tap_.reset();
        closeCapture();
    }

    // The source that bus 0 reported last; nothing when it reported no input.
    const std::optional<SourceDescription>& source() const { return source_; }
    // Called when bus 0 finds no input.
    void setOnNoInput(std::function<void()> onNoInput) { onNoInput_ = std::move(onNoInput); }

    // Starts recording into the installed tap, if any. False with the server's text.
    bool openCapture(std::function<void()> onLost, std::string* error) {
        if (!tap_ || capture_) return true;
        const AudioFormat& format = *tap_->format;
        if (!source_ || format.commonFormat() != AudioCommonFormat::pcmFormatFloat32 ||
            format.channelCount() != 1 || !(format.sampleRate() >= 1.0) ||
            format.sampleRate() > double(PA_RATE_MAX)) {
            if (error) *error = pa_strerror(source_ ? PA_ERR_NOTSUPPORTED : PA_ERR_NOENTITY);
            return false;
        }
        auto delivery = PulseTapDelivery::start(tap_->format, tap_->bufferSize, tap_->block);
        auto stream = PulseRecordStream::open(connection_, source_->name, source_->channelMap,
                                              uint32_t(format.sampleRate() + 0.5), delivery,
                                              std::move(onLost), error);
        if (!stream) {
            delivery->stop();
            return false;
        }
        std::lock_guard lock(captureMutex_);
        capture_ = Capture{std::move(stream), std::move(delivery)};
        return true;
    }

    // No tap call begins after this returns (from inside the tap block: after that call).
    void closeCapture() {
        std::optional<Capture> capture;
        {
            std::lock_guard lock(captureMutex_);
            capture.swap(capture_);
        }
        if (!capture) return;
        capture->stream.reset();  // no more reads reach the delivery
        capture->delivery->stop();
    }

  private:
    struct Tap {
        std::shared_ptr<const AudioFormat> format;
        uint32_t bufferSize;
        TapBlock block;
    };
    struct Capture {
        std::unique_ptr<PulseRecordStream> stream;
        std::shared_ptr<PulseTapDelivery> delivery;
    };

    PulseConnection& connection_;
    std::optional<SourceDescription> source_;
    std::function<void()> onNoInput_;
    std::optional<Tap> tap_;
    // Guards only the hand-over of the capture, so a stop from the tap thread and one from a
    // control thread never tear the same capture down twice.
    std::mutex captureMutex_;
    std::optional<Capture> capture_;
};

class PulseEngine : public AudioEngine, public std::enable_shared_from_this<PulseEngine> {
  public:
    PulseEngine(PulseConnection& connection, std::weak_ptr<PulseChangeNotifier> notifier)
        : connection_(connection), notifier_(std::move(notifier)), node_(connection) {
        node_.setOnNoInput([this] { waitForInput(); });
    }

    ~PulseEngine() override { stop(); }

    AudioInputNode& inputNode() override { return node_; }

    bool startAndReturnError(std::string* error) override {
        try {
            if (running()) return true;
            const auto& source = node_.source();
            if (!source) {
                if (error) *error = pa_strerror(PA_ERR_NOENTITY);
                waitForInput();
                return false;
            }
            // Watching first: a change while the stream connects is not missed. The watch is in
            // place before the first tap call, which may already stop the engine.
            auto watch = std::make_unique<PulseSourceWatch>(connection_, *source,
                                                            [this] { announceChange(); });
            PulseSourceWatch* raw = watch.get();
            {
                std::lock_guard lock(watchMutex_);
                watch_ = std::move(watch);
            }
            if (!node_.openCapture([raw] { raw->report(); }, error)) {
                takeWatch().reset();
                waitForInput();
                return false;
            }
            takeWait().reset();
            return true;
        } catch (const std::exception& e) {
            stop();
            if (error) *error = e.what();
            return false;
        }
    }

    void stop() override {
        node_.closeCapture();
        takeWatch().reset();
        takeWait().reset();
    }

  private:
    bool running() {
        std::lock_guard lock(watchMutex_);
        return watch_ != nullptr;
    }
    std::unique_ptr<PulseSourceWatch> takeWatch() {
        std::lock_guard lock(watchMutex_);
        return std::move(watch_);
    }

    std::unique_ptr<PulseInputWait> takeWait() {
        std::lock_guard lock(watchMutex_);
        return std::move(wait_);
    }
    // Not running, for want of an input: a configuration change is posted once one appears, as
    // an engine on a device that comes and goes would.
    void waitForInput() {
        try {
            auto wait = std::make_unique<PulseInputWait>(connection_, [this] { announceChange(); });
            std::lock_guard lock(watchMutex_);
            if (!wait_) wait_ = std::move(wait);
        } catch (...) {
            // Out of memory or no thread: nothing is watched; the engine stays stopped.
        }
    }

    // On the main-loop thread: hand the post to the notifier, never post from here.
    void announceChange() {
        if (auto notifier = notifier_.lock())
            notifier->postLater(std::weak_ptr<AudioEngine>(weak_from_this()));
    }

    PulseConnection& connection_;
    std::weak_ptr<PulseChangeNotifier> notifier_;
    PulseInputNode node_;
    // Only handed over under the mutex: a stop may come from the tap thread while a start or
    // another stop runs.
    std::mutex watchMutex_;
    std::unique_ptr<PulseSourceWatch> watch_;
    std::unique_ptr<PulseInputWait> wait_;
};

}  // namespace

std::shared_ptr<AudioEngine> makePulseEngine(PulseConnection& connection,
                                             std::weak_ptr<PulseChangeNotifier> notifier) {
    return std::make_shared<PulseEngine>(connection, std::move(notifier));
}

}  // namespace ovra::pulse
