// LZMA streams as a GUID-defined section of a firmware file holds them: the
// "alone" layout of LZMA1 (one properties byte lc/lp/pb, the 32-bit
// dictionary size, the 64-bit uncompressed size, then the stream), with the
// real uncompressed size in the header, as the firmware's decompressor needs
// it to size its output buffer. Built on Debian's liblzma.
#ifndef CLOCKRAMP_IMAGE_LZMA_H_
#define CLOCKRAMP_IMAGE_LZMA_H_

#include <cstdint>
#include <functional>
#include <span>
#include <stdexcept>
#include <vector>

namespace clockramp::fv {

class LzmaError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr uint32_t kLzmaHeaderSize = 13;

// Told how far a long decompression or compression has come, in bytes of
// the uncompressed data: written so far and in all (decompression), or read
// so far and in all (compression).
using LzmaProgress = std::function<void(uint64_t done, uint64_t total)>;

struct LzmaHeader {
  uint8_t properties = 0x5D;  // lc 3, lp 0, pb 2
  uint32_t dictionary_size = 1U << 23;
  uint64_t uncompressed_size = 0;
};

// The header of a stream; throws LzmaError when there are fewer than 13 bytes
// or the properties byte is out of range.
LzmaHeader ReadLzmaHeader(std::span<const uint8_t> stream);

// Decompresses a stream whose header gives the uncompressed size (with or
// without an end marker). The size the header declares is checked against
// `limit` before anything is allocated, and the stream is never inflated past
// it. Throws LzmaError on a damaged or truncated stream, an unknown size or a
// size over the limit.
std::vector<uint8_t> LzmaDecompress(std::span<const uint8_t> stream,
                                    uint64_t limit = uint64_t{1} << 32,
                                    const LzmaProgress& progress = {});

// Compresses with the properties and dictionary size of `like` (so a
// firmware decompressor sized for the original needs no more memory), at
// liblzma's highest preset, with no end marker and the size in the header.
std::vector<uint8_t> LzmaCompress(std::span<const uint8_t> data, const LzmaHeader& like = {},
                                  const LzmaProgress& progress = {});

}  // namespace clockramp::fv

#endif  // CLOCKRAMP_IMAGE_LZMA_H_
