#include "image/Lzma.h"

#include <lzma.h>

#include <string>

namespace clockramp::fv {
namespace {

constexpr uint8_t kMaxProperties = (4 * 5 + 4) * 9 + 8;  // pb 4, lp 4, lc 8

// The filter of a stream of known size, no end marker needed (the decoder
// accepts one when `allow_end_marker`).
lzma_filter Filter(lzma_options_lzma& options, const LzmaHeader& header, bool allow_end_marker) {
  options.lc = header.properties % 9;
  options.lp = header.properties / 9 % 5;
  options.pb = header.properties / 45;
  options.dict_size = header.dictionary_size;
  options.ext_flags = allow_end_marker ? LZMA_LZMA1EXT_ALLOW_EOPM : 0;
  options.ext_size_low = static_cast<uint32_t>(header.uncompressed_size);
  options.ext_size_high = static_cast<uint32_t>(header.uncompressed_size >> 32);
  return lzma_filter{LZMA_FILTER_LZMA1EXT, &options};
}

// Runs a raw coder over `in` to completion into `out` (which grows as needed).
void RunCoder(lzma_stream& stream, std::span<const uint8_t> in, std::vector<uint8_t>& out,
              size_t start, const char* what) {
  stream.next_in = in.data();
  stream.avail_in = in.size();
  size_t used = start;
  for (;;) {
    if (used == out.size()) {
      out.resize(out.size() + out.size() / 2 + 4096);
    }
    stream.next_out = out.data() + used;
    stream.avail_out = out.size() - used;
    const lzma_ret ret = lzma_code(&stream, LZMA_FINISH);
    used = out.size() - stream.avail_out;
    if (ret == LZMA_STREAM_END) {
      break;
    }
    if (ret != LZMA_OK) {
      lzma_end(&stream);
      throw LzmaError(std::string(what) + " failed (liblzma status " + std::to_string(ret) + ")");
    }
    if (stream.avail_in == 0 && stream.avail_out != 0) {
      lzma_end(&stream);
      throw LzmaError(std::string(what) + ": the stream ends early");
    }
  }
  lzma_end(&stream);
  out.resize(used);
}

}  // namespace

LzmaHeader ReadLzmaHeader(std::span<const uint8_t> stream) {
  if (stream.size() < kLzmaHeaderSize) {
    throw LzmaError("an LZMA stream of " + std::to_string(stream.size()) +
                    " bytes has no room for its 13-byte header");
  }
  LzmaHeader h;
  h.properties = stream[0];
  if (h.properties > kMaxProperties) {
    throw LzmaError("LZMA properties byte " + std::to_string(h.properties) + " is out of range");
  }
  h.dictionary_size = 0;
  for (unsigned i = 0; i < 4; ++i) {
    h.dictionary_size |= static_cast<uint32_t>(stream[1 + i]) << (8 * i);
  }
  h.uncompressed_size = 0;
  for (unsigned i = 0; i < 8; ++i) {
    h.uncompressed_size |= static_cast<uint64_t>(stream[5 + i]) << (8 * i);
  }
  return h;
}

std::vector<uint8_t> LzmaDecompress(std::span<const uint8_t> stream) {
  const LzmaHeader header = ReadLzmaHeader(stream);
  if (header.uncompressed_size == UINT64_MAX) {
    throw LzmaError("the LZMA header does not give the uncompressed size");
  }
  if (header.uncompressed_size > (1ULL << 32)) {
    throw LzmaError("an uncompressed size of " + std::to_string(header.uncompressed_size) +
                    " bytes is beyond any firmware image");
  }
  lzma_options_lzma options{};
  lzma_filter filters[2] = {Filter(options, header, true), {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_stream coder = LZMA_STREAM_INIT;
  if (lzma_raw_decoder(&coder, filters) != LZMA_OK) {
    throw LzmaError("liblzma refused the stream's properties");
  }
  std::vector<uint8_t> out(static_cast<size_t>(header.uncompressed_size) + 1);
  RunCoder(coder, stream.subspan(kLzmaHeaderSize), out, 0, "LZMA decompression");
  if (out.size() != header.uncompressed_size) {
    throw LzmaError("the LZMA stream gave " + std::to_string(out.size()) + " bytes, its header " +
                    std::to_string(header.uncompressed_size));
  }
  return out;
}

std::vector<uint8_t> LzmaCompress(std::span<const uint8_t> data, const LzmaHeader& like) {
  lzma_options_lzma options{};
  if (lzma_lzma_preset(&options, 9) != 0) {
    throw LzmaError("liblzma has no preset 9");
  }
  LzmaHeader header = like;
  header.uncompressed_size = data.size();
  lzma_options_lzma chosen = options;
  lzma_filter filters[2] = {Filter(chosen, header, false), {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_stream coder = LZMA_STREAM_INIT;
  if (lzma_raw_encoder(&coder, filters) != LZMA_OK) {
    throw LzmaError("liblzma refused the LZMA properties");
  }
  std::vector<uint8_t> out(kLzmaHeaderSize + data.size() / 2 + 4096);
  out[0] = header.properties;
  for (unsigned i = 0; i < 4; ++i) {
    out[1 + i] = static_cast<uint8_t>(header.dictionary_size >> (8 * i));
  }
  for (unsigned i = 0; i < 8; ++i) {
    out[5 + i] = static_cast<uint8_t>(header.uncompressed_size >> (8 * i));
  }
  RunCoder(coder, data, out, kLzmaHeaderSize, "LZMA compression");
  return out;
}

}  // namespace clockramp::fv
