// Little-endian numbers in byte buffers: the calculator's command blocks and
// replies and the string-resource files store every number this way,
// whatever the machine's own order.
#pragma once

#include <cstdint>

namespace le {

inline std::uint16_t read16(const unsigned char *at)
{
    return static_cast<std::uint16_t>(at[0] | at[1] << 8);
}

inline std::uint32_t read32(const unsigned char *at)
{
    return std::uint32_t(at[0]) | std::uint32_t(at[1]) << 8 | std::uint32_t(at[2]) << 16 |
           std::uint32_t(at[3]) << 24;
}

// Eight bytes as one word; compilers turn the shifts into a single load
// where the machine is little-endian.
inline std::uint64_t read64(const unsigned char *at)
{
    return std::uint64_t(read32(at)) | std::uint64_t(read32(at + 4)) << 32;
}

inline void write16(unsigned char *at, std::uint16_t value)
{
    at[0] = static_cast<unsigned char>(value);
    at[1] = static_cast<unsigned char>(value >> 8);
}

inline void write32(unsigned char *at, std::uint32_t value)
{
    at[0] = static_cast<unsigned char>(value);
    at[1] = static_cast<unsigned char>(value >> 8);
    at[2] = static_cast<unsigned char>(value >> 16);
    at[3] = static_cast<unsigned char>(value >> 24);
}

} // namespace le
