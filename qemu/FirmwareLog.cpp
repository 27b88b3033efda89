#include "qemu/FirmwareLog.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <regex>
#include <sstream>

namespace qemu {
namespace {

constexpr const char* kSmbus2PpiGuid = "9ca93627-b65b-4324-a202-c0b461764543";

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

}  // namespace

FirmwareLogFacts ReadFirmwareLog(const std::string& log, const std::string& moduleFile) {
  // The PEI core's lines (MdeModulePkg's PeiMain): "Loading PEIM <file>",
  // then "Loading PEIM at 0x<base> EntryPoint=0x<entry> [<name>]" for the
  // image it loaded; "Register PPI Notify: <ppi>"; and, as it calls a
  // notification, "Notify: PPI Guid: <ppi>, Peim notify entry point: <address>".
  static const std::regex kLoadedAt(R"(loading peim at 0x([0-9a-f]+))");
  static const std::regex kNotify(
      R"(notify: ppi guid: ([0-9a-f-]+), peim notify entry point: (?:0x)?([0-9a-f]+))");
  const std::string file = Lower(moduleFile);
  FirmwareLogFacts facts;
  std::istringstream lines(log);
  std::string raw;
  bool ours = false;  // the last "Loading PEIM <file>" named the module's file
  std::smatch m;
  while (std::getline(lines, raw)) {
    const std::string line = Lower(raw);
    if (raw.find("ASSERT") != std::string::npos) {
      facts.asserts.push_back(raw);
    }
    if (std::regex_search(line, m, kLoadedAt)) {
      if (ours && !facts.loadedAt) {
        facts.loadedAt = std::stoull(m[1].str(), nullptr, 16);
      }
      ours = false;
    } else if (line.find("loading peim ") != std::string::npos) {
      ours = line.find(file) != std::string::npos;
    }
    if (line.find(std::string("register ppi notify: ") + kSmbus2PpiGuid) != std::string::npos) {
      facts.notifyRegistered = true;
    }
    if (std::regex_search(line, m, kNotify) && m[1].str() == kSmbus2PpiGuid && !facts.dispatched) {
      facts.dispatched = std::stoull(m[2].str(), nullptr, 16);
    }
  }
  return facts;
}

std::vector<std::string> FirmwareLogProblems(const FirmwareLogFacts& facts, uint32_t imageSize) {
  std::vector<std::string> problems;
  if (!facts.loadedAt) {
    problems.emplace_back("the firmware's log shows no load of the module's file");
  }
  if (!facts.notifyRegistered) {
    problems.emplace_back("the firmware's log shows no notification registered on the SMBus2 PPI");
  }
  if (!facts.dispatched) {
    problems.emplace_back("the firmware's log shows no notification dispatched on the SMBus2 PPI");
  } else if (facts.loadedAt && (*facts.dispatched < *facts.loadedAt ||
                                *facts.dispatched >= *facts.loadedAt + imageSize)) {
    problems.push_back(fmt::format(
        "the SMBus2 notification went to {:#x}, outside the module's image at {:#x} ({} bytes)",
        *facts.dispatched, *facts.loadedAt, imageSize));
  }
  for (const std::string& line : facts.asserts) {
    problems.push_back("the firmware asserted: " + line);
  }
  return problems;
}

}  // namespace qemu
