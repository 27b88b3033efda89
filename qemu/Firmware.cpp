#include "qemu/Firmware.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>

#include "BuildPaths.h"
#include "image/FirmwareWalk.h"
#include "image/FvBuilder.h"
#include "image/PeImage.h"
#include "image/PeimInsert.h"

namespace qemu {
namespace {

namespace fs = std::filesystem;
namespace fv = clockramp::fv;

const fv::Guid kScenarioPeimGuid = fv::Guid::Parse("5E2B8C31-7D4A-4F6E-9B1C-2A3D4E5F6071");
const fv::Guid kExitPeimGuid = fv::Guid::Parse("6F3C9D42-8E5B-4A7F-8C2D-3B4E5F607182");

std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw std::runtime_error("cannot read " + path);
  }
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The PEI volume's bytes with one more PEIM file, rebased for where the
// volume runs.
std::vector<uint8_t> Add(std::vector<uint8_t> volume, const std::string& efi, const fv::Guid& name,
                         const std::string& ui, bool apriori) {
  fv::InsertOptions options;
  options.apriori = apriori;
  options.run_address = kOvmfPeiVolumeAddress;
  options.peim.file_guid = name;
  options.peim.ui_name = ui;
  const fv::Node node = fv::WalkVolume(volume);
  fv::InsertResult result;
  return fv::InsertIntoVolume(node, std::move(volume), clockramp::pe::PeImage::ReadFile(efi),
                              kOvmfPeiVolumeAddress, options, result);
}

}  // namespace

FirmwareInputs DefaultFirmwareInputs(bool beforeMemory) {
  FirmwareInputs inputs;
  inputs.beforeMemory = beforeMemory;
  inputs.module = CLOCKRAMP_QEMU_MODULE_IMAGE;
  inputs.scenarioPeim = CLOCKRAMP_QEMU_SCENARIO_PEIM;
  inputs.exitPeim = CLOCKRAMP_QEMU_EXIT_PEIM;
  return inputs;
}

std::string DefaultFirmwarePath(bool beforeMemory) {
  std::string path = CLOCKRAMP_QEMU_FIRMWARE;
  return beforeMemory ? path.replace(path.rfind(".fd"), 3, "-apriori.fd") : path;
}

std::string FirmwarePathForImage(const std::string& module, bool beforeMemory) {
  const size_t key = std::hash<std::string>{}(fs::absolute(module).string());
  char name[64];
  std::snprintf(name, sizeof name, "clockramp-ovmf-%016zx%s.fd", key,
                beforeMemory ? "-apriori" : "");
  return (fs::temp_directory_path() / name).string();
}

// The three files go into the decompressed PEI volume one after the other,
// and the volume is compressed back into the image once.
std::vector<uint8_t> BuildFirmware(const FirmwareInputs& inputs) {
  const std::vector<uint8_t> image = ReadBytes(inputs.ovmfCode);
  const fv::Node root = fv::WalkImage(image);
  const fv::NodePath pei = fv::ChooseVolume(root, std::nullopt);
  std::vector<uint8_t> volume = fv::NodeBytes(root, image, pei);
  const bool apriori = inputs.beforeMemory;
  volume = Add(std::move(volume), inputs.scenarioPeim, kScenarioPeimGuid, "ClockRampQemuScenario",
               apriori);
  volume = Add(std::move(volume), inputs.module, fv::kClockRampFileGuid, "ClockRamp", apriori);
  volume = Add(std::move(volume), inputs.exitPeim, kExitPeimGuid, "ClockRampQemuExit", apriori);
  return fv::ReplaceNode(root, image, pei, std::move(volume));
}

PlacedImage PlacedModule(const std::string& firmware) {
  const std::vector<uint8_t> bytes = ReadBytes(firmware);
  const fv::Node root = fv::WalkImage(bytes);
  const fv::NodePath volume = fv::ChooseVolume(root, std::nullopt);
  const fv::Node& pei = fv::At(root, volume);
  constexpr uint8_t kPe32Section = 0x10;
  for (size_t f = 0; f < pei.children.size(); ++f) {
    const fv::Node& file = pei.children[f];
    if (file.guid != fv::kClockRampFileGuid) {
      continue;
    }
    for (size_t s = 0; s < file.children.size(); ++s) {
      const fv::Node& section = file.children[s];
      if (section.type != kPe32Section) {
        continue;
      }
      fv::NodePath path = volume;
      path.push_back(f);
      path.push_back(s);
      std::vector<uint8_t> body = fv::NodeBytes(root, bytes, path);
      body.erase(body.begin(), body.begin() + section.header_size);
      const clockramp::pe::PeImage image = clockramp::pe::PeImage::Parse(std::move(body));
      PlacedImage placed;
      placed.address = kOvmfPeiVolumeAddress + file.offset + section.offset + section.header_size;
      placed.imageBase = image.headers().image_base;
      placed.entry = image.headers().entry_point;
      placed.size = image.headers().size_of_image;
      return placed;
    }
  }
  throw std::runtime_error(firmware + " holds no ClockRamp file with a PE32 image");
}

bool EnsureFirmware(const FirmwareInputs& inputs, const std::string& out) {
  std::error_code ec;
  if (fs::exists(out, ec)) {
    auto built = fs::last_write_time(out, ec);
    bool fresh = !ec;
    for (const std::string& in :
         {inputs.ovmfCode, inputs.module, inputs.scenarioPeim, inputs.exitPeim}) {
      if (!fresh || fs::last_write_time(in, ec) > built || ec) {
        fresh = false;
      }
    }
    if (fresh) {
      return false;
    }
  }
  std::vector<uint8_t> image = BuildFirmware(inputs);
  // Written aside and renamed, so a run that is stopped halfway leaves no torn image.
  std::string partial = out + ".partial";
  {
    std::ofstream file(partial, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(image.data()),
               static_cast<std::streamsize>(image.size()));
    if (!file) {
      throw std::runtime_error("cannot write " + partial);
    }
  }
  fs::rename(partial, out);
  return true;
}

}  // namespace qemu
