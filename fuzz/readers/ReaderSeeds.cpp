// The reader targets' table and their seed corpora, made from the project's
// own files. Each seed is a file a user could hand the tool: the scenarios
// and board data of tests/, the golden VCD files, the module's image in
// every packaging (PE32, TE, firmware file, volumes nested and compressed
// the ways firmware images nest them), Debian's OVMF volumes, and what the
// module does on each scenario's board, as a register dump, a variable
// file, a logic-analyzer capture and the helper PEIM's scenario file.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "BuildPaths.h"
#include "board/Board.h"
#include "board/NativeEngine.h"
#include "fuzz/readers/ReaderTargets.h"
#include "image/FirmwareWalk.h"
#include "image/FvBuilder.h"
#include "image/Lzma.h"
#include "image/PeImage.h"
#include "image/TeImage.h"
#include "qemu/Firmware.h"
#include "qemu/QemuRun.h"
#include "qemu/ScenarioBlob.h"
#include "tools/EfiVariableFile.h"
#include "tools/I2cDump.h"
#include "tools/Scenario.h"
#include "tools/SmbusWire.h"

namespace clockramp::fuzz {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

constexpr size_t kKiB = 1024;
constexpr size_t kQemuMaxFailures = 16;  // what the helper PEIM keeps

constexpr ReaderTarget kTargets[] = {
    {"firmware_walk", FuzzFirmwareWalk, 256 * kKiB},
    {"pe_image", FuzzPeImage, 64 * kKiB},
    {"scenario", FuzzScenario, 16 * kKiB},
    {"i2cdump", FuzzI2cDump, 8 * kKiB},
    {"efivarfs", FuzzEfiVariable, 8 * kKiB},
    {"capture", FuzzCapture, 64 * kKiB},
    {"vcd", FuzzVcd, 32 * kKiB},
    {"qemu_trace", FuzzQemuTrace, 64 * kKiB},
    {"scenario_peim", FuzzScenarioPeim, 4 * kKiB},
};

Bytes ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

Bytes AsBytes(std::string_view text) { return {text.begin(), text.end()}; }

// One target's seeds, each written once, none longer than the target takes.
class SeedSet {
 public:
  SeedSet(const fs::path& dir, const ReaderTarget& target)
      : dir_(dir / target.name), max_(target.maxLen) {
    fs::create_directories(dir_);
  }
  void Add(const std::string& name, const Bytes& bytes) {
    if (bytes.size() > max_ || !seen_.insert(bytes).second) {
      return;
    }
    std::string file;
    for (char c : name) {
      file += std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '.' ? c : '_';
    }
    std::ofstream(dir_ / file, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }
  [[nodiscard]] size_t Count() const { return seen_.size(); }

 private:
  fs::path dir_;
  size_t max_;
  std::set<Bytes> seen_;
};

struct NamedScenario {
  std::string name;
  Bytes text;
  std::optional<board::BoardConfig> config;  // none for a scenario made to be refused
};

// Every scenario file of the tests.
std::vector<NamedScenario> Scenarios() {
  std::vector<NamedScenario> out;
  for (const char* folder : {"tests/scenarios", "tests/qemu/scenarios", "tests/golden/inputs"}) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(fs::path(CLOCKRAMP_SOURCE_DIR) / folder)) {
      if (entry.path().extension() == ".json") {
        files.push_back(entry.path());
      }
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) {
      NamedScenario s{std::string(folder).substr(std::string_view("tests/").size()) + "-" +
                          file.stem().string(),
                      ReadBytes(file), std::nullopt};
      try {
        s.config = tool::LoadScenario(file.string()).config;
      } catch (const tool::ScenarioError&) {
        // Its text is still a seed.
      }
      out.push_back(std::move(s));
    }
  }
  return out;
}

// ---- firmware images ----

namespace fv = clockramp::fv;

const fv::Guid kSeedFileGuid = fv::Guid::Parse("2F1C3B6A-8E0D-4F57-9A41-6C2D0E7B5A93");
const fv::Guid kSeedVolumeName = fv::Guid::Parse("7D4E2A91-3C5B-4A08-B6F2-1E9D8C0A4B57");
const fv::Guid kSeedPeiCoreGuid = fv::Guid::Parse("52C05B14-0B98-496C-BC3B-04B50211D680");

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) {
    out.insert(out.end(), p.begin(), p.end());
  }
  return out;
}

fv::VolumeOptions SmallBlocks() {
  fv::VolumeOptions options;
  options.block_size = 0x200;
  return options;
}

Bytes Volume(const std::vector<Bytes>& files, fv::VolumeOptions options = SmallBlocks()) {
  return fv::BuildFirmwareVolume(files, options);
}

// A firmware volume file holding a volume image section of `inner`.
Bytes VolumeFile(std::span<const uint8_t> sections) {
  return fv::BuildFile(kSeedFileGuid, fv::kFileTypeVolumeImage, 0, sections);
}

void FirmwareSeeds(SeedSet& seeds, const Bytes& efi) {
  const pe::PeImage image = pe::PeImage::Parse(efi);
  const Bytes ffs = fv::BuildPeimFile(efi);
  fv::PeimOptions te_options;
  te_options.image_section_type = fv::kSectionTe;
  const Bytes te = pe::BuildTeImage(image);
  te_options.body_alignment = image.headers().section_alignment;
  te_options.body_skew =
      (pe::ParseTeHeader(te).stripped_size - pe::kTeHeaderSize) % te_options.body_alignment;
  const Bytes te_ffs = fv::BuildPeimFile(te, te_options);
  const Bytes apriori = fv::BuildAprioriFile({fv::kClockRampFileGuid});

  const Bytes plain = Volume({ffs});
  seeds.Add("peim.fv", plain);
  seeds.Add("peim.ffs", ffs);
  seeds.Add("te-peim.fv", Volume({te_ffs}));
  fv::VolumeOptions named = SmallBlocks();
  named.name = kSeedVolumeName;
  seeds.Add("apriori-pad-named.fv", Volume({apriori, fv::BuildPadFile(64), ffs}, named));

  // Nesting as firmware images nest: a volume image section, inside a
  // GUID-defined section that needs no processing, inside a compression
  // section that stores its data uncompressed, and under LZMA.
  const Bytes volume_section = fv::BuildSection(fv::kSectionVolumeImage, plain);
  seeds.Add("nested.fv", Volume({VolumeFile(volume_section)}));
  const Bytes guided = fv::BuildGuidDefinedSection(kSeedVolumeName, 0, volume_section);
  Bytes stored{0, 0, 0, 0, 0};  // uncompressed length, then type 0: not compressed
  for (unsigned i = 0; i < 4; ++i) {
    stored[i] = static_cast<uint8_t>(guided.size() >> (8 * i));
  }
  seeds.Add(
      "stored-guided-nested.fv",
      Volume({VolumeFile(fv::BuildSection(fv::kSectionCompression, Concat({stored, guided})))}));
  const Bytes lzma = fv::BuildGuidDefinedSection(
      fv::kLzmaSectionGuid, fv::kGuidedProcessingRequired, fv::LzmaCompress(volume_section));
  const Bytes compressed = Volume({VolumeFile(lzma)});
  seeds.Add("lzma-nested.fv", compressed);
  // A PEI volume that the firmware decompresses to RAM, as OVMF's: insert
  // puts the file into it and compresses the volume again.
  const Bytes pei_core = fv::BuildFile(kSeedPeiCoreGuid, fv::kFileTypePeiCore, 0,
                                       fv::BuildSection(fv::kSectionRaw, Bytes(16, 0x90)));
  const Bytes pei_volume = fv::BuildSection(fv::kSectionVolumeImage, Volume({pei_core, ffs}));
  seeds.Add(
      "lzma-pei-volume.fv",
      Volume({VolumeFile(fv::BuildGuidDefinedSection(
          fv::kLzmaSectionGuid, fv::kGuidedProcessingRequired, fv::LzmaCompress(pei_volume)))}));
  // Two volumes in one image, after bytes that are none.
  seeds.Add("two-volumes.fd", Concat({Bytes(64, 0xFF), compressed, plain}));

  // The other file system and erase polarity: a large file in FFS3, and
  // flash that erases to 0.
  fv::VolumeOptions ffs3 = SmallBlocks();
  ffs3.file_system = fv::kFirmwareFileSystem3Guid;
  seeds.Add(
      "ffs3-large-file.fv",
      Volume({fv::BuildFile(kSeedFileGuid, fv::kFileTypeRaw, fv::kFfsAttribLargeFile, efi)}, ffs3));
  fv::VolumeOptions zero = SmallBlocks();
  zero.attributes &= ~fv::kFvbErasePolarity;
  fv::PeimOptions zero_peim;
  zero_peim.erase_polarity = false;
  seeds.Add("erase-polarity-0.fv", Volume({fv::BuildPeimFile(efi, zero_peim)}, zero));
}

// A volume cut after its last file: a firmware volume is mostly free space,
// and the files are what the walk reads. The length field and the header
// checksum follow the cut.
Bytes CutVolume(Bytes volume, const fv::Node& node) {
  const uint64_t length = fv::AlignUp(std::max<uint64_t>(node.free_offset, node.header_size), 8);
  if (length >= volume.size()) {
    return volume;
  }
  volume.resize(length);
  for (unsigned i = 0; i < 8; ++i) {
    volume[32 + i] = static_cast<uint8_t>(length >> (8 * i));
  }
  const size_t header = volume[48] | (volume[49] << 8);
  volume[50] = volume[51] = 0;
  const uint16_t sum = fv::Sum16(std::span(volume).first(header));
  const auto checksum = static_cast<uint16_t>(0x10000 - sum);
  volume[50] = static_cast<uint8_t>(checksum);
  volume[51] = static_cast<uint8_t>(checksum >> 8);
  return volume;
}

// The volumes of Debian's OVMF, each by itself (the decompressed ones too),
// cut after their last file.
void OvmfSeeds(SeedSet& seeds) {
  if (!fs::exists(qemu::kOvmfCode)) {
    return;
  }
  const Bytes firmware = ReadBytes(qemu::kOvmfCode);
  const fv::Node root = fv::WalkImage(firmware);
  size_t n = 0;
  for (const fv::NodePath& path : fv::Volumes(root)) {
    seeds.Add("ovmf-volume-" + std::to_string(n++),
              CutVolume(fv::NodeBytes(root, firmware, path), fv::At(root, path)));
  }
}

// ---- PE32 and TE images ----

void ImageSeeds(SeedSet& seeds) {
  for (const char* path :
       {CLOCKRAMP_MODULE_IMAGE, CLOCKRAMP_SCENARIO_PEIM_IMAGE, CLOCKRAMP_EXIT_PEIM_IMAGE}) {
    const Bytes efi = ReadBytes(path);
    const std::string name = fs::path(path).stem().string();
    seeds.Add(name + ".efi", efi);
    seeds.Add(name + ".te", pe::BuildTeImage(pe::PeImage::Parse(efi)));
  }
}

// ---- what the module does on each board ----

tool::RegisterDump DumpOfConfig(const board::BoardConfig& config) {
  tool::RegisterDump dump;
  for (size_t i = 0; i < dump.size(); ++i) {
    dump[i].state = config.clockGeneratorUnreadable[i] ? tool::DumpedRegister::State::Unreadable
                                                       : tool::DumpedRegister::State::Value;
    dump[i].value = config.clockGenerator[i];
  }
  return dump;
}

// A variable file under its file name, as the efivarfs target takes it: the
// name's length, the name, the file.
Bytes NamedFile(const std::string& name, const Bytes& file) {
  Bytes out(1 + name.size());
  out[0] = static_cast<uint8_t>(name.size());
  std::copy(name.begin(), name.end(), out.begin() + 1);
  out.insert(out.end(), file.begin(), file.end());
  return out;
}

Bytes NamedVariableFile(const tool::VariableId& id, uint32_t attributes, const Bytes& data) {
  return NamedFile(id.name + "-" + id.guid.ToString(),
                   tool::EncodeEfiVariableFile({attributes, data}));
}

// sigrok's I2C decoder lines for the module's transactions.
std::string Annotations(const std::vector<tool::SmbusTransfer>& transfers) {
  std::string text;
  auto line = [&](const std::string& annotation) { text += "i2c-1: " + annotation + "\n"; };
  for (const tool::SmbusTransfer& t : transfers) {
    for (const tool::WireSymbol& s : tool::WireSymbols(t)) {
      switch (s.kind) {
        case tool::WireSymbol::Kind::Start:
          line("Start");
          break;
        case tool::WireSymbol::Kind::RepeatedStart:
          line("Start repeat");
          break;
        case tool::WireSymbol::Kind::Stop:
          line("Stop");
          break;
        case tool::WireSymbol::Kind::Byte: {
          for (int bit = 0; bit < 8; ++bit) {
            line((s.value >> bit) & 1 ? "1" : "0");
          }
          char hex[3];
          const bool read = s.address ? (s.value & 1) != 0 : s.read;
          std::snprintf(hex, sizeof hex, "%02X", s.address ? s.value >> 1 : s.value);
          line(std::string(s.address ? "Address " : "Data ") + (read ? "read: " : "write: ") + hex);
          if (s.address) {
            line(read ? "Read" : "Write");
          }
          line(s.ack ? "ACK" : "NACK");
          break;
        }
      }
    }
  }
  return text;
}

// The board as the firmware under QEMU can be made into it.
board::BoardConfig ForQemu(board::BoardConfig config) {
  config.variablePpi = true;
  config.pcdPpi = true;
  config.notifyPpiStatus = 0;
  config.timerMode = board::TimerMode::Running;
  config.superIoPresent = false;
  if (config.smbusFailures.size() > kQemuMaxFailures) {
    config.smbusFailures.resize(kQemuMaxFailures);
  }
  return config;
}

}  // namespace

std::span<const ReaderTarget> ReaderTargets() { return kTargets; }

void WriteSeeds(const fs::path& dir) {
  const std::vector<NamedScenario> scenarios = Scenarios();
  std::map<std::string_view, std::function<void(SeedSet&)>> writers;
  writers["firmware_walk"] = [](SeedSet& seeds) {
    FirmwareSeeds(seeds, ReadBytes(CLOCKRAMP_MODULE_IMAGE));
    OvmfSeeds(seeds);
  };
  writers["pe_image"] = ImageSeeds;
  writers["scenario"] = [&](SeedSet& seeds) {
    for (const NamedScenario& s : scenarios) {
      seeds.Add(s.name, s.text);
    }
  };
  writers["i2cdump"] = [&](SeedSet& seeds) {
    const fs::path board_data = fs::path(CLOCKRAMP_SOURCE_DIR) / "tests/scenarios/board-data";
    seeds.Add("clockgen-i2cdump", ReadBytes(board_data / "clockgen-i2cdump.txt"));
    for (const NamedScenario& s : scenarios) {
      if (s.config) {
        std::ostringstream text;
        tool::WriteI2cDump(text, DumpOfConfig(*s.config));
        seeds.Add(s.name, AsBytes(text.str()));
      }
    }
  };
  writers["efivarfs"] = [&](SeedSet& seeds) {
    const fs::path board_setup =
        fs::path(CLOCKRAMP_SOURCE_DIR) /
        "tests/scenarios/board-data/Setup-EC87D643-EBA4-4BB5-A1E5-3F3E36B20DA9";
    seeds.Add("board-data-setup",
              NamedFile(board_setup.filename().string(), ReadBytes(board_setup)));
    for (const NamedScenario& s : scenarios) {
      if (s.config && s.config->setup) {
        seeds.Add(s.name + "-setup",
                  NamedVariableFile(tool::SetupVariableId(), s.config->setupAttributes,
                                    *s.config->setup));
      }
      if (s.config && s.config->pchRcConfiguration) {
        seeds.Add(s.name + "-pchrc", NamedVariableFile(tool::PchRcConfigurationVariableId(),
                                                       s.config->pchRcConfigurationAttributes,
                                                       *s.config->pchRcConfiguration));
      }
    }
  };
  writers["capture"] = [&](SeedSet& seeds) {
    for (const NamedScenario& s : scenarios) {
      if (s.config) {
        // 20 ms of virtual time: a long ramp's or a hang's capture is longer
        // than the target takes.
        board::BoardConfig config = *s.config;
        config.hangLimitNs = std::min<uint64_t>(config.hangLimitNs, 20'000'000);
        const board::RunResult run = board::RunNative(config);
        seeds.Add(s.name, AsBytes(Annotations(tool::SmbusTransfers(run.trace().Events()))));
      }
    }
  };
  writers["vcd"] = [](SeedSet& seeds) {
    for (const auto& entry :
         fs::directory_iterator(fs::path(CLOCKRAMP_SOURCE_DIR) / "tests/golden/expected")) {
      if (entry.path().extension() == ".vcd") {
        seeds.Add(entry.path().filename().string(), ReadBytes(entry.path()));
      }
    }
  };
  writers["qemu_trace"] = [](SeedSet& seeds) {
    // Real traces, cut to the module's part, are kept in fuzz/seeds/.
    const fs::path kept = fs::path(CLOCKRAMP_SOURCE_DIR) / "fuzz/seeds/qemu_trace";
    if (fs::is_directory(kept)) {
      for (const auto& entry : fs::directory_iterator(kept)) {
        seeds.Add(entry.path().filename().string(), ReadBytes(entry.path()));
      }
    }
  };
  writers["scenario_peim"] = [&](SeedSet& seeds) {
    for (const NamedScenario& s : scenarios) {
      if (s.config) {
        seeds.Add(s.name, qemu::BuildScenarioBlob(ForQemu(*s.config), qemu::kShimPcieBase));
      }
    }
  };
  for (const ReaderTarget& target : kTargets) {
    SeedSet seeds(dir, target);
    writers.at(target.name)(seeds);
    std::printf("%-14s %zu seeds\n", std::string(target.name).c_str(), seeds.Count());
  }
}

}  // namespace clockramp::fuzz
