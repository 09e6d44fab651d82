// Simulated audio facilities: the real formats, buffers and converter, with every call journalled
// with its arguments and a failure that a test can arrange for each of them. Failure names:
// "makeFormat" (either overload), or "makeFormat(asbd)" / "makeFormat(common)" for one of them;
// "makeBuffer", "wrapNoCopy", "makeConverter". A failing call returns nullptr.
#pragma once

#include <string>

#include "platform/audio/AudioFacilities.h"
#include "platform/sim/SimJournal.h"

namespace ovra::sim {

class SimAudioFacilities : public AudioFacilities {
  public:
    explicit SimAudioFacilities(SimJournal& journal) : journal_(journal) {}

    std::shared_ptr<const AudioFormat> makeFormat(const AudioStreamBasicDescription& asbd) override;
    std::shared_ptr<const AudioFormat> makeFormat(AudioCommonFormat format, double sampleRate,
                                                  uint32_t channels, bool interleaved) override;
    std::shared_ptr<PCMBuffer> makeBuffer(std::shared_ptr<const AudioFormat> format,
                                          uint32_t frameCapacity) override;
    std::shared_ptr<PCMBuffer> wrapNoCopy(std::shared_ptr<const AudioFormat> format,
                                          const AudioBufferList* list,
                                          std::shared_ptr<PCMBuffer> reuse) override;
    std::shared_ptr<AudioConverter> makeConverter(std::shared_ptr<const AudioFormat> from,
                                                  std::shared_ptr<const AudioFormat> to) override;

    // How the journal spells a stream description and a format.
    static std::string describe(const AudioStreamBasicDescription& asbd);
    static std::string describe(const AudioFormat* format);

  private:
    bool fails(const std::string& call, const std::string& alsoCall = {});

    SimJournal& journal_;
};

}  // namespace ovra::sim
