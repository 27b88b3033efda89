// clockramp-fv: the packaging tool.
//   clockramp-fv [package] [--te] <image.efi> <out.ffs> <out.fv> [--inf F] [--depex F]
//       the PEIM firmware file, a volume holding it and, on request, an EDK II
//       binary module (INF and dependency expression)
//   clockramp-fv list <firmware>
//       the volumes, files and sections of a firmware image
//   clockramp-fv insert <firmware> <out> [options]
//       the same image with the PEIM file added, rebased where it will run
// Exit status 0 on success, 2 for a bad command line or a refusal (an image
// that does not parse, no room, the file already there, a volume of the
// wrong kind: nothing is written then), 1 when a file cannot be read or written.
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "BuildPaths.h"
#include "image/EdkModule.h"
#include "image/FirmwareWalk.h"
#include "image/FvBuilder.h"
#include "image/PeImage.h"
#include "image/PeimInsert.h"
#include "image/TeImage.h"

namespace {

namespace fv = clockramp::fv;
namespace pe = clockramp::pe;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitRefused = 2;

// A refusal: exit status 2, nothing written.
class Refused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw std::runtime_error("cannot open " + path);
  }
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    throw std::runtime_error("cannot write " + path);
  }
}

void WriteText(const std::string& path, const std::string& text) {
  WriteFile(path, std::vector<uint8_t>(text.begin(), text.end()));
}

// "0x820000" or "8519680"; anything else is a refusal naming the option.
uint64_t ParseAddress(const std::string& text, const char* option) {
  size_t used = 0;
  uint64_t value = 0;
  try {
    value = std::stoull(text, &used, 0);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used != text.size() || text.empty() || value > 0xFFFFFFFFULL) {
    throw Refused(std::string(option) + " " + text + " is not a 32-bit address");
  }
  return value;
}

// A PE32 image, or a refusal.
pe::PeImage ReadPe32(const std::string& path) {
  try {
    pe::PeImage image = pe::PeImage::ReadFile(path);
    if (!image.IsPe32()) {
      throw Refused(path + " is not a PE32 image");
    }
    return image;
  } catch (const pe::PeFormatError& e) {
    throw Refused(path + ": " + e.what());
  }
}

struct PackageOptions {
  bool te = false;
  std::string efi, ffs, fv, inf, depex;
};

// Writes the PEIM file and the volume holding it, and the INF and depex when asked.
void Package(const PackageOptions& o) {
  const pe::PeImage image = ReadPe32(o.efi);
  // The image's sections keep their alignment in flash only if its base
  // does; files give 8 bytes, and no more is asked for.
  fv::PeimOptions options;
  options.body_alignment = image.headers().section_alignment;
  std::vector<uint8_t> body = image.bytes();
  if (o.te) {
    body = pe::BuildTeImage(image);
    options.image_section_type = fv::kSectionTe;
    // The TE body starts where the PE image's section table was, less the
    // TE header: that far past the image's base.
    const uint32_t offset = pe::ParseTeHeader(body).stripped_size - pe::kTeHeaderSize;
    options.body_skew = offset % options.body_alignment;
  }
  const std::vector<uint8_t> ffs = fv::BuildPeimFile(body, options);
  WriteFile(o.ffs, ffs);
  WriteFile(o.fv, fv::BuildFirmwareVolume({ffs}));
  if (!o.depex.empty()) {
    WriteFile(o.depex, fv::PeimDepex(options));
  }
  if (!o.inf.empty()) {
    fv::BinaryModule module;
    // The INF names its files relative to itself.
    module.image_file = std::filesystem::path(o.efi).filename().string();
    if (!o.depex.empty()) {
      module.depex_file = std::filesystem::path(o.depex).filename().string();
    }
    WriteText(o.inf, fv::BuildBinaryInf(module));
  }
}

struct InsertArgs {
  std::string firmware, out, efi = CLOCKRAMP_DEFAULT_IMAGE, volume, flash_base, run_address,
                             rebased;
  bool apriori = false;
  bool replace = false;
};

// Inserts the file and writes the new image; prints where everything went.
void Insert(const InsertArgs& a) {
  const pe::PeImage image = ReadPe32(a.efi);
  fv::InsertOptions options;
  try {
    if (!a.volume.empty()) {
      options.volume = fv::Guid::Parse(a.volume);
    }
  } catch (const std::invalid_argument& e) {
    throw Refused(std::string("--volume: ") + e.what());
  }
  if (!a.flash_base.empty()) {
    options.flash_base = ParseAddress(a.flash_base, "--flash-base");
  }
  if (!a.run_address.empty()) {
    options.run_address = ParseAddress(a.run_address, "--run-address");
  }
  options.apriori = a.apriori;
  options.replace = a.replace;
  const std::vector<uint8_t> firmware = ReadFile(a.firmware);
  fv::InsertResult result;
  try {
    result = fv::InsertPeim(firmware, image, options);
  } catch (const fv::FirmwareFormatError& e) {
    throw Refused(a.firmware + " does not parse: " + e.what());
  } catch (const fv::EditRefused& e) {
    throw Refused(e.what());
  } catch (const pe::PeFormatError& e) {
    throw Refused(a.efi + ": " + e.what());
  }
  WriteFile(a.out, result.image);
  if (!a.rebased.empty()) {
    WriteFile(a.rebased, result.rebased);
  }
  const fv::Node root = fv::WalkImage(firmware);
  const fv::Node& volume = fv::At(root, result.volume);
  std::cout << "volume " << (volume.volume_name ? volume.volume_name->ToString() : "(no name)")
            << std::hex << std::uppercase << " at 0x" << result.volume_address << "\n"
            << "file " << options.peim.file_guid.ToString() << " at volume offset 0x"
            << result.file_offset << (result.replaced ? ", replacing the old one" : "") << "\n"
            << "image rebased to 0x" << result.image_base << "\n"
            << (result.listed_apriori ? "listed in the PEI apriori file\n" : "");
}

// Parses the command line and runs the subcommand; returns the exit status.
int Main(int argc, char** argv) {
  // The first form needs no subcommand name.
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || (args[0] != "package" && args[0] != "list" && args[0] != "insert" &&
                       args[0] != "--help" && args[0] != "-h")) {
    args.insert(args.begin(), "package");
  }
  CLI::App app{
      "clockramp-fv: packages ClockRamp.efi as a PEIM file, and puts it into firmware images"};
  app.require_subcommand(1);

  PackageOptions package;
  CLI::App* p = app.add_subcommand("package", "Write the PEIM file and a volume holding it");
  p->add_flag("--te", package.te, "Package the image in its stripped-header (TE) form");
  p->add_option("image", package.efi, "ClockRamp.efi")->required();
  p->add_option("ffs", package.ffs, "The PEIM file to write")->required();
  p->add_option("fv", package.fv, "The volume to write")->required();
  p->add_option("--inf", package.inf, "Also write an EDK II binary module INF");
  p->add_option("--depex", package.depex, "Also write the PEI dependency expression");

  std::string listed;
  CLI::App* l =
      app.add_subcommand("list", "Print the volumes, files and sections of a firmware image");
  l->add_option("firmware", listed, "The image")->required();

  InsertArgs insert;
  CLI::App* i = app.add_subcommand(
      "insert", "Write a copy of a firmware image with the PEIM file added to its PEI volume");
  i->add_option("firmware", insert.firmware, "The image (.fd, .rom)")->required();
  i->add_option("out", insert.out, "The new image")->required();
  i->add_option("--efi", insert.efi, "The PE32 image to insert")->capture_default_str();
  i->add_option("--volume", insert.volume,
                "The volume's name GUID (default: the one with the PEI core)");
  i->add_option("--flash-base", insert.flash_base,
                "Where the image is mapped (default: 4 GiB minus its size)");
  i->add_option("--run-address", insert.run_address,
                "Where the volume runs, for a volume the firmware decompresses to RAM");
  i->add_flag("--apriori", insert.apriori, "List the file in the volume's PEI apriori file");
  i->add_flag("--replace", insert.replace, "Take out a file of the same name first");
  i->add_option("--rebased", insert.rebased, "Also write the rebased image to this file");

  std::vector<const char*> cargs{argv[0]};
  for (const std::string& a : args) {
    cargs.push_back(a.c_str());
  }
  try {
    app.parse(static_cast<int>(cargs.size()), cargs.data());
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? kExitOk : kExitRefused;
  }
  try {
    if (p->parsed()) {
      Package(package);
    } else if (l->parsed()) {
      const std::vector<uint8_t> firmware = ReadFile(listed);
      try {
        fv::PrintTree(std::cout, fv::WalkImage(firmware));
      } catch (const fv::FirmwareFormatError& e) {
        throw Refused(listed + " does not parse: " + e.what());
      }
    } else {
      Insert(insert);
    }
  } catch (const Refused& e) {
    std::cerr << "clockramp-fv: " << e.what() << "\n";
    return kExitRefused;
  } catch (const std::exception& e) {
    std::cerr << "clockramp-fv: " << e.what() << "\n";
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) try { return Main(argc, argv); } catch (const std::exception& e) {
  std::cerr << "clockramp-fv: " << e.what() << "\n";
  return kExitFailed;
} catch (...) {
  std::cerr << "clockramp-fv: unexpected failure\n";
  return kExitFailed;
}
