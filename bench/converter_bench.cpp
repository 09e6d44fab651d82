// The converter to the delivery format beside two anchors, libsoxr's HQ recipe and speexdsp at
// quality 5, all three fed the same float input:
//   - speed: the whole conversion (mix to mono, resample, 16-bit) in CPU time, as x real time;
//   - delay: how far the output lags the input, in ms (filter delay plus output held back);
//   - quality: aliasing of full-scale tones from 8.5 to 20 kHz, the level of a 7 kHz tone, and
//     THD+N of a 997 Hz tone at -6 dBFS after 16-bit rounding (997 Hz so that the rounding
//     error does not repeat with the tone's period).
// The figures that are not timings are printed as a table before the timed runs.
#include <benchmark/benchmark.h>
#include <soxr.h>
#include <speex/speex_resampler.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <numbers>
#include <span>
#include <string>
#include <vector>

#include "platform/audio/ChannelMixer.h"
#include "platform/audio/Int16Quantizer.h"
#include "platform/audio/MonoResampler.h"
#include "platform/audio/OneShotInput.h"
#include "platform/audio/ResamplingConverter.h"

namespace {

using namespace ovra;
constexpr double kOut = 16000;

// A mono float resampler under test: appends its output for `in` to `out`.
class Engine {
  public:
    virtual ~Engine() = default;
    virtual void run(std::span<const float> in, std::vector<float>& out) = 0;
};

class TunedEngine final : public Engine {
  public:
    explicit TunedEngine(double rate) : r_(MonoResampler::create(rate, kOut)) {}
    void run(std::span<const float> in, std::vector<float>& out) override {
        auto o = r_->process(in);
        out.insert(out.end(), o.begin(), o.end());
    }

  private:
    std::unique_ptr<MonoResampler> r_;
};

class SoxrHQEngine final : public Engine {
  public:
    explicit SoxrHQEngine(double rate) {
        const soxr_quality_spec_t q = soxr_quality_spec(SOXR_HQ, 0);
        const soxr_runtime_spec_t rt = soxr_runtime_spec(1);
        s_ = soxr_create(rate, kOut, 1, nullptr, nullptr, &q, &rt);
        scratch_.resize(16384);
    }
    ~SoxrHQEngine() override { soxr_delete(s_); }
    void run(std::span<const float> in, std::vector<float>& out) override {
        size_t used = 0, done = 0;
        soxr_process(s_, in.data(), in.size(), &used, scratch_.data(), scratch_.size(), &done);
        out.insert(out.end(), scratch_.begin(), scratch_.begin() + long(done));
    }

  private:
    soxr_t s_;
    std::vector<float> scratch_;
};

class SpeexEngine final : public Engine {
  public:
    explicit SpeexEngine(double rate) {
        int error = 0;
        s_ = speex_resampler_init(1, spx_uint32_t(rate), spx_uint32_t(kOut), 5, &error);
        speex_resampler_skip_zeros(s_);  // aligned output, like libsoxr's
        scratch_.resize(16384);
    }
    ~SpeexEngine() override { speex_resampler_destroy(s_); }
    void run(std::span<const float> in, std::vector<float>& out) override {
        spx_uint32_t inLen = spx_uint32_t(in.size()), outLen = spx_uint32_t(scratch_.size());
        speex_resampler_process_float(s_, 0, in.data(), &inLen, scratch_.data(), &outLen);
        out.insert(out.end(), scratch_.begin(), scratch_.begin() + outLen);
    }

  private:
    SpeexResamplerState* s_;
    std::vector<float> scratch_;
};

struct Candidate {
    const char* name;
    std::function<std::unique_ptr<Engine>(double)> make;
};

const Candidate kCandidates[] = {
    {"converter (libsoxr tuned)", [](double r) { return std::make_unique<TunedEngine>(r); }},
    {"anchor libsoxr HQ", [](double r) { return std::make_unique<SoxrHQEngine>(r); }},
    {"anchor speexdsp q5", [](double r) { return std::make_unique<SpeexEngine>(r); }},
};

std::vector<float> tone(double rate, double hz, double amplitude, size_t frames) {
    std::vector<float> x(frames);
    for (size_t i = 0; i < frames; ++i)
        x[i] = float(amplitude * std::sin(2 * std::numbers::pi * hz * double(i) / rate));
    return x;
}

std::vector<float> resampleInChunks(Engine& e, const std::vector<float>& x, size_t chunk) {
    std::vector<float> out;
    for (size_t i = 0; i < x.size(); i += chunk)
        e.run(std::span(x).subspan(i, std::min(chunk, x.size() - i)), out);
    return out;
}

// Least-squares fit of a sine at `hz` (with offset); returns its amplitude and the RMS residual.
void fitSine(const std::vector<float>& y, size_t from, double hz, double& amp, double& residual) {
    const size_t n = y.size() - from;
    double ss = 0, cc = 0, sc = 0, ys = 0, yc = 0;
    for (size_t i = from; i < y.size(); ++i) {
        const double p = 2 * std::numbers::pi * hz * double(i) / kOut;
        ss += std::sin(p) * std::sin(p), cc += std::cos(p) * std::cos(p);
        sc += std::sin(p) * std::cos(p), ys += y[i] * std::sin(p), yc += y[i] * std::cos(p);
    }
    const double det = ss * cc - sc * sc, a = (ys * cc - yc * sc) / det,
                 b = (yc * ss - ys * sc) / det;
    amp = std::hypot(a, b);
    double r = 0;
    for (size_t i = from; i < y.size(); ++i) {
        const double p = 2 * std::numbers::pi * hz * double(i) / kOut;
        const double e = y[i] - a * std::sin(p) - b * std::cos(p);
        r += e * e;
    }
    residual = std::sqrt(r / double(n));
}

double db(double x) {
    return 20 * std::log10(std::max(x, 1e-30));
}

struct Delay {
    double filterMs, meanHeldMs, maxHeldMs;
};

// Filter delay: where an impulse comes out in the output stream, against where it belongs.
// Held back: output frames owed (input so far x ratio) minus frames produced, after each chunk.
Delay measureDelay(Engine& e, double rate, size_t chunk) {
    const size_t n = size_t(rate * 3);
    std::vector<float> x(n, 0.0f);
    const size_t click = size_t(rate * 2);
    x[click] = 1.0f;
    std::vector<float> out;
    double sum = 0, worst = 0;
    int counted = 0;
    for (size_t i = 0; i + chunk <= n; i += chunk) {
        e.run(std::span(x).subspan(i, chunk), out);
        const double owed = double(i + chunk) * kOut / rate - double(out.size());
        if (i > size_t(rate)) sum += owed, worst = std::max(worst, owed), ++counted;
    }
    const auto peak = std::max_element(
        out.begin(), out.end(), [](float a, float b) { return std::fabs(a) < std::fabs(b); });
    const double filter = (double(peak - out.begin()) - double(click) * kOut / rate) / kOut;
    return {filter * 1000, sum / counted / kOut * 1000, worst / kOut * 1000};
}

// The shipping path: the converter with its one-shot input and the sessions' capacity rule.
double heldBackByConverter(double rate, uint32_t channels, uint32_t chunk) {
    auto from =
        AudioFormat::fromCommonFormat(AudioCommonFormat::pcmFormatFloat32, rate, channels, true);
    auto to = AudioFormat::fromStreamDescription(deliveryStreamDescription());
    auto converter = makeResamplingConverter(from, to);
    auto input = PCMBuffer::withCapacity(from, chunk);
    input->setFrameLength(chunk);
    auto output = PCMBuffer::withCapacity(to, uint32_t(kOut / rate * chunk) + 1);
    double produced = 0, sum = 0;
    int counted = 0;
    for (int k = 1; k <= int(3 * rate / chunk); ++k) {
        OneShotInput once(*input);
        converter->convert(*output, nullptr, once);
        produced += output->frameLength();
        if (k > int(rate / chunk)) sum += double(k) * chunk * kOut / rate - produced, ++counted;
    }
    return sum / counted / kOut * 1000;
}

void printQualityTable() {
    std::printf("%-26s %-9s %8s %9s %9s %10s %11s %9s %9s\n", "resampler", "source", "chunk",
                "filter ms", "held ms", "max held", "alias dBFS", "7k dB", "THD+N dB");
    for (double rate : {48000.0, 44100.0}) {
        for (const Candidate& c : kCandidates) {
            for (size_t chunk : {size_t(rate / 100), size_t(4096)}) {
                auto e = c.make(rate);
                const Delay d = measureDelay(*e, rate, chunk);
                // Worst aliasing: every 250 Hz from 8.5 kHz up to 20 kHz at full scale; what
                // comes out (after the start-up) is all alias.
                double alias = -400, aliasHz = 0;
                for (double hz = 8500; hz <= 20000 && hz < rate / 2; hz += 250) {
                    auto eng = c.make(rate);
                    auto y = resampleInChunks(*eng, tone(rate, hz, 1.0, size_t(rate)), chunk);
                    double rms = 0;
                    for (size_t i = 4000; i < y.size(); ++i) rms += double(y[i]) * y[i];
                    const double level = db(std::sqrt(rms / double(y.size() - 4000)) *
                                            std::numbers::sqrt2);  // sine-referenced dBFS
                    if (level > alias) alias = level, aliasHz = hz;
                }
                double amp7 = 0, res7 = 0, amp1 = 0, res1 = 0;
                {
                    auto eng = c.make(rate);
                    auto y = resampleInChunks(*eng, tone(rate, 7000, 0.5, size_t(rate)), chunk);
                    fitSine(y, 4000, 7000, amp7, res7);
                }
                {
                    auto eng = c.make(rate);
                    auto y = resampleInChunks(*eng, tone(rate, 997, 0.5, size_t(rate)), chunk);
                    for (float& v : y) v = float(quantizeToInt16(v)) / 32768.0f;
                    fitSine(y, 4000, 997, amp1, res1);
                }
                std::printf("%-26s %-9s %8zu %9.2f %9.2f %10.2f %6.1f@%-4.1fk %9.2f %9.1f\n",
                            c.name, rate == 48000 ? "48k st" : "44.1k mono", chunk, d.filterMs,
                            d.meanHeldMs, d.maxHeldMs, alias, aliasHz / 1000, db(amp7 / 0.5),
                            db(res1 / (amp1 / std::numbers::sqrt2)));
            }
        }
    }
    std::printf(
        "\nheld back by the shipping converter under the sessions' capacity rule "
        "(ratio x frames + 1), mean ms:\n");
    for (auto [rate, channels] : {std::pair{48000.0, 2u}, std::pair{44100.0, 1u}})
        for (uint32_t chunk : {uint32_t(rate / 100), 4096u})
            std::printf("  %.0f Hz %u ch, chunk %u: %.2f\n", rate, channels, chunk,
                        heldBackByConverter(rate, channels, chunk));
    std::printf("\n");
}

// ---------------------------------------------------------------------------- timed runs

// Mix, resample and round, as the converter does, for any of the engines.
void wholeConversion(benchmark::State& state, const Candidate& c, double rate, uint32_t channels) {
    const auto chunk = uint32_t(state.range(0));
    auto format = AudioFormat::fromCommonFormat(AudioCommonFormat::pcmFormatFloat32, rate, channels,
                                                channels == 1 ? false : true);
    auto input = PCMBuffer::withCapacity(format, chunk);
    float* const* data = input->floatChannelData();
    for (uint32_t i = 0; i < chunk * (channels == 1 ? 1 : channels); ++i)
        data[0][i] = float(0.5 * std::sin(0.05 * i));
    input->setFrameLength(chunk);
    ChannelMixer mixer;
    auto engine = c.make(rate);
    std::vector<float> out;
    out.reserve(16384);
    std::vector<int16_t> pcm(16384);
    for (auto _ : state) {
        out.clear();
        engine->run(mixer.mix(*input), out);
        quantizeToInt16(out.data(), out.size(), pcm.data());
        benchmark::DoNotOptimize(pcm.data());
    }
    state.counters["x_realtime"] =
        benchmark::Counter(double(state.iterations()) * chunk / rate, benchmark::Counter::kIsRate);
}

// The converter itself, as a session drives it.
void shippingConverter(benchmark::State& state, double rate, uint32_t channels) {
    const auto chunk = uint32_t(state.range(0));
    auto from = AudioFormat::fromCommonFormat(AudioCommonFormat::pcmFormatFloat32, rate, channels,
                                              channels == 1 ? false : true);
    auto to = AudioFormat::fromStreamDescription(deliveryStreamDescription());
    auto converter = makeResamplingConverter(from, to);
    auto input = PCMBuffer::withCapacity(from, chunk);
    for (uint32_t i = 0; i < chunk * (channels == 1 ? 1 : channels); ++i)
        input->floatChannelData()[0][i] = float(0.5 * std::sin(0.05 * i));
    input->setFrameLength(chunk);
    auto output = PCMBuffer::withCapacity(to, uint32_t(kOut / rate * chunk) + 1);
    for (auto _ : state) {
        OneShotInput once(*input);
        converter->convert(*output, nullptr, once);
        benchmark::DoNotOptimize(output->int16ChannelData()[0]);
    }
    state.counters["x_realtime"] =
        benchmark::Counter(double(state.iterations()) * chunk / rate, benchmark::Counter::kIsRate);
}

void registerAll() {
    for (auto [rate, channels, label] :
         {std::tuple{48000.0, 2u, "48k_stereo"}, std::tuple{44100.0, 1u, "44k1_mono"}}) {
        const int tenMs = int(rate / 100);
        benchmark::RegisterBenchmark(
            (std::string("shipping_converter/") + label).c_str(),
            [rate, channels](benchmark::State& s) { shippingConverter(s, rate, channels); })
            ->Arg(tenMs)
            ->Arg(4096);
        for (const Candidate& c : kCandidates) {
            std::string name = c.name;
            std::replace(name.begin(), name.end(), ' ', '_');
            benchmark::RegisterBenchmark((name + "/" + label).c_str(),
                                         [&c, rate, channels](benchmark::State& s) {
                                             wholeConversion(s, c, rate, channels);
                                         })
                ->Arg(tenMs)
                ->Arg(4096);
        }
    }
}

}  // namespace

// --quality_only prints the table and stops; --speed_only skips it.
int main(int argc, char** argv) {
    bool quality = true, speed = true;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quality_only")
            speed = false;
        else if (arg == "--speed_only")
            quality = false;
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    if (quality) printQualityTable();
    if (!speed) return 0;
    registerAll();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
