#include "audio_jacks.h"

#include <cmath>
#include <numbers>

#include <sndfile.h>

#include "test_pattern.h"

namespace instrument {
namespace {

constexpr double kFullScale = 8388607.0; // largest 24-bit sample

class Silence : public AudioSource {
public:
    void Render(int64_t, int32_t* out, size_t frames) override { std::fill(out, out + frames, 0); }
};

class Sine : public AudioSource {
public:
    Sine(double f, double a, uint32_t rate)
        : step_(2 * std::numbers::pi * f / rate), scale_(a * kFullScale) {}
    void Render(int64_t first, int32_t* out, size_t frames) override {
        for (size_t i = 0; i < frames; ++i)
            out[i] = int32_t(std::lround(scale_ * std::sin(step_ * double(first + int64_t(i)))));
    }

private:
    double step_;
    double scale_;
};

class Pattern : public AudioSource {
public:
    explicit Pattern(int channel) : channel_(channel) {}
    void Render(int64_t first, int32_t* out, size_t frames) override {
        for (size_t i = 0; i < frames; ++i)
            out[i] = PatternSample(first + int64_t(i), channel_);
    }

private:
    int channel_;
};

class WavSource : public AudioSource {
public:
    explicit WavSource(std::vector<int32_t> samples) : samples_(std::move(samples)) {}
    void Render(int64_t first, int32_t* out, size_t frames) override {
        if (start_ < 0)
            start_ = first;
        for (size_t i = 0; i < frames; ++i) {
            const int64_t k = first + int64_t(i) - start_;
            out[i] = k >= 0 && k < int64_t(samples_.size()) ? samples_[size_t(k)] : 0;
        }
    }

private:
    std::vector<int32_t> samples_;
    int64_t start_ = -1;
};

class Discard : public AudioSink {
public:
    void Consume(int64_t, const int32_t*, size_t) override {}
};

class WavSink : public AudioSink {
public:
    explicit WavSink(SNDFILE* file) : file_(file) {}
    ~WavSink() override { sf_close(file_); }
    void Consume(int64_t, const int32_t* samples, size_t frames) override {
        buffer_.resize(frames);
        for (size_t i = 0; i < frames; ++i)
            buffer_[i] = samples[i] * 256; // libsndfile's int samples are left-aligned 32-bit
        sf_writef_int(file_, buffer_.data(), sf_count_t(frames));
    }

private:
    SNDFILE* file_;
    std::vector<int32_t> buffer_;
};

} // namespace

std::shared_ptr<AudioSource> MakeSilence() {
    return std::make_shared<Silence>();
}
std::shared_ptr<AudioSource> MakeSine(double f, double a, uint32_t rate) {
    return std::make_shared<Sine>(f, a, rate);
}
std::shared_ptr<AudioSource> MakePatternSource(int channel) {
    return std::make_shared<Pattern>(channel);
}

std::shared_ptr<AudioSource> MakeWavSource(const std::string& path, int fileChannel) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (f == nullptr)
        return nullptr;
    std::vector<int32_t> all(size_t(info.frames) * size_t(info.channels));
    const sf_count_t got = sf_readf_int(f, all.data(), info.frames);
    sf_close(f);
    const int ch = fileChannel < info.channels ? fileChannel : 0;
    std::vector<int32_t> mono(static_cast<size_t>(got));
    for (sf_count_t i = 0; i < got; ++i)
        mono[size_t(i)] = all[size_t(i) * size_t(info.channels) + size_t(ch)] >> 8;
    return std::make_shared<WavSource>(std::move(mono));
}

std::shared_ptr<AudioSink> MakeDiscardSink() {
    return std::make_shared<Discard>();
}

std::shared_ptr<AudioSink> MakeWavSink(const std::string& path, uint32_t sampleRate) {
    SF_INFO info{};
    info.samplerate = int(sampleRate);
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (f == nullptr)
        return nullptr;
    return std::make_shared<WavSink>(f);
}

void PatternChecker::Consume(int64_t firstIndex, const int32_t* samples, size_t frames) {
    for (size_t i = 0; i < frames; ++i) {
        const auto index = PatternIndex(samples[i], channel_);
        if (locked_ && index && *index == expected_) {
            ++patternSamples_;
            expected_ = (expected_ + 1) & kPatternIndexMask;
            continue;
        }
        if (locked_)
            ++breaks_;
        locked_ = index.has_value();
        if (locked_) {
            if (!seenAny_) {
                seenAny_ = true;
                firstPattern_ = *index;
                firstPosition_ = firstIndex + int64_t(i);
            }
            ++patternSamples_;
            expected_ = (*index + 1) & kPatternIndexMask;
        }
    }
}

} // namespace instrument
