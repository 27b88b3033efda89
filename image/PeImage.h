// A reader of PE32 (and, for telling them apart, PE32+) images: the headers,
// the section table, the base relocations, and a loader that lays the image
// out at an address and applies its relocations. Everything is parsed from a
// byte vector with every offset checked against its size; a malformed image,
// or a relocation kind this reader does not know, is a PeFormatError.
#ifndef CLOCKRAMP_IMAGE_PEIMAGE_H_
#define CLOCKRAMP_IMAGE_PEIMAGE_H_

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace clockramp::pe {

class PeFormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr uint16_t kMachineI386 = 0x014C;
inline constexpr uint16_t kMagicPe32 = 0x010B;
inline constexpr uint16_t kMagicPe32Plus = 0x020B;
inline constexpr uint16_t kSubsystemEfiApplication = 10;
inline constexpr uint16_t kSubsystemEfiBootServiceDriver = 11;

// Section characteristics.
inline constexpr uint32_t kSectionCode = 0x00000020;
inline constexpr uint32_t kSectionInitializedData = 0x00000040;
inline constexpr uint32_t kSectionUninitializedData = 0x00000080;
inline constexpr uint32_t kSectionExecute = 0x20000000;
inline constexpr uint32_t kSectionRead = 0x40000000;
inline constexpr uint32_t kSectionWrite = 0x80000000;

// Indices in the data directory.
enum DataDirectoryIndex : uint32_t {
  kExportDirectory = 0,
  kImportDirectory = 1,
  kBaseRelocationDirectory = 5,
  kImportAddressTableDirectory = 12,
  kDelayImportDirectory = 13,
};

// The base relocation kinds this reader accepts. ABSOLUTE entries only pad a
// block; HIGHLOW adds the load delta to a 32-bit word, DIR64 to a 64-bit one.
enum class RelocationType : uint8_t {
  kAbsolute = 0,
  kHighLow = 3,
  kDir64 = 10,
};

const char* RelocationTypeName(RelocationType type);

struct DataDirectory {
  uint32_t rva = 0;
  uint32_t size = 0;
};

struct Section {
  std::string name;  // as stored, with any byte that is not printable escaped
  uint32_t virtual_size = 0;
  uint32_t virtual_address = 0;
  uint32_t raw_size = 0;
  uint32_t raw_offset = 0;
  uint32_t characteristics = 0;

  [[nodiscard]] bool Writable() const { return (characteristics & kSectionWrite) != 0; }
  [[nodiscard]] bool Executable() const { return (characteristics & kSectionExecute) != 0; }
};

struct BaseRelocation {
  uint32_t rva = 0;  // of the patched word
  RelocationType type = RelocationType::kAbsolute;
};

struct Headers {
  uint16_t machine = 0;
  uint16_t number_of_sections = 0;
  uint32_t time_date_stamp = 0;
  uint16_t characteristics = 0;
  uint16_t magic = 0;
  uint32_t size_of_code = 0;
  uint32_t entry_point = 0;  // RVA
  uint32_t base_of_code = 0;
  uint64_t image_base = 0;
  uint32_t section_alignment = 0;
  uint32_t file_alignment = 0;
  uint32_t size_of_image = 0;
  uint32_t size_of_headers = 0;
  uint16_t subsystem = 0;
  uint16_t dll_characteristics = 0;
  std::vector<DataDirectory> data_directories;
};

class PeImage {
 public:
  // Parses an image; throws PeFormatError naming what is wrong and where.
  static PeImage Parse(std::vector<uint8_t> bytes);
  // Reads a file (at most files::kModuleFileLimit bytes) and parses it; an
  // unreadable, overlong or folder path is a files::InputError naming it.
  static PeImage ReadFile(const std::string& path);

  [[nodiscard]] const Headers& headers() const { return headers_; }
  [[nodiscard]] const std::vector<Section>& sections() const { return sections_; }
  // Every relocation that patches a word, in table order (ABSOLUTE padding
  // is counted in absolute_relocations() but not listed).
  [[nodiscard]] const std::vector<BaseRelocation>& relocations() const { return relocations_; }
  [[nodiscard]] size_t absolute_relocations() const { return absolute_relocations_; }
  [[nodiscard]] const std::vector<uint8_t>& bytes() const { return bytes_; }

  [[nodiscard]] bool IsPe32() const { return headers_.magic == kMagicPe32; }
  [[nodiscard]] DataDirectory Directory(uint32_t index) const;
  [[nodiscard]] const Section* FindSection(const std::string& name) const;
  // The file offset of an RVA, if it lies in the headers or in a section's raw data.
  [[nodiscard]] std::optional<uint32_t> RvaToOffset(uint32_t rva) const;

  // The image as it is in memory at load_address: SizeOfImage bytes, headers
  // and sections at their RVAs, the rest zero, every relocation applied for
  // the difference between load_address and the preferred base.
  [[nodiscard]] std::vector<uint8_t> Load(uint64_t load_address) const;

 private:
  PeImage() = default;
  void ParseHeaders();
  void ParseSections(uint32_t table_offset);
  void ParseRelocations();

  std::vector<uint8_t> bytes_;
  Headers headers_;
  std::vector<Section> sections_;
  std::vector<BaseRelocation> relocations_;
  size_t absolute_relocations_ = 0;
};

// Why the image cannot run where it lies in a firmware volume, or nullopt
// when it can. A PEI core that dispatches a PEIM before memory leaves the
// image in the volume: it zero-fills each section's memory beyond its file
// bytes and applies relocations right there, so the image's memory must be
// its file bytes. Every section must lie at the file offset equal to its RVA
// and hold as many bytes in the file as in memory (an uninitialised tail
// such as .bss would be zeroed over whatever follows the image), and
// SizeOfImage must not reach past the file.
std::optional<std::string> InPlaceFault(const PeImage& image);

}  // namespace clockramp::pe

#endif  // CLOCKRAMP_IMAGE_PEIMAGE_H_
