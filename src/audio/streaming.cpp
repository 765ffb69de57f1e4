#include "audio/streaming.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>

#include "files/peak_level.h"

namespace loudara {

namespace {

// Playback with the chain in the device's period: the song's frames go to the chain
// unprocessed, and the block stands for them in time.
bool songInPeriod(const DeviceEngine& e) { return e.realtime && e.realtime->songSource(); }

void feedSongBlock(DeviceEngine& e, SoundBlock& block, const int16_t* frames16, const float* framesFloat,
                   uint32_t frames) {
    const std::size_t fed =
        framesFloat ? e.realtime->feedSong(framesFloat, frames) : e.realtime->feedSong(frames16, frames);
    block.bufferLength = static_cast<uint32_t>(fed) * kBytesPerFrame;
}

bool playableRate(uint32_t rate) { return rate == 32000 || rate == 44100 || rate == 48000; }

const SongRecord* playingRecord(const Streaming& s) {
    const Playlist& list = s.playlist;
    if (list.playingSong < 0 || list.playingSong >= kMaxSongs) return nullptr;
    return &list.songs[list.playingSong];
}

void closeSong(Streaming& s) {
    if (s.engine.mp3Open) {
        s.mp3.close();
        s.engine.mp3Open = false;
    }
    s.engine.songFile.reset();
    if (s.engine.sound) s.engine.sound->close();
    s.engine.soundOpen = false;
    s.engine.mp3Resampler.reset();
    s.engine.resampled.clear();
    s.engine.resampledFrom = 0;
    s.engine.mp3Ended = false;
}

// Up to `maxFrames` frames of the MP3 song at the stream's rate into `out`: the count, 0 at the
// end, -1 when the decoder or the resampler fails.
int64_t readResampledMp3(Streaming& s, float* out, int64_t maxFrames) {
    DeviceEngine& e = s.engine;
    const bool mono = s.mp3.info().channels == 1 || (s.mp3.info().channels == 0 && e.channels == 1);
    int64_t done = 0;
    while (done < maxFrames) {
        const std::size_t available = e.resampled.size() / 2 - e.resampledFrom;
        if (available == 0) {
            e.resampled.clear();
            e.resampledFrom = 0;
            if (e.mp3Ended) break;
            int16_t left[kMp3FrameSamples];
            int16_t right[kMp3FrameSamples];
            float frames[2 * kMp3FrameSamples];
            const int n = s.mp3.readFrame(left, right);
            if (n < 0) return -1;
            if (n == 0) {
                e.mp3Ended = true;
                if (!e.mp3Resampler->finish(e.resampled)) return -1;
                continue;
            }
            for (int i = 0; i < n; ++i) {
                frames[2 * i] = left[i] / 32768.0f;
                frames[2 * i + 1] = (mono ? left[i] : right[i]) / 32768.0f;
            }
            if (!e.mp3Resampler->process(frames, static_cast<std::size_t>(n), e.resampled)) return -1;
            continue;
        }
        const std::size_t take = std::min<std::size_t>(available, static_cast<std::size_t>(maxFrames - done));
        const float* from = e.resampled.data() + 2 * e.resampledFrom;
        std::copy(from, from + 2 * take, out + 2 * done);
        e.resampledFrom += take;
        done += static_cast<int64_t>(take);
    }
    return done;
}

// A start that got past OpenDevices and then failed leaves nothing open behind it.
StartResult abandonStart(Streaming& s, StartResult result) {
    closeSong(s);
    CloseDevices(s.engine);
    s.transport.playState = PlayState::Stopped;
    return result;
}

void copySongPath(DeviceEngine& engine, const SongRecord& song) {
    std::snprintf(engine.songPath, sizeof engine.songPath, "%s", song.path);
}

// A song chain's song ends after the frames fed so far; the chain's delay plays out after them.
void endSongInPeriod(Streaming& s) {
    DeviceEngine& e = s.engine;
    if (!songInPeriod(e) || e.songEndSent) return;
    const auto tail = static_cast<uint32_t>(chainLatencyFrames(s.processor));
    e.realtime->endSong(tail);
    e.songEndSent = true;
    e.songTailFramesToTime = tail;
}

void enterDraining(Streaming& s) {
    s.transport.playState = PlayState::Draining;
    endSongInPeriod(s);
    if (!s.engine.drainCountersTaken && s.engine.output) {
        s.engine.outputCountersAtDrain = s.engine.output->counters();
        // A song chain's ring run dry is the output's underflow as much as a missing block.
        if (songInPeriod(s.engine)) s.engine.outputCountersAtDrain.underflows += s.engine.realtime->underflows();
        s.engine.drainCountersTaken = true;
    }
}

// The seek of a held transport button: the step count (negative backwards), or 0 when no seek
// is held. The seek ends when the cursor has left the buttons that keep it alive.
int seekStepsNow(Streaming& s, std::initializer_list<int> keepAlive) {
    TransportState& a = s.transport;
    if (!a.seekActive) return 0;
    bool over = false;
    for (int button : keepAlive) over = over || s.view.cursorOverTransportButton(button);
    if (!over) {
        a.seekActive = 0;
        s.view.clearTransportButtons();
        return 0;
    }
    return a.seekSteps;
}

// Reads the next block of sample data (never past the "data" chunk) into `target`.
uint32_t readSamples(DeviceEngine& e, uint8_t* target, uint32_t blockBytes, bool mono) {
    const uint32_t want = std::min(blockBytes, e.dataBytes - e.dataOffset);
    const std::size_t got = want > 0 && e.songFile ? std::fread(target, 1, want, e.songFile.get()) : 0;
    e.dataOffset += static_cast<uint32_t>(got);
    e.playPosition += static_cast<uint32_t>(mono ? 2 * got : got);
    return static_cast<uint32_t>(got);
}

// A processed float sample as the device gets it: the chain value truncated toward zero, as
// processBlock rounds its own output.
inline int16_t deviceSample(float x) {
    const double v = static_cast<double>(x) * 32768.0;
    if (!(v > -32768.0)) return -32768;
    if (v >= 32767.0) return 32767;
    return static_cast<int16_t>(static_cast<int32_t>(v));
}

void measureBlock(Streaming& s, SoundBlock& block, uint32_t bytes) {
    block.bufferLength = bytes;
    s.engine.loudness.addStereoFrames(reinterpret_cast<const int16_t*>(block.data), bytes / 4);
    if (s.engine.tap && bytes >= kBytesPerFrame) {
        s.engine.tap->processedBlock(reinterpret_cast<const int16_t*>(block.data), bytes / kBytesPerFrame,
                                     s.engine.sampleRate);
    }
}

void processInto(Streaming& s, const uint8_t* input, SoundBlock& block, uint32_t bytes) {
    if (songInPeriod(s.engine)) {
        feedSongBlock(s.engine, block, reinterpret_cast<const int16_t*>(input), nullptr, bytes / kBytesPerFrame);
        return;
    }
    processBlock(s.processor, static_cast<int32_t>(bytes / 2), reinterpret_cast<const int16_t*>(input),
                 reinterpret_cast<int16_t*>(block.data));
    measureBlock(s, block, bytes);
}

// `frames` stereo float frames of engine.floatFrames through processBlockFloat, rounded into the
// block.
void processFloatInto(Streaming& s, SoundBlock& block, uint32_t frames) {
    float* samples = s.engine.floatFrames;
    if (songInPeriod(s.engine)) {
        feedSongBlock(s.engine, block, nullptr, samples, frames);
        return;
    }
    processBlockFloat(s.processor, static_cast<int32_t>(2 * frames), samples, samples);
    int16_t* out = reinterpret_cast<int16_t*>(block.data);
    for (uint32_t i = 0; i < 2 * frames; ++i) out[i] = deviceSample(samples[i]);
    measureBlock(s, block, frames * kBytesPerFrame);
}

// The blocks a forward-only song moves on by this refill: 1, or the steps of a held forward
// button. A rewind ends the seek (such a song cannot go back).
int forwardSteps(Streaming& s) {
    TransportState& a = s.transport;
    if (!a.seekActive) return 1;
    if (!s.view.cursorOverTransportButton(5) && !s.view.cursorOverTransportButton(4)) {
        a.seekActive = 0;
        s.view.clearTransportButtons();
        return 1;
    }
    if (a.seekSteps < 0) {
        a.seekActive = 0;
        return 1;
    }
    return std::max(1, static_cast<int>(a.seekSteps));
}

int refill(Streaming& s, SoundBlock& block) {
    if (s.transport.onAirMode) return FillFromInput(s, block);
    if (s.engine.mp3Open) return s.engine.mp3Resampler ? FillFromSoundFile(s, block) : FillFromMp3(s, block);
    if (s.engine.soundOpen) return FillFromSoundFile(s, block);
    return FillFromWav(s, block);
}

}  // namespace

const char* StartResultText(StartResult result) {
    switch (result) {
        case StartResult::Started: return "started";
        case StartResult::NotStopped: return "a stream is already running";
        case StartResult::NoSong: return "no song is selected";
        case StartResult::SongPending: return "the MP3 song's header has not been read yet";
        case StartResult::SongUnsupported: return "the song is not 16-bit mono or stereo at 32000, 44100 or 48000 Hz";
        case StartResult::DevicesNotOpened: return "the sound device could not be opened";
        case StartResult::NoBlocks: return "out of memory for the sound blocks";
        case StartResult::SongNotOpened: return "the song's file could not be opened";
        case StartResult::Mp3NotFilled: return "the MP3 song is too short or cannot be decoded";
    }
    return "?";
}

SongRecord OnAirPseudoSong(uint16_t onAirRateChoice) {
    SongRecord song;
    song.sampleRate = onAirRateChoice == 0 ? 32000 : (onAirRateChoice == 1 ? 44100 : 48000);
    song.channels = 2;
    song.peakLevel = 0;
    song.kind = SongKind::Wav;
    song.dataBytes = 0;
    std::snprintf(song.path, sizeof song.path, "%s", kOnAirSongPath);
    return song;
}

StartResult StartPlayback(Streaming& s) {
    TransportState& a = s.transport;
    DeviceEngine& e = s.engine;
    Playlist& list = s.playlist;
    const bool onAir = a.onAirMode != 0;
    if (a.playState != PlayState::Stopped) return StartResult::NotStopped;
    if (list.currentSong < 0 || list.currentSong >= list.songCount || list.currentSong >= kMaxSongs) {
        return StartResult::NoSong;
    }
    const SongRecord song = list.songs[list.currentSong];
    if (!onAir && song.kind == SongKind::Mp3Pending) return StartResult::SongPending;
    const bool soundFile = !onAir && song.kind == SongKind::SoundFile;
    if ((song.channels != 1 && song.channels != 2) || (soundFile ? song.sampleRate == 0 : !playableRate(song.sampleRate))) {
        return StartResult::SongUnsupported;
    }
    // A song's stream runs at the device's rate. A song at that rate (a WAV or MP3 song) takes the
    // 16-bit path; any other song is read through SoundSource, resampled to it.
    const uint32_t wanted = soundFile ? static_cast<uint32_t>(ChainRateFor(static_cast<int>(song.sampleRate)))
                                      : song.sampleRate;
    // ON-AIR runs at the rate chosen for it unless the device runs at another rate the processor
    // takes (a JACK server at 48 kHz): then at the device's, which its entry in the list shows.
    const uint32_t rate = StreamRateFor(e, s.devices, wanted);
    if (onAir && rate != song.sampleRate) {
        list.songs[list.currentSong].sampleRate = rate;
        s.view.refreshSongList();
    }
    const bool resampledMp3 = !onAir && song.kind == SongKind::Mp3 && rate != song.sampleRate;
    const bool throughSource = !onAir && !resampledMp3 && (soundFile || rate != song.sampleRate);

    list.playingSong = list.currentSong;
    e.mp3CarryBytes = 0;
    e.sampleRate = rate;
    e.channels = static_cast<uint16_t>(song.channels);
    e.drainCountersTaken = false;
    e.songEndSent = false;
    e.songTailFramesToTime = 0;
    if (!OpenDevices(e, s.devices, onAir, s.host)) return abandonStart(s, StartResult::DevicesNotOpened);

    s.processor.settings.normalizeGain = NormalizeGainOf(song);
    if (!AllocateBlocks(e, s.devices.blockCount, onAir)) return abandonStart(s, StartResult::NoBlocks);
    prepare(s.processor, static_cast<int>(rate));
    s.engine.loudness.start(rate);
    if (e.standIn) e.standIn->setInPeriod(false);
    if (onAir && e.input) {
        // Where the devices can run the chain in their own period (Loudara's JACK client), the
        // input reaches the output at the chain's own delay instead of through the blocks.
        auto chain = std::make_unique<RealtimeChain>(s.processor, e.standIn, rate);
        e.realtimeLatencyFrames = chainLatencyFrames(s.processor);
        e.output->setLatencyFrames(e.realtimeLatencyFrames);
        if (e.standIn) e.standIn->setInPeriod(true);
        if (e.output->runChain(chain.get())) {
            e.realtime = std::move(chain);
        } else if (e.standIn) {
            e.standIn->setInPeriod(false);
        }
    } else if (!onAir) {
        // A device that runs the chain in its own period plays the song from there: the blocks
        // carry the song's frames to it unprocessed, and it is heard at the chain's own delay.
        const auto source = throughSource || resampledMp3 ? RealtimeChain::Source::SongFloat
                                                          : RealtimeChain::Source::Song16;
        auto chain = std::make_unique<RealtimeChain>(s.processor, nullptr, rate, source);
        e.realtimeLatencyFrames = chainLatencyFrames(s.processor);
        e.output->setLatencyFrames(e.realtimeLatencyFrames);
        if (e.output->runChain(chain.get())) e.realtime = std::move(chain);
    }

    if (throughSource) {
        copySongPath(e, song);
        if (!e.sound) e.sound = std::make_unique<SoundSource>();
        if (e.sound->open(e.songPath, static_cast<int>(rate)) != SoundOpenResult::Ok) {
            // SoundSource's reason ("cannot read PATH: WHY"), or the song stays silent for nothing.
            s.host.showMessage(e.sound->error(), "Loudara", MessageIcon::Exclamation);
            return abandonStart(s, StartResult::SongNotOpened);
        }
        e.soundOpen = true;
    } else if (!onAir) {
        copySongPath(e, song);
        if (song.kind == SongKind::Mp3) {
            if (!s.mp3.open(e.songPath)) return abandonStart(s, StartResult::SongNotOpened);
            e.mp3Open = true;
            if (resampledMp3) {
                e.mp3Resampler = std::make_unique<SoundResampler>(song.sampleRate, rate, 2);
                if (!e.mp3Resampler->ok()) return abandonStart(s, StartResult::SongNotOpened);
            }
        } else {
            e.songFile = OpenFile(e.songPath, "rb");
            if (!e.songFile) return abandonStart(s, StartResult::SongNotOpened);
            const int64_t dataBytes = SeekWavData(e.songFile.get());
            const long dataStart = std::ftell(e.songFile.get());
            if (dataBytes < 0 || dataStart < 0) return abandonStart(s, StartResult::SongNotOpened);
            e.dataStart = dataStart;
            e.dataBytes = static_cast<uint32_t>(std::min<int64_t>(dataBytes, UINT32_MAX));
            e.dataOffset = 0;
        }
    }

    e.playPosition = 0;
    e.output->reset();
    e.output->pause();

    if (onAir && e.input) {
        WaveResult last = kWaveOk;
        for (int i = 0; i < e.allocatedBlocks; ++i) {
            last = e.input->prepare(*e.inputBlocks[i]);
            if (last == kWaveOk) last = e.input->queue(*e.inputBlocks[i]);
        }
        if (last == kWaveOk) {
            // The input settles before capture starts.
            s.loop.sleepMs(100);
            e.input->start();
        }
    }

    for (int i = 0; i < e.allocatedBlocks; ++i) {
        SoundBlock* block = e.outputBlocks[i];
        if (!block) return abandonStart(s, StartResult::NoBlocks);
        int more = 1;
        if (onAir) {
            FillFromInput(s, *block);
        } else if (throughSource) {
            more = FillFromSoundFile(s, *block);
        } else if (song.kind == SongKind::Mp3) {
            if ((resampledMp3 ? FillFromSoundFile(s, *block) : FillFromMp3(s, *block)) == 0) {
                list.songStatus[list.playingSong] = kSongStatusFailed;
                abandonStart(s, StartResult::Mp3NotFilled);
                s.view.refreshSongList();
                return StartResult::Mp3NotFilled;
            }
        } else {
            // A song shorter than the blocks queues short and empty blocks; they return at once.
            more = FillFromWav(s, *block);
        }
        // A song shorter than the blocks ends in the chain's ring at once, not at the next refill.
        if (more == 0) endSongInPeriod(s);
        if (e.output->prepare(*block) == kWaveOk) e.output->queue(*block);
    }

    a.playState = PlayState::Playing;
    e.output->restart();
    s.view.refreshSongList();
    return StartResult::Started;
}

void StopPlayback(Streaming& s) {
    s.transport.playState = PlayState::Stopped;
    s.view.clearTransportButtons();
    for (BandSettings& band : s.processor.bands) band.gateState = 0;
    closeSong(s);
    CloseDevices(s.engine);
    s.view.refreshSongList();
}

int FillFromWav(Streaming& s, SoundBlock& block) {
    DeviceEngine& e = s.engine;
    const int steps = seekStepsNow(s, {5, 4, 0, 1});
    const bool mono = e.channels == 1;
    // A block holds 4096 frames: 16384 bytes of a stereo file, 8192 of a mono one. Going back
    // one block per step means moving back two before reading one.
    const uint32_t readBytes = mono ? kSoundBlockBytes / 2 : kSoundBlockBytes;
    uint8_t* target = mono ? e.monoBuffer : e.stagingBuffer;
    std::memset(e.stagingBuffer, 0, kSoundBlockBytes);

    uint32_t got = 0;
    if (steps == 0) {
        got = readSamples(e, target, readBytes, mono);
    } else {
        const int count = steps < 0 ? -steps : steps;
        for (int k = 0; k < count; ++k) {
            if (steps < 0) {
                const uint32_t back = 2 * readBytes;
                e.dataOffset = e.dataOffset > back ? e.dataOffset - back : 0;
                if (e.songFile) std::fseek(e.songFile.get(), static_cast<long>(e.dataStart + e.dataOffset), SEEK_SET);
                e.playPosition = mono ? 2 * e.dataOffset : e.dataOffset;
            }
            got = readSamples(e, target, readBytes, mono);
            if (got == 0) break;
        }
    }

    uint32_t bytes = 0;
    if (mono) {
        const uint32_t samples = got / 2;
        const int16_t* in = reinterpret_cast<const int16_t*>(e.monoBuffer);
        int16_t* out = reinterpret_cast<int16_t*>(e.stagingBuffer);
        for (uint32_t i = 0; i < samples; ++i) out[2 * i] = out[2 * i + 1] = in[i];
        bytes = samples * kBytesPerFrame;
    } else {
        bytes = got - got % kBytesPerFrame;
    }
    processInto(s, e.stagingBuffer, block, bytes);
    return bytes == kSoundBlockBytes ? 1 : 0;
}

int FillFromMp3(Streaming& s, SoundBlock& block) {
    DeviceEngine& e = s.engine;
    // MP3 songs cannot be rewound: only the forward buttons keep a seek alive.
    const int steps = forwardSteps(s);
    std::memset(e.stagingBuffer, 0, kStagingBytes);
    const bool mono = s.mp3.info().channels == 1 || (s.mp3.info().channels == 0 && e.channels == 1);

    int16_t left[kMp3FrameSamples];
    int16_t right[kMp3FrameSamples];
    int last = 0;
    do {
        for (int k = 0; k < steps; ++k) {
            last = s.mp3.readFrame(left, right);
            if (last <= 0) break;
            e.playPosition += static_cast<uint32_t>(kBytesPerFrame * last);
        }
        if (last <= 0) break;
        int16_t* carry = reinterpret_cast<int16_t*>(e.mp3Carry + e.mp3CarryBytes);
        for (int i = 0; i < last; ++i) {
            carry[2 * i] = left[i];
            carry[2 * i + 1] = mono ? left[i] : right[i];
        }
        e.mp3CarryBytes += static_cast<uint32_t>(kBytesPerFrame * last);
    } while (e.mp3CarryBytes <= kSoundBlockBytes);

    if (last < 0) {
        e.mp3CarryBytes = 0;
        block.bufferLength = 0;
        return 0;
    }
    uint32_t bytes = 0;
    if (last > 0 && e.mp3CarryBytes > kSoundBlockBytes) {
        bytes = kSoundBlockBytes;
        std::memcpy(e.stagingBuffer, e.mp3Carry, bytes);
        e.mp3CarryBytes -= bytes;
        std::memmove(e.mp3Carry, e.mp3Carry + bytes, e.mp3CarryBytes);
    } else {
        bytes = e.mp3CarryBytes;
        std::memcpy(e.stagingBuffer, e.mp3Carry, bytes);
        e.mp3CarryBytes = 0;
    }
    processInto(s, e.stagingBuffer, block, bytes);
    return last > 0 ? 1 : 0;
}

// A seek of a SoundSource song to where a WAV song's seek reads its block: `steps` blocks read
// forward, the last one heard; or back two blocks and one read per step, never before the first
// frame. Either way the block heard starts `steps - 1` blocks from the position (engine.
// playPosition, the frames of the stream), or at the first frame. False when the file cannot seek.
bool seekSound(DeviceEngine& e, int steps) {
    constexpr int64_t block = DeviceEngine::kFloatFrames;
    const int64_t at = e.playPosition / kBytesPerFrame;
    const int64_t target = std::max<int64_t>(0, at + (steps - 1) * block);
    const int64_t to = std::min(target, e.sound->chainFrames());
    if (to == at) return true;
    if (!e.sound->seek(to)) return false;
    e.playPosition = static_cast<uint32_t>(to * kBytesPerFrame);
    return true;
}

int FillFromSoundFile(Streaming& s, SoundBlock& block) {
    DeviceEngine& e = s.engine;
    int64_t got = 0;
    if (e.mp3Resampler) {
        const int steps = forwardSteps(s);
        for (int k = 0; k < steps; ++k) {
            got = readResampledMp3(s, e.floatFrames, DeviceEngine::kFloatFrames);
            if (got <= 0) break;
            e.playPosition += static_cast<uint32_t>(got * kBytesPerFrame);
        }
    } else {
        const int steps = seekStepsNow(s, {5, 4, 0, 1});
        got = e.sound && (steps == 0 || seekSound(e, steps)) ? e.sound->read(e.floatFrames, DeviceEngine::kFloatFrames) : -1;
        if (got > 0) e.playPosition += static_cast<uint32_t>(got * kBytesPerFrame);
    }
    if (got < 0) {
        // A read or decoding failure ends the song here, as the end of its file would.
        block.bufferLength = 0;
        return 0;
    }
    processFloatInto(s, block, static_cast<uint32_t>(got));
    return got == DeviceEngine::kFloatFrames ? 1 : 0;
}

namespace {

// A chain in the device's callback (ON-AIR, or a song): the parameters go to the callback, and
// what it processed since the last block goes to the meters, the loudness and the tap. ON-AIR's
// block only keeps time.
void serviceRealtime(Streaming& s) {
    DeviceEngine& e = s.engine;
    RealtimeChain& chain = *e.realtime;
    chain.publish(s.processor);
    const int latency = chainLatencyFrames(s.processor);
    if (latency != e.realtimeLatencyFrames) {
        e.realtimeLatencyFrames = latency;
        e.output->setLatencyFrames(latency);
    }
    auto* frames = reinterpret_cast<int16_t*>(e.stagingBuffer);
    const std::size_t got = chain.drain(frames, kStagingBytes / kBytesPerFrame);
    chain.takeMeters(s.processor);
    e.loudness.addStereoFrames(frames, got);
    if (e.tap && got > 0) e.tap->processedBlock(frames, got, e.sampleRate);
}

void takeFromRealtime(Streaming& s, SoundBlock& block) {
    serviceRealtime(s);
    block.bufferLength = kSoundBlockBytes;
}

}  // namespace

void PublishParameters(Streaming& s) {
    if (s.engine.realtime) s.engine.realtime->publish(s.processor);
}

double OnAirLatencyMs(const Streaming& s) {
    const DeviceEngine& e = s.engine;
    if (e.sampleRate == 0) return 0;
    double frames = chainLatencyFrames(s.processor);
    if (!e.realtime) frames += static_cast<double>(e.allocatedBlocks) * (kSoundBlockBytes / kBytesPerFrame);
    return frames * 1000.0 / e.sampleRate;
}

std::string OnAirFiguresText(const Streaming& s) {
    const DeviceEngine& e = s.engine;
    if (s.transport.playState == PlayState::Stopped || !e.output) return "";
    if (!s.transport.onAirMode && !songInPeriod(e)) return "";
    const WaveCounters out = e.output->counters();
    const WaveCounters in = e.input ? e.input->counters() : WaveCounters{};
    char text[128];
    std::snprintf(text, sizeof text, "latency %.1f ms%s  xruns %llu  late %llu", OnAirLatencyMs(s),
                  e.realtime ? " (JACK period)" : "", static_cast<unsigned long long>(std::max(out.xruns, in.xruns)),
                  static_cast<unsigned long long>(std::max(out.latePeriods, in.latePeriods)));
    return text;
}

int FillFromInput(Streaming& s, SoundBlock& block) {
    DeviceEngine& e = s.engine;
    if (e.realtime && e.output) {
        takeFromRealtime(s, block);
        e.playPosition += kSoundBlockBytes;
        return 1;
    }
    int slot = 0;
    for (int j = 0; j < e.allocatedBlocks; ++j) {
        if (e.outputBlocks[j] && e.outputBlocks[j]->data == block.data) {
            slot = j;
            break;
        }
    }
    const uint8_t* input = e.inputRing[slot];
    static_assert(kStagingBytes >= kSoundBlockBytes);
    if (e.standIn && e.standIn->standIn(reinterpret_cast<const int16_t*>(input), reinterpret_cast<int16_t*>(e.stagingBuffer),
                                        kSoundBlockBytes / kBytesPerFrame, e.sampleRate)) {
        input = e.stagingBuffer;
    }
    processInto(s, input, block, kSoundBlockBytes);
    e.playPosition += kSoundBlockBytes;
    return 1;
}

void OnInputData(Streaming& s, SoundBlock& block) {
    DeviceEngine& e = s.engine;
    if (!s.transport.onAirMode || !e.input || s.transport.playState != PlayState::Playing) return;
    int slot = 0;
    for (int i = 0; i < e.allocatedBlocks; ++i) {
        if (e.inputBlocks[i] && e.inputBlocks[i]->data == block.data) {
            slot = i;
            break;
        }
    }
    std::memcpy(e.inputRing[slot], block.data, kSoundBlockBytes);
    if (e.input->prepare(block) == kWaveOk) e.input->queue(block);
}

void OnOutputDone(Streaming& s, SoundBlock& block) {
    TransportState& a = s.transport;
    DeviceEngine& e = s.engine;
    const bool wasDraining = a.playState == PlayState::Draining;
    if (songInPeriod(e)) serviceRealtime(s);
    if (a.playState == PlayState::Playing) {
        const int more = refill(s, block);
        WaveResult queued = e.output ? e.output->prepare(block) : kWaveInvalidBlock;
        if (queued == kWaveOk) queued = e.output->queue(block);
        if (queued != kWaveOk) StopPlayback(s);
        if (more == 0) enterDraining(s);
    }
    if (wasDraining && a.playState == PlayState::Draining && songInPeriod(e) && e.songTailFramesToTime > 0) {
        // The chain's delay after a song's end is timed by blocks of its own, so the devices
        // close only once the song's last sound has been heard.
        const uint32_t frames = std::min<uint32_t>(e.songTailFramesToTime, kSoundBlockBytes / kBytesPerFrame);
        e.songTailFramesToTime -= frames;
        block.bufferLength = frames * kBytesPerFrame;
        WaveResult queued = e.output ? e.output->prepare(block) : kWaveInvalidBlock;
        if (queued == kWaveOk) queued = e.output->queue(block);
        if (queued != kWaveOk) StopPlayback(s);
    }
    if (a.playState == PlayState::Draining) {
        for (int i = 0; i < e.allocatedBlocks; ++i) {
            if (e.outputBlocks[i] && e.outputBlocks[i]->inQueue()) return;
        }
        a.playState = PlayState::Finished;
    }
    if (a.playState == PlayState::Finished) {
        StopPlayback(s);
        a.playState = PlayState::Stopped;
        Playlist& list = s.playlist;
        const bool advance = !a.noAdvanceOnce && a.continuousPlayback && list.currentSong < list.songCount - 1;
        a.noAdvanceOnce = 0;
        if (advance) {
            // The next song starts from silence.
            reset(s.processor);
            list.currentSong += 1;
            copySongPath(e, list.songs[list.currentSong]);
            s.loop.startTimer(kNextSongTimer, kNextSongDelayMs);
        } else {
            clearProcessorState(s.processor);
        }
    }
    s.view.repaintPanel();
}

void DispatchDeviceNotices(Streaming& s) {
    s.engine.notices.acknowledgeWake();
    WaveDirection direction = WaveDirection::Output;
    SoundBlock* block = nullptr;
    while (s.engine.notices.take(direction, block)) {
        if (direction == WaveDirection::Output) {
            OnOutputDone(s, *block);
        } else {
            OnInputData(s, *block);
        }
    }
}

void OnStreamTimer(Streaming& s, int timerId, StartResult* result) {
    StartResult started = StartResult::NotStopped;
    if (timerId == kNextSongTimer) {
        s.loop.stopTimer(kNextSongTimer);
        started = StartPlayback(s);
    } else if (timerId == kOnAirBootTimer) {
        s.loop.stopTimer(kOnAirBootTimer);
        TransportState& a = s.transport;
        if (a.playState == PlayState::Stopped) {
            a.onAirMode = 1;
            s.playlist.currentSong = s.playlist.playingSong = 0;
            s.playlist.songCount = 1;
            s.playlist.songs[0] = OnAirPseudoSong(s.devices.onAirRateChoice);
            s.view.setOnAirLock(true);
            started = StartPlayback(s);
        }
    }
    if (result) *result = started;
}

std::string FormatPlayTime(const Streaming& s) {
    const DeviceEngine& e = s.engine;
    if (!e.output || s.transport.playState == PlayState::Stopped) return " 00:00";
    if (s.transport.onAirMode) return " ";
    const SongRecord* song = playingRecord(s);
    if (!song || song->channels == 0 || song->sampleRate == 0) return " 00:00";
    if (e.sampleRate == 0) return " 00:00";
    // A song played in the device's period is heard where its reading is, less what waits in
    // the chain's ring.
    uint32_t position = e.playPosition;
    if (songInPeriod(e)) {
        const std::size_t waiting = e.realtime->songFramesWaiting() * kBytesPerFrame;
        position = position > waiting ? position - static_cast<uint32_t>(waiting) : 0;
    }
    const uint32_t seconds = position / kBytesPerFrame / e.sampleRate;
    char text[32];
    std::snprintf(text, sizeof text, " %02u:%02u", seconds / 60, seconds % 60);
    return text;
}

bool PlayCommand(Streaming& s, StartResult* result) {
    const Playlist& list = s.playlist;
    if (s.transport.playState != PlayState::Stopped || list.songCount <= 0 || list.currentSong < 0 ||
        list.currentSong >= list.songCount) {
        return false;
    }
    const StartResult started = StartPlayback(s);
    if (result) *result = started;
    return true;
}

bool StopCommand(Streaming& s) {
    if (s.transport.playState == PlayState::Stopped) return false;
    s.transport.noAdvanceOnce = 1;
    enterDraining(s);
    return true;
}

bool SongRowDoubleClicked(Streaming& s, StartResult* result) {
    if (s.transport.playState == PlayState::Stopped) return PlayCommand(s, result);
    return StopCommand(s);
}

void ToggleContinuousPlayback(Streaming& s) { s.transport.continuousPlayback = s.transport.continuousPlayback ? 0 : 1; }

bool ToggleOnAirMode(Streaming& s) {
    TransportState& a = s.transport;
    if (a.playState != PlayState::Stopped) return false;
    s.playlist.currentSong = s.playlist.playingSong = 0;
    a.onAirMode = a.onAirMode ? 0 : 1;
    if (a.onAirMode) {
        s.playlist.songCount = 1;
        s.playlist.songs[0] = OnAirPseudoSong(s.devices.onAirRateChoice);
        s.view.setOnAirLock(true);
    } else {
        s.playlist.songCount = 0;
        s.view.setOnAirLock(false);
    }
    s.view.refreshSongList();
    return true;
}

bool PressTransportButton(Streaming& s, int button) {
    int steps = 0;
    switch (button) {
        case 0: steps = -20; break;
        case 1: steps = -5; break;
        case 4: steps = 5; break;
        case 5: steps = 20; break;
        default: return false;
    }
    s.transport.seekSteps = steps;
    s.transport.seekActive = 1;
    return true;
}

void ReleaseTransportButtons(Streaming& s) {
    s.transport.seekActive = 0;
    s.view.clearTransportButtons();
}

void ArmOnAirAtBoot(Streaming& s) {
    if (s.devices.startOnAirAtBoot) s.loop.startTimer(kOnAirBootTimer, kOnAirBootDelayMs);
}

void MainWindowClosing(Streaming& s) {
    if (s.transport.playState != PlayState::Stopped) StopPlayback(s);
}

}  // namespace loudara
