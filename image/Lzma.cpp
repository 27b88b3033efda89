#include "image/Lzma.h"

#include <lzma.h>

#include <algorithm>
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

// Input goes to the coder a step at a time, so that progress can be told.
constexpr size_t kStep = size_t{1} << 20;

// Ends a coder on every way out.
class CoderGuard {
 public:
  explicit CoderGuard(lzma_stream& stream) : stream_(stream) {}
  CoderGuard(const CoderGuard&) = delete;
  CoderGuard& operator=(const CoderGuard&) = delete;
  ~CoderGuard() { lzma_end(&stream_); }

 private:
  lzma_stream& stream_;
};

// Runs a raw coder over `in` to completion into `out`, from `used` on. With
// `grow` the output grows as needed (compression), and progress is the input
// read; without, `out` is as large as the stream may become (decompression),
// is never enlarged, and progress is the output written.
void RunCoder(lzma_stream& stream, std::span<const uint8_t> in, std::vector<uint8_t>& out,
              size_t used, bool grow, const char* what, const LzmaProgress& progress) {
  const CoderGuard guard(stream);
  size_t fed = 0;
  stream.next_in = in.data();
  stream.avail_in = 0;
  for (;;) {
    if (stream.avail_in == 0 && fed < in.size()) {
      stream.avail_in = std::min(kStep, in.size() - fed);
      fed += stream.avail_in;
    }
    if (grow && used == out.size()) {
      out.resize(out.size() + out.size() / 2 + 4096);
    }
    stream.next_out = out.data() + used;
    stream.avail_out = grow ? out.size() - used : std::min(kStep, out.size() - used);
    const size_t room = stream.avail_out;
    const lzma_ret ret = lzma_code(&stream, fed == in.size() ? LZMA_FINISH : LZMA_RUN);
    used += room - stream.avail_out;
    if (progress) {
      progress(grow ? fed - stream.avail_in : used, grow ? in.size() : out.size());
    }
    if (ret == LZMA_STREAM_END) {
      break;
    }
    if (ret == LZMA_BUF_ERROR && !grow && used == out.size()) {
      throw LzmaError(std::string(what) + ": the stream holds more than its header's " +
                      std::to_string(out.size()) + " bytes");
    }
    if (ret != LZMA_OK && ret != LZMA_BUF_ERROR) {
      throw LzmaError(std::string(what) + " failed (liblzma status " + std::to_string(ret) + ")");
    }
    if (ret == LZMA_BUF_ERROR ||
        (fed == in.size() && stream.avail_in == 0 && stream.avail_out != 0)) {
      throw LzmaError(std::string(what) + ": the stream ends early");
    }
  }
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

std::vector<uint8_t> LzmaDecompress(std::span<const uint8_t> stream, uint64_t limit,
                                    const LzmaProgress& progress) {
  const LzmaHeader header = ReadLzmaHeader(stream);
  if (header.uncompressed_size == UINT64_MAX) {
    throw LzmaError("the LZMA header does not give the uncompressed size");
  }
  // The declared size is what gets allocated: it is checked first.
  if (header.uncompressed_size > limit) {
    throw LzmaError("the LZMA header declares " + std::to_string(header.uncompressed_size) +
                    " bytes, over the limit of " + std::to_string(limit));
  }
  lzma_options_lzma options{};
  lzma_filter filters[2] = {Filter(options, header, true), {LZMA_VLI_UNKNOWN, nullptr}};
  // No match reaches further back than the data itself: a dictionary larger
  // than that (the header may ask for 4 GiB) would only cost memory.
  options.dict_size = static_cast<uint32_t>(std::min<uint64_t>(
      options.dict_size, std::max<uint64_t>(header.uncompressed_size, LZMA_DICT_SIZE_MIN)));
  lzma_stream coder = LZMA_STREAM_INIT;
  if (lzma_raw_decoder(&coder, filters) != LZMA_OK) {
    throw LzmaError("liblzma refused the stream's properties");
  }
  std::vector<uint8_t> out(static_cast<size_t>(header.uncompressed_size));
  RunCoder(coder, stream.subspan(kLzmaHeaderSize), out, 0, false, "LZMA decompression", progress);
  if (out.size() != header.uncompressed_size) {
    throw LzmaError("the LZMA stream gave " + std::to_string(out.size()) + " bytes, its header " +
                    std::to_string(header.uncompressed_size));
  }
  return out;
}

std::vector<uint8_t> LzmaCompress(std::span<const uint8_t> data, const LzmaHeader& like,
                                  const LzmaProgress& progress) {
  lzma_options_lzma options{};
  if (lzma_lzma_preset(&options, 9) != 0) {
    throw LzmaError("liblzma has no preset 9");
  }
  LzmaHeader header = like;
  header.uncompressed_size = data.size();
  lzma_options_lzma chosen = options;
  lzma_filter filters[2] = {Filter(chosen, header, false), {LZMA_VLI_UNKNOWN, nullptr}};
  // The encoder needs about ten times its dictionary, and `like` comes from
  // the image (a header may ask for 1.5 GiB): no match reaches further back
  // than the data itself, so a larger dictionary would only cost memory.
  // The header still declares the original's.
  if (chosen.dict_size >= LZMA_DICT_SIZE_MIN) {
    chosen.dict_size = static_cast<uint32_t>(
        std::min<uint64_t>(chosen.dict_size, std::max<uint64_t>(data.size(), LZMA_DICT_SIZE_MIN)));
  }
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
  RunCoder(coder, data, out, kLzmaHeaderSize, true, "LZMA compression", progress);
  return out;
}

}  // namespace clockramp::fv
