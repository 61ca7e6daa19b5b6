// What is plugged into the instrument's analog jacks.  Each input channel has a source that the
// ADC reads by sample index; each output channel has a sink that receives what the DAC plays.
// Samples are signed 24-bit values in int32_t.  Sources and sinks are driven by the instrument
// under its owner's serialisation; they keep no locks.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace instrument {

class AudioSource {
public:
    virtual ~AudioSource() = default;
    // Fills out[0..frames) with the samples of indices firstIndex, firstIndex + 1, ...
    virtual void Render(int64_t firstIndex, int32_t* out, size_t frames) = 0;
};

class AudioSink {
public:
    virtual ~AudioSink() = default;
    // The samples the DAC played at indices firstIndex, firstIndex + 1, ...
    virtual void Consume(int64_t firstIndex, const int32_t* samples, size_t frames) = 0;
};

std::shared_ptr<AudioSource> MakeSilence();
// amplitude: fraction of full scale (0..1).
std::shared_ptr<AudioSource> MakeSine(double frequencyHz, double amplitude, uint32_t sampleRate = 44100);
// The numbered test pattern for `channel` (see test_pattern.h).
std::shared_ptr<AudioSource> MakePatternSource(int channel);
// One channel of a WAV file, played once from the first sample the ADC asks for, then silence.
// Null when the file cannot be read.
std::shared_ptr<AudioSource> MakeWavSource(const std::string& path, int fileChannel = 0);

std::shared_ptr<AudioSink> MakeDiscardSink();
// A mono 24-bit WAV file at `sampleRate`, closed when the sink goes.  Null when it cannot be created.
std::shared_ptr<AudioSink> MakeWavSink(const std::string& path, uint32_t sampleRate = 44100);

// Checks that the samples carry the test pattern of `channel` without a break.  Samples before
// the first pattern sample (silence while a stream starts) are not counted; after that, any
// sample that is not the successor of the previous one is one break, and checking resumes at
// the next pattern sample.
class PatternChecker : public AudioSink {
public:
    explicit PatternChecker(int channel) : channel_(channel) {}
    void Consume(int64_t firstIndex, const int32_t* samples, size_t frames) override;

    uint64_t Breaks() const { return breaks_; }
    uint64_t PatternSamples() const { return patternSamples_; } // samples that continued the pattern
    bool Locked() const { return locked_; }
    // The index (mod 2^22) of the first pattern sample seen, and the DAC index it played at.
    int32_t FirstPatternIndex() const { return firstPattern_; }
    int64_t FirstPatternPosition() const { return firstPosition_; }

private:
    int channel_;
    bool locked_ = false;
    bool seenAny_ = false;
    int32_t expected_ = 0;
    int32_t firstPattern_ = -1;
    int64_t firstPosition_ = -1;
    uint64_t breaks_ = 0;
    uint64_t patternSamples_ = 0;
};

} // namespace instrument
