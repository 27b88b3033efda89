#include "image/LinkMap.h"

#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace clockramp::image {

LinkMap LinkMap::Parse(const std::string& text) {
  static const std::regex kBase(R"(Preferred load address is ([0-9A-Fa-f]+))");
  static const std::regex kContribution(
      R"(^\s*([0-9A-Fa-f]{4}):([0-9A-Fa-f]{8})\s+([0-9A-Fa-f]+)H\s+(\S+)\s+\S+\s*$)");
  static const std::regex kSymbol(
      R"(^\s*([0-9A-Fa-f]{4}):([0-9A-Fa-f]{8})\s+(\S+)\s+([0-9A-Fa-f]{8,16})\s+\S+\s*$)");

  LinkMap map;
  bool have_base = false;
  std::istringstream in(text);
  std::string line;
  std::smatch m;
  while (std::getline(in, line)) {
    if (std::regex_search(line, m, kBase)) {
      map.base = std::stoull(m[1].str(), nullptr, 16);
      have_base = true;
    } else if (std::regex_match(line, m, kContribution)) {
      map.contributions.push_back({static_cast<uint16_t>(std::stoul(m[1].str(), nullptr, 16)),
                                   static_cast<uint32_t>(std::stoul(m[2].str(), nullptr, 16)),
                                   static_cast<uint32_t>(std::stoul(m[3].str(), nullptr, 16)),
                                   m[4].str()});
    } else if (std::regex_match(line, m, kSymbol)) {
      map.symbols.push_back({m[3].str(), static_cast<uint16_t>(std::stoul(m[1].str(), nullptr, 16)),
                             static_cast<uint32_t>(std::stoul(m[2].str(), nullptr, 16)),
                             std::stoull(m[4].str(), nullptr, 16)});
    }
  }
  if (!have_base || map.contributions.empty()) {
    throw std::runtime_error("not an lld-link map: no preferred load address or no sections");
  }
  return map;
}

LinkMap LinkMap::ReadFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) {
    throw std::runtime_error("cannot open " + path);
  }
  std::ostringstream text;
  text << in.rdbuf();
  return Parse(text.str());
}

std::optional<uint32_t> LinkMap::SymbolRva(const std::string& name) const {
  for (const MapSymbol& s : symbols) {
    if (s.name == name || s.name == "_" + name) {
      return static_cast<uint32_t>(s.address - base);
    }
  }
  return std::nullopt;
}

uint32_t LinkMap::ContributionBytes(const std::string& name) const {
  uint32_t total = 0;
  for (const MapContribution& c : contributions) {
    if (c.name == name) {
      total += c.length;
    }
  }
  return total;
}

}  // namespace clockramp::image
