// Packaging a PE32 image as a PEIM file of the firmware file system and a
// firmware volume holding it, laid out as the public UEFI PI specification
// (volume 3) lays out FFS files, file sections and FV headers.
//
// The PEIM file holds, in this order: a PEI dependency expression (PUSH the
// given PPI GUID, END), a raw pad section when the image body would otherwise
// not start at its alignment, the PE32 (or TE) section and a user-interface
// name.
// The volume is for flash with erase polarity 1: free space and erased state
// bits read 0xFF, so the file's state byte holds the inverted state bits.
#ifndef CLOCKRAMP_IMAGE_FVBUILDER_H_
#define CLOCKRAMP_IMAGE_FVBUILDER_H_

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace clockramp::fv {

struct Guid {
  uint32_t data1 = 0;
  uint16_t data2 = 0;
  uint16_t data3 = 0;
  std::array<uint8_t, 8> data4{};

  // "8C8CE578-8A3D-4F1C-9935-896185C32DD3"; anything else is std::invalid_argument.
  static Guid Parse(std::string_view text);
  [[nodiscard]] std::string ToString() const;
  // The 16 bytes as stored: the first three fields little-endian.
  [[nodiscard]] std::array<uint8_t, 16> Bytes() const;
  // The GUID stored in the first 16 bytes (the caller checks there are 16).
  static Guid FromBytes(std::span<const uint8_t> bytes);

  bool operator==(const Guid&) const = default;
};

// The module's file name in the firmware file system, fixed for good.
extern const Guid kClockRampFileGuid;
// The PCD PPI, which the module needs before it can run.
extern const Guid kPcdPpiGuid;
// EFI_FIRMWARE_FILE_SYSTEM2_GUID and EFI_FIRMWARE_FILE_SYSTEM3_GUID (which
// allows files and sections of 16 MiB and more).
extern const Guid kFirmwareFileSystem2Guid;
extern const Guid kFirmwareFileSystem3Guid;
// The GUID-defined section whose data is an LZMA stream (5 property bytes,
// the 64-bit uncompressed size, then the stream).
extern const Guid kLzmaSectionGuid;
// The PEI apriori file: a freeform file whose raw section lists the files the
// PEI Foundation dispatches first, in order.
extern const Guid kPeiAprioriFileGuid;

inline constexpr uint8_t kFileTypeRaw = 0x01;
inline constexpr uint8_t kFileTypeFreeform = 0x02;
inline constexpr uint8_t kFileTypeSecurityCore = 0x03;
inline constexpr uint8_t kFileTypePeiCore = 0x04;
inline constexpr uint8_t kFileTypePeim = 0x06;
inline constexpr uint8_t kFileTypeVolumeImage = 0x0B;
inline constexpr uint8_t kFileTypePad = 0xF0;

inline constexpr uint8_t kSectionCompression = 0x01;
inline constexpr uint8_t kSectionGuidDefined = 0x02;
inline constexpr uint8_t kSectionVolumeImage = 0x17;
inline constexpr uint8_t kSectionPe32 = 0x10;
inline constexpr uint8_t kSectionTe = 0x12;
inline constexpr uint8_t kSectionUserInterface = 0x15;
inline constexpr uint8_t kSectionRaw = 0x19;
inline constexpr uint8_t kSectionPeiDepex = 0x1B;

inline constexpr uint8_t kDepexPush = 0x02;
inline constexpr uint8_t kDepexEnd = 0x08;

inline constexpr uint8_t kFfsAttribLargeFile = 0x01;
inline constexpr uint8_t kFfsAttribDataAlignment2 = 0x02;
inline constexpr uint8_t kFfsAttribDataAlignment = 0x38;
inline constexpr uint8_t kFfsAttribChecksum = 0x40;
// The largest data alignment a file can ask for.
inline constexpr uint32_t kMaxFileDataAlignment = 1U << 24;
// GUID-defined section attributes.
inline constexpr uint16_t kGuidedProcessingRequired = 0x0001;
inline constexpr uint8_t kFixedFileChecksum = 0xAA;

// File state bits as written with erase polarity 0; with polarity 1 each is inverted.
inline constexpr uint8_t kFileHeaderConstruction = 0x01;
inline constexpr uint8_t kFileHeaderValid = 0x02;
inline constexpr uint8_t kFileDataValid = 0x04;
inline constexpr uint8_t kFileDeleted = 0x10;
// The state of a completely written file, as stored with erase polarity 1 or 0.
inline constexpr uint8_t kFileWrittenState =
    kFileHeaderConstruction | kFileHeaderValid | kFileDataValid;
uint8_t StoredState(uint8_t state, bool erase_polarity);

inline constexpr uint32_t kFfsFileHeaderSize = 24;
inline constexpr uint32_t kFfsLargeFileHeaderSize = 32;
inline constexpr uint32_t kSectionHeaderSize = 4;
inline constexpr uint32_t kLargeSectionHeaderSize = 8;
// The largest size a 24-bit size field holds; 0xFFFFFF in a section's size
// field means the 32-bit size follows the header.
inline constexpr uint32_t kMaxStandardSize = 0xFFFFFF;
inline constexpr uint32_t kFileAlignment = 8;
inline constexpr uint32_t kSectionAlignment = 4;
inline constexpr uint32_t kFvHeaderFixedSize = 56;

// Volume attributes (EFI_FVB2_*).
inline constexpr uint32_t kFvbReadEnabledCap = 0x00000002;
inline constexpr uint32_t kFvbReadStatus = 0x00000004;
inline constexpr uint32_t kFvbStickyWrite = 0x00000200;
inline constexpr uint32_t kFvbMemoryMapped = 0x00000400;
inline constexpr uint32_t kFvbErasePolarity = 0x00000800;
inline constexpr uint32_t kFvbAlignment8 = 0x00030000;
// The volume's own alignment, as a power of two in bits 20:16, and the bit
// that says the files' alignments need not be within it.
inline constexpr uint32_t kFvbAlignmentMask = 0x001F0000;
inline constexpr uint32_t kFvbWeakAlignment = 0x80000000;
// A flash volume that is read in place: readable, memory-mapped, erased
// bits read 1, a cleared bit cannot be set again without an erase, files
// aligned to 8 bytes.
inline constexpr uint32_t kFlashVolumeAttributes = kFvbReadEnabledCap | kFvbReadStatus |
                                                   kFvbStickyWrite | kFvbMemoryMapped |
                                                   kFvbErasePolarity | kFvbAlignment8;

// 8- and 16-bit sums, modulo 2^8 and 2^16 (16-bit words little-endian).
uint8_t Sum8(std::span<const uint8_t> bytes);
uint16_t Sum16(std::span<const uint8_t> bytes);

// "0x1A2B", for messages.
std::string Hex(uint64_t value);

// Rounds up to a multiple of a power of two.
uint64_t AlignUp(uint64_t value, uint64_t alignment);

// The data-alignment bits of a file's attributes (FFS_ATTRIB_DATA_ALIGNMENT
// and FFS_ATTRIB_DATA_ALIGNMENT_2) for the smallest alignment a file can
// declare that is at least `alignment` (a power of two): none up to 8, which
// every file has, then 16, 128, 512, 1 KiB, 4 KiB, 32 KiB, 64 KiB, 128 KiB ...
// 16 MiB. Throws std::invalid_argument for anything else.
uint8_t DataAlignmentAttributes(uint32_t alignment);
// The alignment of a file's data (the bytes after its header) that its
// attributes declare: 1 when they declare none.
uint32_t FileDataAlignment(uint8_t attributes);

// One section: its 4-byte header (24-bit size including the header, type) and body.
std::vector<uint8_t> BuildSection(uint8_t type, std::span<const uint8_t> body);
// The same, but a section of 0xFFFFFF bytes or more gets the extended
// header: 0xFFFFFF in the size field, then the 32-bit size. `header_fields`
// are the type's own header fields (a GUID-defined section's GUID, data
// offset and attributes), which follow the common header.
std::vector<uint8_t> BuildAnySizeSection(uint8_t type, std::span<const uint8_t> header_fields,
                                         std::span<const uint8_t> body);
// A GUID-defined section: definition GUID, data offset (the header size),
// attributes, then the data.
std::vector<uint8_t> BuildGuidDefinedSection(const Guid& definition, uint16_t attributes,
                                             std::span<const uint8_t> data);
// A PEI dependency expression that requires one PPI: PUSH guid, END.
std::vector<uint8_t> BuildDepexRequiring(const Guid& ppi);
// A NUL-terminated UTF-16LE string of an ASCII name.
std::vector<uint8_t> Utf16Name(std::string_view ascii);

struct PeimOptions {
  Guid file_guid = kClockRampFileGuid;
  Guid required_ppi = kPcdPpiGuid;
  std::string ui_name = "ClockRamp";
  // The image section: kSectionPe32, or kSectionTe for the stripped form.
  uint8_t image_section_type = kSectionPe32;
  // Alignment of the image body from the start of the file's data (a power
  // of two up to 16 MiB), and how far past such a boundary the body starts.
  // Files in a volume are 8-byte aligned; beyond 8 the file declares the
  // alignment its data needs (DataAlignmentAttributes), and a volume places
  // it there. A TE body starts StrippedSize - 40 bytes after its image's
  // (aligned) base.
  uint32_t body_alignment = 8;
  uint32_t body_skew = 0;
  // The erase polarity of the volume the file goes into (its state byte).
  bool erase_polarity = true;
};

// A file: header (name, type, attributes, 24-bit size, or the large-file
// header when `attributes` has kFfsAttribLargeFile), its checksums and the
// state of a completely written file for the erase polarity, then `data`.
// The data checksum is real when the attributes ask for it, else 0xAA.
// Throws std::invalid_argument when a standard header cannot hold the size.
std::vector<uint8_t> BuildFile(const Guid& name, uint8_t type, uint8_t attributes,
                               std::span<const uint8_t> data, bool erase_polarity = true);
// Sets the size field and both checksums of a file whose header and data are
// in place (the state byte is kept). Throws std::invalid_argument when a
// standard header cannot hold the size.
void SealFile(std::vector<uint8_t>& file);
// A pad file of `size` bytes (at least a header): no name (all 0xFF), no
// checksum attribute, data of the erased value.
std::vector<uint8_t> BuildPadFile(uint32_t size, bool erase_polarity = true);
// The PEI apriori file listing `files` in dispatch order.
std::vector<uint8_t> BuildAprioriFile(const std::vector<Guid>& files, bool erase_polarity = true);

// An EFI_FV_FILETYPE_PEIM file with header and data checksums (the data
// checksum attribute set) and the state of a completely written file for
// the options' erase polarity. Throws std::invalid_argument when the file would not fit
// the 24-bit size of a standard file header.
std::vector<uint8_t> BuildPeimFile(std::span<const uint8_t> image, const PeimOptions& options = {});

struct VolumeOptions {
  uint32_t block_size = 0x1000;  // the flash erase block
  uint32_t attributes = kFlashVolumeAttributes;
  // The volume is at least this long (rounded up to whole blocks).
  uint32_t min_length = 0;
  Guid file_system = kFirmwareFileSystem2Guid;
  // A name in an extended header after the block map; none when unset.
  std::optional<Guid> name;
};

// A volume of the firmware file system 2 holding the files in order, each at
// an 8-byte boundary and its data at the alignment its attributes declare (a
// pad file before it where needed), its length the smallest whole number of
// blocks (and at least min_length), the rest free space (the erased value),
// with a block map ended by a zero entry, an extended header when named, and
// a header checksum. The volume's own alignment is raised to its files'
// largest unless the attributes say it is weak.
std::vector<uint8_t> BuildFirmwareVolume(const std::vector<std::vector<uint8_t>>& files,
                                         const VolumeOptions& options = {});

// Where BuildPeimFile puts the image body, from the start of the file.
uint32_t ImageBodyOffset(const PeimOptions& options = {});
// The dependency expression section's body that BuildPeimFile writes.
std::vector<uint8_t> PeimDepex(const PeimOptions& options = {});

}  // namespace clockramp::fv

#endif  // CLOCKRAMP_IMAGE_FVBUILDER_H_
