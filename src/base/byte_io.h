#pragma once
// Little-endian fields at byte offsets of a file image, whatever the host's byte order and struct
// layout. Doubles travel as the bits of their IEEE 754 representation.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace loudara::bytes {

inline void putU16(uint8_t* at, uint16_t v) {
    at[0] = static_cast<uint8_t>(v);
    at[1] = static_cast<uint8_t>(v >> 8);
}
inline void putU32(uint8_t* at, uint32_t v) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void putI32(uint8_t* at, int32_t v) { putU32(at, static_cast<uint32_t>(v)); }
inline void putF64(uint8_t* at, double v) {
    const uint64_t bits = std::bit_cast<uint64_t>(v);
    for (int i = 0; i < 8; ++i) at[i] = static_cast<uint8_t>(bits >> (8 * i));
}

inline uint16_t getU16(const uint8_t* at) { return static_cast<uint16_t>(at[0] | (at[1] << 8)); }
inline uint32_t getU32(const uint8_t* at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | at[i];
    return v;
}
inline int32_t getI32(const uint8_t* at) { return static_cast<int32_t>(getU32(at)); }
inline double getF64(const uint8_t* at) {
    uint64_t bits = 0;
    for (int i = 7; i >= 0; --i) bits = (bits << 8) | at[i];
    return std::bit_cast<double>(bits);
}

}  // namespace loudara::bytes
