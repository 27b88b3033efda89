// Rebasing a PE32 image at packaging time, as a firmware build does for code
// that runs in place: every HIGHLOW relocation gets the difference between
// the new and the old ImageBase added, and ImageBase becomes the new base.
// The relocation table stays, so a loader that copies the image elsewhere
// can still move it.
#ifndef CLOCKRAMP_IMAGE_REBASE_H_
#define CLOCKRAMP_IMAGE_REBASE_H_

#include <cstdint>
#include <vector>

#include "image/PeImage.h"

namespace clockramp::pe {

// The image's file bytes rebased to `new_base`. Throws PeFormatError for an
// image that is not PE32, has a DIR64 relocation, a relocation outside its
// raw data, or when `new_base` is not a multiple of SectionAlignment.
std::vector<uint8_t> RebaseImage(const PeImage& image, uint32_t new_base);

}  // namespace clockramp::pe

#endif  // CLOCKRAMP_IMAGE_REBASE_H_
