// clockramp-fv: the packaging tool.
//   clockramp-fv [package] [--te] <image.efi> <out.ffs> <out.fv> [--inf F] [--depex F]
//       the PEIM firmware file, a volume holding it and, on request, an EDK II
//       binary module (INF and dependency expression)
//   clockramp-fv list <firmware>
//       the volumes, files and sections of a firmware image, damage marked
//   clockramp-fv insert <firmware> <out> [options]
//       the same image with the PEIM file added, rebased where it will run
//
// Its inputs come from anywhere: each is read up to a limit, the PE32 image
// must pass the checks a PEIM that runs in place needs, and the firmware walk
// is bounded. Its outputs are written whole or not at all, never over an
// input. Exit statuses: kExitStatuses below.
#include <unistd.h>

#include <charconv>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "BuildPaths.h"
#include "image/EdkModule.h"
#include "image/FirmwareWalk.h"
#include "image/FvBuilder.h"
#include "image/ImageChecks.h"
#include "image/InputFile.h"
#include "image/OutputSet.h"
#include "image/PeImage.h"
#include "image/PeimInsert.h"
#include "image/Printable.h"
#include "image/TeImage.h"

namespace {

namespace files = clockramp::files;
namespace fv = clockramp::fv;
namespace pe = clockramp::pe;

constexpr int kExitOk = 0;
constexpr int kExitRefused = 2;

constexpr const char* kExitStatuses =
    "Exit status:\n"
    "  0  done: every output written (list: the image has no damage)\n"
    "  2  bad input or usage: an option, a file that cannot be read or is too large, an image\n"
    "     that does not parse or is damaged, a PE32 image unfit for a PEIM, no room, an\n"
    "     output that is an input or cannot be written whole. One line names the file and\n"
    "     what is wrong in it; nothing is written.\n"
    "  (1 and 3 are not used: this tool runs no module.)";

// A refusal: exit status 2, nothing written. `what` names the file, or the
// option, that is wrong.
class Refused : public std::runtime_error {
 public:
  Refused(const std::string& what, const std::string& why)
      : std::runtime_error(files::Printable(what) + ": " + why) {}
};

// Progress of the long steps (LZMA streams of 1 MiB and more) on stderr,
// only when it is a terminal; the line is cleared when the step is done.
class ProgressLine {
 public:
  ProgressLine() : on_(::isatty(STDERR_FILENO) == 1) {}
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;
  ~ProgressLine() { Clear(); }

  fv::LzmaProgress For(const char* step) {
    if (!on_) {
      return {};
    }
    return [this, step](uint64_t done, uint64_t total) {
      if (total < (uint64_t{1} << 20)) {
        return;
      }
      const auto percent = static_cast<int>(done * 100 / total);
      if (percent != percent_ || step != step_) {
        percent_ = percent;
        step_ = step;
        std::cerr << "\rclockramp-fv: " << step << " " << (total >> 20) << " MiB: " << percent
                  << "%\033[K" << std::flush;
        shown_ = true;
      }
    };
  }

  void Clear() {
    if (shown_) {
      std::cerr << "\r\033[K" << std::flush;
      shown_ = false;
    }
  }

 private:
  bool on_;
  bool shown_ = false;
  int percent_ = -1;
  const char* step_ = nullptr;
};

// A 32-bit address as written: "0x820000" in hex, else decimal digits only
// (a leading 0 is not octal). A sign, a space, an overflow or a value past
// 32 bits is refused with the value as written.
uint64_t ParseAddress(const std::string& text, const char* option) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string_view digits = std::string_view(text).substr(hex ? 2 : 0);
  uint64_t value = 0;
  const auto [end, error] =
      std::from_chars(digits.data(), digits.data() + digits.size(), value, hex ? 16 : 10);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
      value > 0xFFFFFFFFULL) {
    throw Refused(std::string(option) + " " + text,
                  "not a 32-bit address (hex with 0x, or decimal)");
  }
  return value;
}

// A PE32 image fit to be a PEIM that runs in place, or a refusal naming the file.
pe::PeImage ReadModule(const std::string& path) {
  std::vector<uint8_t> bytes = files::ReadInput(path, files::kModuleFileLimit, "PE32 image");
  std::optional<pe::PeImage> image;
  try {
    image = pe::PeImage::Parse(std::move(bytes));
  } catch (const pe::PeFormatError& e) {
    throw Refused(path, e.what());
  }
  const std::vector<clockramp::image::CheckResult> results =
      clockramp::image::CheckPeimImage(*image);
  if (!clockramp::image::AllPassed(results)) {
    std::string failures;
    for (const clockramp::image::CheckResult& r : results) {
      if (!r.passed) {
        failures += (failures.empty() ? "" : "; ") + r.name + ": " + r.detail;
      }
    }
    throw Refused(path, "not fit for a PEIM that runs in place: " + failures);
  }
  return std::move(*image);
}

std::vector<uint8_t> ReadFirmware(const std::string& path) {
  return files::ReadInput(path, files::kFirmwareFileLimit, "firmware image");
}

struct PackageOptions {
  bool te = false;
  std::string efi, ffs, fv, inf, depex;
};

// Writes the PEIM file and the volume holding it, and the INF and depex when asked.
void Package(const PackageOptions& o) {
  files::OutputSet outputs;
  outputs.AddInput(o.efi);
  for (const std::string* path : {&o.ffs, &o.fv, &o.inf, &o.depex}) {
    if (!path->empty()) {
      outputs.Check(*path);
    }
  }
  const pe::PeImage image = ReadModule(o.efi);
  // The image's sections keep their alignment in flash only if its base
  // does; files give 8 bytes, and no more can be asked for.
  fv::PeimOptions options;
  options.body_alignment = image.headers().section_alignment;
  std::vector<uint8_t> body = image.bytes();
  std::vector<uint8_t> ffs;
  try {
    if (o.te) {
      body = pe::BuildTeImage(image);
      options.image_section_type = fv::kSectionTe;
      // The TE body starts where the PE image's section table was, less the
      // TE header: that far past the image's base.
      const uint32_t offset = pe::ParseTeHeader(body).stripped_size - pe::kTeHeaderSize;
      options.body_skew = offset % options.body_alignment;
    }
    ffs = fv::BuildPeimFile(body, options);
  } catch (const pe::PeFormatError& e) {
    throw Refused(o.efi, e.what());
  } catch (const std::invalid_argument& e) {
    throw Refused(o.efi, e.what());
  }
  outputs.Write(o.ffs, ffs);
  outputs.Write(o.fv, fv::BuildFirmwareVolume({ffs}));
  if (!o.depex.empty()) {
    outputs.Write(o.depex, fv::PeimDepex(options));
  }
  if (!o.inf.empty()) {
    fv::BinaryModule module;
    // The INF names its files relative to itself.
    module.image_file = std::filesystem::path(o.efi).filename().string();
    if (!o.depex.empty()) {
      module.depex_file = std::filesystem::path(o.depex).filename().string();
    }
    outputs.Write(o.inf, fv::BuildBinaryInf(module));
  }
  outputs.Commit();
}

// Prints the tree of an image as far as it can be read, damage marked; a
// damaged image is refused after its listing.
void List(const std::string& path) {
  const std::vector<uint8_t> firmware = ReadFirmware(path);
  ProgressLine progress;
  fv::WalkOptions walk;
  walk.keep_going = true;
  walk.progress = progress.For("decompressing");
  fv::Node root;
  try {
    root = fv::WalkImage(firmware, walk);
  } catch (const fv::FirmwareFormatError& e) {
    throw Refused(path, e.what());
  }
  progress.Clear();
  fv::PrintTree(std::cout, root);
  std::cout.flush();
  if (!std::cout) {
    throw Refused("standard output", "cannot be written");
  }
  if (const size_t damage = fv::CountDamage(root); damage != 0) {
    throw Refused(path, "damaged in " + std::to_string(damage) +
                            (damage == 1 ? " place" : " places") + ", marked in the listing");
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
  files::OutputSet outputs;
  outputs.AddInput(a.firmware);
  outputs.AddInput(a.efi);
  outputs.Check(a.out);
  if (!a.rebased.empty()) {
    outputs.Check(a.rebased);
  }
  fv::InsertOptions options;
  if (!a.volume.empty()) {
    try {
      options.volume = fv::Guid::Parse(a.volume);
    } catch (const std::invalid_argument&) {
      throw Refused("--volume " + a.volume, "not a GUID (8-4-4-4-12 hex digits)");
    }
  }
  if (!a.flash_base.empty()) {
    options.flash_base = ParseAddress(a.flash_base, "--flash-base");
  }
  if (!a.run_address.empty()) {
    options.run_address = ParseAddress(a.run_address, "--run-address");
  }
  options.apriori = a.apriori;
  options.replace = a.replace;
  const pe::PeImage image = ReadModule(a.efi);
  const std::vector<uint8_t> firmware = ReadFirmware(a.firmware);
  ProgressLine progress;
  options.walk.progress = progress.For("decompressing");
  options.compress_progress = progress.For("compressing");
  fv::InsertResult result;
  try {
    result = fv::InsertPeim(firmware, image, options);
  } catch (const fv::FirmwareFormatError& e) {
    throw Refused(a.firmware, std::string("does not parse: ") + e.what());
  } catch (const fv::EditRefused& e) {
    throw Refused(a.firmware, e.what());
  } catch (const pe::PeFormatError& e) {
    throw Refused(a.efi, e.what());
  }
  progress.Clear();
  outputs.Write(a.out, result.image);
  if (!a.rebased.empty()) {
    outputs.Write(a.rebased, result.rebased);
  }
  outputs.Commit();
  std::cout << "volume " << (result.volume_name ? result.volume_name->ToString() : "(no name)")
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
  app.footer(kExitStatuses);

  PackageOptions package;
  CLI::App* p = app.add_subcommand("package", "Write the PEIM file and a volume holding it");
  p->footer(kExitStatuses);
  p->add_flag("--te", package.te, "Package the image in its stripped-header (TE) form");
  p->add_option("image", package.efi, "ClockRamp.efi")->required();
  p->add_option("ffs", package.ffs, "The PEIM file to write")->required();
  p->add_option("fv", package.fv, "The volume to write")->required();
  p->add_option("--inf", package.inf, "Also write an EDK II binary module INF");
  p->add_option("--depex", package.depex, "Also write the PEI dependency expression");

  std::string listed;
  CLI::App* l = app.add_subcommand(
      "list", "Print the volumes, files and sections of a firmware image, with any damage");
  l->footer(kExitStatuses);
  l->add_option("firmware", listed, "The image")->required();

  InsertArgs insert;
  CLI::App* i = app.add_subcommand(
      "insert", "Write a copy of a firmware image with the PEIM file added to its PEI volume");
  i->footer(kExitStatuses);
  i->add_option("firmware", insert.firmware, "The image (.fd, .rom)")->required();
  i->add_option("out", insert.out, "The new image")->required();
  i->add_option("--efi", insert.efi, "The PE32 image to insert")->capture_default_str();
  i->add_option("--volume", insert.volume,
                "The volume's name GUID (default: the one with the PEI core)");
  i->add_option("--flash-base", insert.flash_base,
                "Where the image is mapped, 0x... or decimal (default: 4 GiB minus its size)");
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
    if (e.get_exit_code() == 0) {
      return app.exit(e);  // --help
    }
    std::cerr << "clockramp-fv: usage: " << files::Printable(e.what(), 1000)
              << " (clockramp-fv --help)\n";
    return kExitRefused;
  }
  try {
    if (p->parsed()) {
      Package(package);
    } else if (l->parsed()) {
      List(listed);
    } else {
      Insert(insert);
    }
  } catch (const Refused& e) {
    std::cerr << "clockramp-fv: " << e.what() << "\n";
    return kExitRefused;
  } catch (const files::InputError& e) {
    // "FILE: what is wrong", the name as it was given.
    std::cerr << "clockramp-fv: " << files::Printable(e.what(), 1000) << "\n";
    return kExitRefused;
  } catch (const files::OutputError& e) {
    std::cerr << "clockramp-fv: " << files::Printable(e.what(), 1000) << "\n";
    return kExitRefused;
  }
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) try { return Main(argc, argv); } catch (const std::bad_alloc&) {
  std::cerr << "clockramp-fv: out of memory; nothing was written\n";
  return kExitRefused;
} catch (const std::exception& e) {
  std::cerr << "clockramp-fv: " << files::Printable(e.what(), 1000) << "; nothing was written\n";
  return kExitRefused;
} catch (...) {
  std::cerr << "clockramp-fv: unexpected failure; nothing was written\n";
  return kExitRefused;
}
