// The PE32 and TE readers and what the tools do with an image they were
// given (`clockramp-fv package` and `insert --efi`, `run --engine ia32
// --image`): the checks package and insert run, the TE form read back,
// the rebase and the loader. An input that starts with "VZ" is read as a TE
// image, anything else as a PE image. Each step may refuse the image with
// PeFormatError, and a check may fail, in one printable line; anything else
// that escapes, and any fault AddressSanitizer or UndefinedBehaviorSanitizer
// sees, is a finding.
//
// The loader runs only for images of at most 1 MiB in memory: it lays out
// SizeOfImage bytes, and the emulator refuses an image larger than its
// 1 MiB flash window before loading it.
#include <optional>
#include <vector>

#include "fuzz/readers/ReaderTarget.h"
#include "image/ImageChecks.h"
#include "image/PeImage.h"
#include "image/Rebase.h"
#include "image/TeImage.h"

namespace clockramp::fuzz {
namespace {

namespace pe = clockramp::pe;

constexpr uint32_t kMaxLoadedSize = 1U << 20;
constexpr uint32_t kFlashBase = 0xFFF00000;  // a base insert rebases flash PEIMs near

// The steps after parsing, each as the tools take it.
void UseImage(const pe::PeImage& image) {
  for (const image::CheckResult& r : image::CheckPeimImage(image)) {
    if (!r.passed) {
      CheckMessage(r.name + ": " + r.detail);
    }
  }
  try {
    pe::ParseTeHeader(pe::BuildTeImage(image));
  } catch (const pe::PeFormatError& e) {
    // No TE form: not PE32, too many sections, or a section in the headers.
    CheckMessage(e.what());
  }
  const uint32_t alignment = image.headers().section_alignment;
  try {
    pe::RebaseImage(image, alignment == 0 ? kFlashBase : kFlashBase / alignment * alignment);
  } catch (const pe::PeFormatError& e) {
    // Not PE32, or a relocation it cannot apply.
    CheckMessage(e.what());
  }
  if (image.headers().size_of_image <= kMaxLoadedSize) {
    static_cast<void>(image.Load(kFlashBase));
  }
}

}  // namespace

CLOCKRAMP_READER_TARGET(FuzzPeImage) {
  std::vector<uint8_t> bytes(data.begin(), data.end());
  try {
    if (bytes.size() >= 2 && bytes[0] == 'V' && bytes[1] == 'Z') {
      pe::ParseTeHeader(bytes);
      return;
    }
    UseImage(pe::PeImage::Parse(std::move(bytes)));
  } catch (const pe::PeFormatError& e) {
    CheckMessage(e.what());
  }
}

}  // namespace clockramp::fuzz
