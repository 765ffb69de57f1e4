// How long one refill takes (FillFromWav, FillFromMp3, FillFromInput, each with processBlock) as a
// share of a block's duration at 48000 Hz (4096 frames, 85.3 ms): median and worst of 1000
// refills of each kind, on a music-like song with the default preset. Prints one line per kind.
// Each refill includes the window's loudness measurement of its processed block; the line
// "Loudness" is that measurement alone (feeding one block and reading what the window's strip
// shows). Then FillFromInput again with the ON-AIR service's tap (its own loudness meter), with
// the dead-air alarm watching, and with its fallback song standing in for a silent input, and,
// given an Icecast address, the tap alone and with the MP3 stream running (its encoder thread busy
// beside the refills), these two with one refill per block period as in real use (300 of them, 26 s).
//   LOUDARA_ICECAST_PASSWORD=PASSWORD refill_bench [REFILLS] [icecast://HOST:PORT/MOUNT]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/app_state.h"
#include "audio/fallback_source.h"
#include "audio/icecast_output.h"
#include "audio/onair_status.h"
#include "audio/silence_alarm.h"
#include "audio/streaming.h"
#include "files/mp3_bridge.h"
#include "measure.h"

namespace {

using namespace loudara;
using Clock = std::chrono::steady_clock;

constexpr int kRate = 48000;
constexpr double kBlockMs = 4096.0 * 1000.0 / kRate;

// No sound devices: the refills never reach one.
class NoDevices : public WavePlatform {
public:
    unsigned deviceCount(WaveDirection) override { return 0; }
    bool deviceCaps(WaveDirection, unsigned, WaveDeviceCaps&) override { return false; }
    WaveResult open(WaveDirection, unsigned, uint32_t, NoticeChannel&, std::unique_ptr<WaveDevice>&) override {
        return kWaveBadDevice;
    }
    std::string errorText(WaveResult r) override { return WaveErrorText(r); }
};

class NoLoop : public EventLoop {
public:
    void startTimer(int, int) override {}
    void stopTimer(int) override {}
    void sleepMs(int) override {}
};

// The thread's processor time in ms: on a busy machine the clock also counts other programs' turns.
double threadCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
}

template <typename Fill>
void measure(const char* name, int refills, Fill fill) {
    std::vector<double> ms, cpuMs;
    ms.reserve(refills);
    cpuMs.reserve(refills);
    for (int i = 0; i < refills; ++i) {
        const double c0 = threadCpuMs();
        const Clock::time_point t0 = Clock::now();
        fill();
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        cpuMs.push_back(threadCpuMs() - c0);
    }
    std::sort(ms.begin(), ms.end());
    std::sort(cpuMs.begin(), cpuMs.end());
    const double median = ms[ms.size() / 2];
    const double worst = ms.back();
    const double cpuMedian = cpuMs[cpuMs.size() / 2];
    std::printf("%-14s refills %d  median %.3f ms (%.2f %% of a block)  worst %.3f ms (%.2f %%)  processor time median "
                "%.3f ms (%.2f %%)\n",
                name, refills, median, 100.0 * median / kBlockMs, worst, 100.0 * worst / kBlockMs, cpuMedian,
                100.0 * cpuMedian / kBlockMs);
}

// The same, one refill per block period as the stream runs them, so that a thread beside the
// refills (the stream's encoder) gets the time it has in real use.
template <typename Fill>
void measurePaced(const char* name, int refills, Fill fill) {
    std::vector<double> ms;
    ms.reserve(refills);
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(kBlockMs));
    Clock::time_point next = Clock::now();
    for (int i = 0; i < refills; ++i) {
        std::this_thread::sleep_until(next);
        next += period;
        const Clock::time_point t0 = Clock::now();
        fill();
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    std::sort(ms.begin(), ms.end());
    std::printf("%-14s refills %d, one per block  median %.3f ms (%.2f %% of a block)  worst %.3f ms (%.2f %%)\n",
                name, refills, ms[ms.size() / 2], 100.0 * ms[ms.size() / 2] / kBlockMs, ms.back(),
                100.0 * ms.back() / kBlockMs);
}

}  // namespace

int main(int argc, char** argv) {
    const int refills = argc > 1 ? std::atoi(argv[1]) : 1000;
    if (refills <= 0) {
        std::fprintf(stderr, "usage: refill_bench [REFILLS] [ICECAST_URL] (the password in LOUDARA_ICECAST_PASSWORD)\n");
        return 2;
    }
    IcecastSettings icecast;
    std::string urlError;
    if (argc > 2 && !ParseIcecastUrl(argv[2], icecast.target, urlError)) {
        std::fprintf(stderr, "refill_bench: %s\n", urlError.c_str());
        return 2;
    }
    // The source password as the service takes it: never on the command line.
    if (const char* password = std::getenv("LOUDARA_ICECAST_PASSWORD")) icecast.target.password = password;
    namespace fs = std::filesystem;
    const fs::path folder = fs::temp_directory_path() / ("loudara_refill_" + std::to_string(::getpid()));
    fs::create_directories(folder);
    const std::string wavPath = (folder / "song.wav").string();
    const std::string mp3Path = (folder / "song.mp3").string();

    // Enough song for every refill: 4096 frames each, and a little more.
    const int frames = (refills + 8) * 4096;
    const std::vector<int16_t> samples = test::musicLikeSignal(frames, kRate, 20000.0, 7);
    {
        FileHandle out = OpenFile(wavPath.c_str(), "wb");
        const uint32_t dataBytes = static_cast<uint32_t>(samples.size() * 2);
        if (!out || !WriteWavHeader(out.get(), dataBytes, kRate, 2, 16) ||
            std::fwrite(samples.data(), 2, samples.size(), out.get()) != samples.size()) {
            std::fprintf(stderr, "refill_bench: cannot write %s\n", wavPath.c_str());
            return 1;
        }
        FileHandle pcm(std::tmpfile());
        FileHandle mp3 = OpenFile(mp3Path.c_str(), "wb");
        std::string error;
        const bool pcmWritten = pcm && std::fwrite(samples.data(), 2, samples.size(), pcm.get()) == samples.size();
        if (pcmWritten) std::rewind(pcm.get());
        if (!mp3 || !pcmWritten || !EncodePcmToMp3(pcm.get(), dataBytes, kRate, 2, 192, mp3.get(), nullptr, error)) {
            std::fprintf(stderr, "refill_bench: cannot write %s: %s\n", mp3Path.c_str(), error.c_str());
            return 1;
        }
    }

    auto app = std::make_unique<AppState>();
    auto p = std::make_unique<Processor>();
    resetProcessor(*p);
    selectPresetById(*p, 232);
    initVirtualSpeaker(*p);
    selectEnvelopeTimes(*p);
    prepareForSong(*p, kRate);
    NoDevices platform;
    auto engine = std::make_unique<DeviceEngine>(platform);
    NoLoop loop;
    StreamView view;
    TextHost host;
    Mp3Decoder mp3;
    Streaming s{*app, app->playlist, app->stored, *p, *engine, loop, view, host, mp3};
    engine->sampleRate = kRate;
    engine->channels = 2;
    engine->loudness.start(kRate);

    std::vector<uint8_t> buffer(kSoundBlockBytes);
    SoundBlock block;
    block.data = buffer.data();

    engine->songFile = OpenFile(wavPath.c_str(), "rb");
    const int64_t dataBytes = engine->songFile ? SeekWavData(engine->songFile.get()) : -1;
    if (dataBytes < 0) {
        std::fprintf(stderr, "refill_bench: cannot read %s\n", wavPath.c_str());
        return 1;
    }
    engine->dataStart = std::ftell(engine->songFile.get());
    engine->dataBytes = static_cast<uint32_t>(dataBytes);
    measure("FillFromWav", refills, [&] { FillFromWav(s, block); });
    engine->songFile.reset();

    prepareForSong(*p, kRate);
    if (!mp3.open(mp3Path.c_str())) {
        std::fprintf(stderr, "refill_bench: cannot decode %s\n", mp3Path.c_str());
        return 1;
    }
    measure("FillFromMp3", refills, [&] { FillFromMp3(s, block); });
    mp3.close();

    prepareForSong(*p, kRate);
    engine->outputBlocks[0] = &block;
    engine->allocatedBlocks = 1;
    std::memcpy(engine->inputRing[0], samples.data(), kSoundBlockBytes);
    measure("FillFromInput", refills, [&] { FillFromInput(s, block); });

    LoudnessTap meterOnly;
    engine->tap = &meterOnly;
    measure("+meter", refills, [&] { FillFromInput(s, block); });
    {
        // The dead-air alarm watching the output, then its fallback song standing in for a silent
        // input (read ahead by its own thread; each refill mixes a block of it in).
        SilenceAlarm watching({-50, 30}, nullptr, &meterOnly);
        engine->tap = &watching;
        engine->standIn = &watching;
        measure("+meter+alarm", refills, [&] { FillFromInput(s, block); });
        FallbackSource fallback({wavPath});
        fallback.start(kRate);
        SilenceAlarm standingIn({-50, 1}, &fallback, &meterOnly);
        engine->tap = &standingIn;
        engine->standIn = &standingIn;
        std::memset(engine->inputRing[0], 0, kSoundBlockBytes);
        for (int i = 0; i < 200 && !standingIn.snapshot().fallbackPlaying; ++i) FillFromInput(s, block);
        measure("+meter+fallback", refills, [&] {
            while (fallback.bufferedFrames() < 4096) usleep(1000);
            FillFromInput(s, block);
        });
        const bool played = standingIn.snapshot().fallbackPlaying;
        engine->standIn = nullptr;
        engine->tap = &meterOnly;
        std::memcpy(engine->inputRing[0], samples.data(), kSoundBlockBytes);
        if (!played) std::printf("the fallback did not play: its figures are not those of a fallback\n");
    }
    if (argc > 2) {
        const int paced = std::min(refills, 300);
        engine->tap = &meterOnly;
        measurePaced("+meter", paced, [&] { FillFromInput(s, block); });
        IcecastOutput stream(icecast);
        LoudnessTap withStream(&stream);
        stream.start();
        for (int i = 0; i < 100 && stream.report().state != StreamState::Connected; ++i) usleep(100000);
        if (stream.report().state != StreamState::Connected) {
            std::fprintf(stderr, "refill_bench: no connection to %s: %s\n", icecast.target.display().c_str(),
                         stream.report().error.c_str());
            return 1;
        }
        engine->tap = &withStream;
        measurePaced("+meter+stream", paced, [&] { FillFromInput(s, block); });
        engine->tap = nullptr;
        stream.stop();
        const IcecastOutput::Report r = stream.report();
        std::printf("stream: %llu bytes sent, %llu blocks dropped\n", static_cast<unsigned long long>(r.bytesSent),
                    static_cast<unsigned long long>(r.blocksDropped));
    }
    engine->tap = nullptr;
    engine->outputBlocks[0] = nullptr;
    engine->allocatedBlocks = 0;

    StreamLoudness loudness;
    loudness.start(kRate);
    size_t at = 0;
    double sink = 0.0;
    measure("Loudness", refills, [&] {
        loudness.addStereoFrames(samples.data() + 2 * at, 4096);
        sink += loudness.reading().shortTermLufs;
        at = (at + 4096) % (samples.size() / 2 - 4096);
    });
    if (sink == 1.0) std::puts("");

    fs::remove_all(folder);
    return 0;
}
