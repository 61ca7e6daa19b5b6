// The instrument's audio: the ADC's frame count on its drifting clock, the playback FIFO under a
// capture-clocked echo, the test pattern, the loopback cable and WAV jacks.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <deque>

#include <instrument/test_pattern.h>

#include "instrument_fixture.h"

namespace instrument {
namespace {

using testing::Streamer;

struct SpeedDrift {
    usb::Speed speed;
    int32_t ppm;
};
const SpeedDrift kSpeedDrifts[] = {{usb::Speed::Full, -200}, {usb::Speed::Full, 0}, {usb::Speed::Full, 200},
                                   {usb::Speed::High, -200}, {usb::Speed::High, 0}, {usb::Speed::High, 200}};

TEST(Capture, SixtySecondsDeliverTheDriftedFrameCountInPacketsOfTheRightSize) {
    for (const auto& c : kSpeedDrifts) {
        Instrument dev({.driftPpm = c.ppm});
        Streamer::Configure(dev, c.speed);
        Streamer s{dev, c.speed};
        const uint32_t lo = c.speed == usb::Speed::High ? 5 : 44;
        uint64_t frames = 0;
        bool sizesOk = true;
        const usb::Time end = 60 * 10000000LL;
        while (s.now < end) {
            const uint32_t n = s.Step(nullptr) / kBytesPerFrame;
            sizesOk = sizesOk && (n == lo || n == lo + 1);
            frames += n;
        }
        const double expected = 44100.0 * 60 * (1 + c.ppm * 1e-6);
        EXPECT_NEAR(double(frames), expected, 1.0) << "ppm " << c.ppm;
        EXPECT_TRUE(sizesOk) << "a packet outside " << lo << ".." << lo + 1 << " frames, ppm " << c.ppm;
        EXPECT_EQ(dev.Capture().frames, frames);
    }
}

// Host side of a capture-clocked echo: every captured frame is owed as a playback frame, after a
// start-up fill; packets are at most wMaxPacketSize.  Playback carries the numbered test pattern.
struct Echo {
    Streamer& s;
    int64_t owed = 88; // 2 ms of start-up fill
    int64_t next = 0;  // pattern index of the next frame sent
    std::vector<uint8_t> out = {};
    bool feeding = true;

    void Step() {
        out.clear();
        const int64_t n = feeding ? std::min<int64_t>(owed, s.MaxPacket() / kBytesPerFrame) : 0;
        for (int64_t i = 0; i < n; ++i, ++next) {
            uint8_t f[6];
            PutSample24(f, PatternSample(next, 0));
            PutSample24(f + 3, PatternSample(next, 1));
            out.insert(out.end(), f, f + 6);
        }
        owed -= n;
        owed += s.Step(&out) / kBytesPerFrame;
    }
};

TEST(Playback, EchoingCaptureKeepsTheFifoSteadyAtAnyDriftAndUnderrunsWhenFeedingStops) {
    for (const auto& c : kSpeedDrifts) {
        Instrument dev({.driftPpm = c.ppm});
        auto left = std::make_shared<PatternChecker>(0);
        auto right = std::make_shared<PatternChecker>(1);
        dev.SetOutput(0, left);
        dev.SetOutput(1, right);
        Streamer::Configure(dev, c.speed);
        Streamer s{dev, c.speed};
        Echo echo{s};
        uint32_t maxDepth = 0;
        while (s.now < 20 * 10000000LL) {
            echo.Step();
            maxDepth = std::max(maxDepth, dev.Playback().depth);
        }
        auto st = dev.Playback();
        EXPECT_TRUE(st.running);
        EXPECT_EQ(st.underruns, 0u) << "ppm " << c.ppm;
        EXPECT_EQ(st.overruns, 0u) << "ppm " << c.ppm;
        EXPECT_LT(maxDepth, 200u) << "the FIFO must not creep at ppm " << c.ppm;
        EXPECT_EQ(left->Breaks(), 0u);
        EXPECT_EQ(right->Breaks(), 0u);
        EXPECT_GT(left->PatternSamples(), 44100u * 19);

        echo.feeding = false;
        for (int i = 0; i < 100; ++i)
            echo.Step();
        EXPECT_GT(dev.Playback().underruns, 0u);
        EXPECT_EQ(left->Breaks(), 1u) << "silence after the pattern is one break";
    }
}

TEST(Playback, FramesBeyondTheFifoCapacityAreCountedAsOverruns) {
    Instrument dev({.fifoCapacityFrames = 100, .fifoStartFrames = 1000});
    Streamer::Configure(dev, usb::Speed::Full);
    std::vector<uint8_t> packet(48 * kBytesPerFrame);
    dev.IsoOut(kPlaybackEndpoint, 0, usb::kFrameTime, packet);
    dev.IsoOut(kPlaybackEndpoint, usb::kFrameTime, 2 * usb::kFrameTime, packet);
    dev.IsoOut(kPlaybackEndpoint, 2 * usb::kFrameTime, 3 * usb::kFrameTime, packet);
    EXPECT_EQ(dev.Playback().overruns, 3u * 48 - 100);
    EXPECT_EQ(dev.Playback().depth, 100u);
    EXPECT_FALSE(dev.Playback().running) << "below the start-up fill the DAC waits";

    dev.SetInterface(kPlaybackInterface, 0, 3 * usb::kFrameTime);
    EXPECT_EQ(dev.Playback().depth, 0u) << "the idle alternate setting empties the FIFO";
}

TEST(Loopback, CaptureReturnsWhatTheDacPlayedDelaySamplesLater) {
    for (uint32_t delay : {0u, 1u, 37u, 1000u}) {
        for (auto speed : {usb::Speed::Full, usb::Speed::High}) {
            Instrument dev({.driftPpm = 150});
            auto played = std::make_shared<PatternChecker>(0);
            dev.SetOutput(0, played);
            dev.ConnectAudioLoopback(delay);
            Streamer::Configure(dev, speed);
            Streamer s{dev, speed};
            Echo echo{s};
            int64_t checked = 0;
            bool aligned = true;
            while (s.now < 2 * 10000000LL) {
                const int64_t first = dev.Clock().FramesBy(s.now);
                echo.Step();
                // The IN packet just captured: frames first, first + 1, ...
                const uint32_t n = uint32_t(dev.Clock().FramesBy(s.now) - first);
                for (uint32_t i = 0; i < n; ++i) {
                    const auto k = PatternIndex(GetSample24(&s.in[i * 6]), 0);
                    if (!k)
                        continue;
                    const int64_t dacIndex =
                        played->FirstPatternPosition() + (*k - played->FirstPatternIndex());
                    aligned = aligned && first + i == dacIndex + delay;
                    ++checked;
                }
            }
            EXPECT_TRUE(aligned) << "delay " << delay;
            EXPECT_GT(checked, 44100 * 3 / 2) << "delay " << delay;
            EXPECT_EQ(played->Breaks(), 0u);
        }
    }
}

TEST(Jacks, WavSinkAndSourceRoundTripTwentyFourBitSamples) {
    const std::string path = ::testing::TempDir() + "zk57_jacks_roundtrip.wav";
    std::vector<int32_t> samples(1000);
    auto sine = MakeSine(1000, 0.5);
    sine->Render(0, samples.data(), samples.size());
    EXPECT_NEAR(*std::max_element(samples.begin(), samples.end()), 0.5 * 8388607, 0.5 * 8388607 * 0.001);
    {
        auto sink = MakeWavSink(path);
        ASSERT_NE(sink, nullptr);
        sink->Consume(0, samples.data(), 600);
        sink->Consume(600, samples.data() + 600, 400);
    }
    auto source = MakeWavSource(path);
    ASSERT_NE(source, nullptr);
    std::vector<int32_t> back(1010, 7);
    source->Render(5000, back.data(), 1010); // starts where the ADC first asks
    EXPECT_TRUE(std::equal(samples.begin(), samples.end(), back.begin()));
    EXPECT_EQ(back[1000], 0) << "silence after the end of the file";
    EXPECT_EQ(MakeWavSource(path + ".missing"), nullptr);
    std::remove(path.c_str());
}

} // namespace
} // namespace instrument
