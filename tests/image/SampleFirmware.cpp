#include "SampleFirmware.h"

#include <numeric>

#include "image/Lzma.h"

namespace clockramp::testing {

const fv::Guid kMainVolumeName = fv::Guid::Parse("11111111-2222-3333-4444-555555555501");
const fv::Guid kPeiVolumeName = fv::Guid::Parse("11111111-2222-3333-4444-555555555502");
const fv::Guid kDxeVolumeName = fv::Guid::Parse("11111111-2222-3333-4444-555555555503");
const fv::Guid kSecVolumeName = fv::Guid::Parse("11111111-2222-3333-4444-555555555504");
const fv::Guid kPeiCoreName = fv::Guid::Parse("11111111-2222-3333-4444-5555555555C0");
const fv::Guid kOtherPeimName = fv::Guid::Parse("11111111-2222-3333-4444-5555555555C1");
const fv::Guid kVariableVolumeName = fv::Guid::Parse("11111111-2222-3333-4444-555555555505");

namespace {

const fv::Guid kMainFileName = fv::Guid::Parse("11111111-2222-3333-4444-5555555555F0");
const fv::Guid kSecCoreName = fv::Guid::Parse("11111111-2222-3333-4444-5555555555F1");
const fv::Guid kDriverName = fv::Guid::Parse("11111111-2222-3333-4444-5555555555F2");

std::vector<uint8_t> Pattern(size_t size, uint8_t seed) {
  std::vector<uint8_t> bytes(size);
  std::iota(bytes.begin(), bytes.end(), seed);
  return bytes;
}

// A file of one type holding a leaf section of patterned bytes.
std::vector<uint8_t> LeafFile(const fv::Guid& name, uint8_t type, size_t size, uint8_t seed) {
  return fv::BuildFile(name, type, fv::kFfsAttribChecksum,
                       fv::BuildSection(fv::kSectionPe32, Pattern(size, seed)));
}

void Append(std::vector<uint8_t>& out, const std::vector<uint8_t>& bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}

}  // namespace

Sample BuildSample(const SampleOptions& options) {
  Sample sample;
  std::vector<std::vector<uint8_t>> pei_files = {fv::BuildAprioriFile({kOtherPeimName})};
  if (options.pad_after_apriori) {
    pei_files.push_back(fv::BuildPadFile(0x40));
  }
  pei_files.push_back(LeafFile(kPeiCoreName, fv::kFileTypePeiCore, 0x300, 1));
  pei_files.push_back(LeafFile(kOtherPeimName, fv::kFileTypePeim, 0x123, 2));
  if (options.filler != 0) {
    pei_files.push_back(LeafFile(fv::Guid::Parse("11111111-2222-3333-4444-5555555555C2"),
                                 fv::kFileTypePeim, options.filler, 5));
  }
  fv::VolumeOptions pei;
  pei.name = kPeiVolumeName;
  pei.min_length = options.pei_volume_length;
  sample.pei_volume = fv::BuildFirmwareVolume(pei_files, pei);

  fv::VolumeOptions dxe;
  dxe.name = kDxeVolumeName;
  sample.dxe_volume = fv::BuildFirmwareVolume({LeafFile(kDriverName, 0x07, 0x400, 3)}, dxe);

  // A raw section first, so that the PEI volume does not start the stream.
  std::vector<uint8_t> stream = fv::BuildSection(fv::kSectionRaw, Pattern(8, 9));
  Append(stream, fv::BuildSection(fv::kSectionVolumeImage, sample.pei_volume));
  stream.resize(fv::AlignUp(stream.size(), fv::kSectionAlignment), 0);
  Append(stream, fv::BuildSection(fv::kSectionVolumeImage, sample.dxe_volume));
  const std::vector<uint8_t> section =
      options.compressed
          ? fv::BuildGuidDefinedSection(fv::kLzmaSectionGuid, fv::kGuidedProcessingRequired,
                                        fv::LzmaCompress(stream))
          : fv::BuildGuidDefinedSection(fv::kLzmaSectionGuid, 0, stream);
  std::vector<std::vector<uint8_t>> main_files = {
      fv::BuildFile(kMainFileName, fv::kFileTypeVolumeImage, fv::kFfsAttribChecksum, section)};
  if (options.variable_volume) {
    fv::VolumeOptions variables;
    variables.name = kVariableVolumeName;
    variables.file_system = fv::Guid::Parse("FFF12B8D-7696-4C8B-A985-2747075B4F50");
    main_files.push_back(fv::BuildFile(
        fv::Guid::Parse("11111111-2222-3333-4444-5555555555F3"), fv::kFileTypeVolumeImage,
        fv::kFfsAttribChecksum,
        fv::BuildSection(fv::kSectionVolumeImage, fv::BuildFirmwareVolume({}, variables))));
  }
  fv::VolumeOptions main;
  main.name = kMainVolumeName;
  main.min_length = 0x40000;
  sample.image = fv::BuildFirmwareVolume(main_files, main);
  sample.main_length = static_cast<uint32_t>(sample.image.size());

  fv::VolumeOptions sec;
  sec.name = kSecVolumeName;
  Append(sample.image, fv::BuildFirmwareVolume(
                           {LeafFile(kSecCoreName, fv::kFileTypeSecurityCore, 0x200, 4)}, sec));
  return sample;
}

namespace {

// A volume of whole 8-byte blocks: as long as its contents need.
fv::VolumeOptions EightByteBlocks() {
  fv::VolumeOptions options;
  options.block_size = 8;
  return options;
}

void Put(std::vector<uint8_t>& bytes, size_t at, uint64_t value, unsigned width) {
  for (unsigned i = 0; i < width; ++i) {
    bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

// Makes the first `length` bytes of a volume sum to 0 in 16-bit words.
void SealVolumeHeader(std::vector<uint8_t>& bytes, size_t at, size_t length) {
  Put(bytes, at + 50, 0, 2);
  const uint16_t sum = fv::Sum16(std::span(bytes).subspan(at, length));
  Put(bytes, at + 50, static_cast<uint16_t>(-sum), 2);
}

}  // namespace

std::vector<uint8_t> NestedVolumes(size_t levels) {
  // A level: volume header, file header, section header, the next level,
  // erased bytes to the next 8-byte boundary.
  const std::vector<uint8_t> volume = fv::BuildFirmwareVolume({}, EightByteBlocks());
  const std::vector<uint8_t> file = fv::BuildFile(kMainFileName, fv::kFileTypeVolumeImage, 0, {});
  const size_t prefix = volume.size() + file.size() + fv::kSectionHeaderSize;
  std::vector<uint64_t> size(levels + 1, volume.size());  // the innermost volume is empty
  for (size_t i = levels; i-- > 0;) {
    size[i] = fv::AlignUp(prefix + size[i + 1], fv::kFileAlignment);
  }
  std::vector<uint8_t> image(size[0], 0xFF);
  for (size_t i = 0; i <= levels; ++i) {
    const size_t at = i * prefix;
    std::copy(volume.begin(), volume.end(), image.begin() + static_cast<std::ptrdiff_t>(at));
    Put(image, at + 32, size[i], 8);      // FvLength
    Put(image, at + 56, size[i] / 8, 4);  // the block map: that many 8-byte blocks
    SealVolumeHeader(image, at, volume.size());
    if (i == levels) {
      break;
    }
    const size_t f = at + volume.size();
    std::copy(file.begin(), file.end(), image.begin() + static_cast<std::ptrdiff_t>(f));
    const uint64_t section = fv::kSectionHeaderSize + size[i + 1];
    Put(image, f + 20, file.size() + section, 3);
    image[f + 16] = 0;
    image[f + 16] = static_cast<uint8_t>(
        -(fv::Sum8(std::span(image).subspan(f, file.size())) - image[f + 17] - image[f + 23]));
    Put(image, f + file.size(), section, 3);
    image[f + file.size() + 3] = fv::kSectionVolumeImage;
  }
  return image;
}

std::vector<uint8_t> LzmaClaim(uint64_t declared) {
  std::vector<uint8_t> stream(fv::kLzmaHeaderSize + 3, 0);
  stream[0] = 0x5D;
  Put(stream, 1, 1U << 23, 4);
  Put(stream, 5, declared, 8);
  const std::vector<uint8_t> section =
      fv::BuildGuidDefinedSection(fv::kLzmaSectionGuid, fv::kGuidedProcessingRequired, stream);
  return fv::BuildFirmwareVolume(
      {fv::BuildFile(kMainFileName, fv::kFileTypeFreeform, fv::kFfsAttribChecksum, section)},
      EightByteBlocks());
}

std::vector<uint8_t> WideHeaderVolume() {
  fv::VolumeOptions options;
  options.min_length = 0x10000;
  options.name = kPeiVolumeName;
  std::vector<uint8_t> volume =
      fv::BuildFirmwareVolume({LeafFile(kPeiCoreName, fv::kFileTypePeiCore, 0x100, 3)}, options);
  constexpr size_t kClaimed = 0xFFFE;
  Put(volume, 48, kClaimed, 2);
  SealVolumeHeader(volume, 0, kClaimed);
  return volume;
}

}  // namespace clockramp::testing
