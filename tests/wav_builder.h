#pragma once
// Builds WAV files byte by byte for the tests, and a fixture with a scratch folder.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace loudara {

namespace fs = std::filesystem;
using ByteVector = std::vector<unsigned char>;

// A file's bytes, field by field, little-endian.
struct Bytes {
    ByteVector data;
    Bytes& text(std::string_view s) { data.insert(data.end(), s.begin(), s.end()); return *this; }
    Bytes& u16(uint32_t v) { data.push_back(v & 0xFF); data.push_back((v >> 8) & 0xFF); return *this; }
    Bytes& u32(uint32_t v) { return u16(v & 0xFFFF).u16(v >> 16); }
    Bytes& add(const ByteVector& more, std::size_t zeros = 0) {
        data.insert(data.end(), more.begin(), more.end());
        data.insert(data.end(), zeros, 0);
        return *this;
    }
    // Identifier, size, body and the pad byte of an odd size.
    Bytes& chunk(std::string_view id, const ByteVector& body) { return text(id).u32(body.size()).add(body, body.size() % 2); }
};

inline ByteVector fmtBody(uint32_t channels, uint32_t rate, uint32_t bits, uint32_t tag = 1) {
    return Bytes{}.u16(tag).u16(channels).u32(rate).u32(rate * channels * 2).u16(channels * 2).u16(bits).data;
}

// "RIFF", size, form type, then the chunks laid out in `body`.
inline ByteVector riff(const Bytes& body, std::string_view form = "WAVE") {
    return Bytes{}.text("RIFF").u32(body.data.size() + 4).text(form).add(body.data).data;
}

inline Bytes withFmt(uint32_t channels, uint32_t rate, uint32_t bits) { return Bytes{}.chunk("fmt ", fmtBody(channels, rate, bits)); }

class TempFolder : public ::testing::Test {
protected:
    fs::path folder = fs::temp_directory_path() / ("loudara_wav_" + std::to_string(std::random_device{}()));
    void SetUp() override { fs::create_directories(folder); }
    void TearDown() override { fs::remove_all(folder); }

    std::string write(const std::string& name, const ByteVector& bytes) {
        const fs::path path = folder / name;
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        return path.string();
    }
    static ByteVector read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return ByteVector(std::istreambuf_iterator<char>(in), {});
    }
};


// A complete 16-bit PCM file: "fmt ", the chunks of `before`, "data" with `samples`
// (interleaved), then the chunks of `after`.
inline ByteVector pcmWave(const std::vector<int16_t>& samples, uint32_t channels, uint32_t rate,
                          const Bytes& before = {}, const Bytes& after = {}, std::string_view dataId = "data") {
    Bytes sampleBytes;
    for (int16_t s : samples) sampleBytes.u16(static_cast<uint16_t>(s));
    Bytes body = withFmt(channels, rate, 16);
    body.add(before.data).chunk(dataId, sampleBytes.data).add(after.data);
    return riff(body);
}

}  // namespace loudara
