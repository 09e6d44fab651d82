// A streaming sample-rate converter for one float channel, over libsoxr with filters tuned for
// speech-band capture: a short, low-delay filter that still keeps aliasing below 16-bit level.
#pragma once

#include <memory>
#include <span>
#include <vector>

struct soxr;

namespace ovra {

// libsoxr's knobs. The defaults are libsoxr's own high-quality recipe.
struct ResamplerTuning {
    double precision = 20;         // bits; sets the stop-band attenuation
    double phaseResponse = 50;     // 0 minimum ... 50 linear
    double passbandEnd = 0.913;    // fraction of the lower rate's Nyquist kept flat
    double stopbandBegin = 1.0;    // fraction of that Nyquist where the stop band starts
    unsigned log2MaxDftSize = 17;  // caps the FFT block, and with it how lumpy the output is
};

class MonoResampler {
  public:
    // The tuning used by the converter.
    static ResamplerTuning captureTuning();

    // nullptr when libsoxr refuses the rates or the tuning.
    static std::unique_ptr<MonoResampler> create(double inputRate, double outputRate,
                                                 const ResamplerTuning& tuning = captureTuning());
    ~MonoResampler();
    MonoResampler(const MonoResampler&) = delete;
    MonoResampler& operator=(const MonoResampler&) = delete;

    // Feeds `input` and returns every sample the filter can produce so far. The result stays
    // valid until the next call; its storage is reused, so steady use allocates nothing here.
    std::span<const float> process(std::span<const float> input);
    // Ends the stream: returns the filter's tail and makes the resampler ready for a new one.
    std::span<const float> flush();
    // Samples of output delay the filter adds.
    double delay() const;
    // Reserves output room for inputs of up to `frames` samples.
    void reserve(size_t frames);

  private:
    MonoResampler(soxr* handle, double ratio) : soxr_(handle), ratio_(ratio) {}
    std::span<const float> run(const float* input, size_t frames);

    soxr* soxr_;
    double ratio_;
    std::vector<float> out_;
};

}  // namespace ovra
