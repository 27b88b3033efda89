#include "tools/CompareCapture.h"

#include <algorithm>

#include <fmt/format.h>

#include "image/Printable.h"
#include "tools/Engine.h"
#include "tools/ExitStatus.h"
#include "tools/Scenario.h"

namespace clockramp::tool {
namespace {

constexpr size_t kContext = 2;  // agreeing transactions shown before a difference

// "04 A" for the symbol at an index, or "nothing" past the end.
std::string SymbolText(const std::vector<WireSymbol>& symbols, size_t index) {
  if (index >= symbols.size()) {
    return "nothing";
  }
  std::string text = FormatSymbols(std::span(&symbols[index], 1));
  return symbols[index].read ? text + " (from the device)" : text;
}

std::string ModuleLine(size_t index, const SmbusTransfer& t) {
  return fmt::format("  module  #{:<4} {:>10.3f} ms  {}\n", index, static_cast<double>(t.t) / 1e6,
                     FormatSymbols(WireSymbols(t)));
}

std::string CaptureLine(size_t index, const CapturedTransaction& c) {
  return fmt::format("  capture #{:<4} line {:<7} {}\n", index, c.line, FormatSymbols(c.symbols));
}

}  // namespace

bool CompareTransactions(std::span<const SmbusTransfer> expected,
                         std::span<const CapturedTransaction> captured,
                         const std::string& captureName, std::ostream& out) {
  size_t common = std::min(expected.size(), captured.size());
  size_t at = 0;
  while (at < common && WireSymbols(expected[at]) == captured[at].symbols) {
    ++at;
  }
  if (at == common && expected.size() == captured.size()) {
    out << fmt::format("{}: all {} transactions match the module's\n", captureName, at);
    return true;
  }
  out << fmt::format("{}: transaction #{} differs ({} match before it)\n", captureName, at, at);
  for (size_t i = at - std::min(at, kContext); i < at; ++i) {
    out << ModuleLine(i, expected[i]);
  }
  if (at < expected.size()) {
    out << ModuleLine(at, expected[at]);
  } else {
    out << fmt::format("  module  #{:<4} none: the module makes {} transactions\n", at,
                       expected.size());
  }
  if (at < captured.size()) {
    out << CaptureLine(at, captured[at]);
  } else {
    out << fmt::format("  capture #{:<4} none: the capture ends after {} transactions\n", at,
                       captured.size());
  }
  if (at < expected.size() && at < captured.size()) {
    std::vector<WireSymbol> module = WireSymbols(expected[at]);
    const std::vector<WireSymbol>& capture = captured[at].symbols;
    size_t symbol = 0;
    while (symbol < module.size() && symbol < capture.size() && module[symbol] == capture[symbol]) {
      ++symbol;
    }
    out << fmt::format("  first difference at symbol {}: the module {}, the capture {}\n", symbol,
                       SymbolText(module, symbol), SymbolText(capture, symbol));
    // One transaction more or less, and the rest lines up again.
    if (at + 1 < expected.size() && WireSymbols(expected[at + 1]) == capture) {
      out << fmt::format("  the capture's #{} is the module's #{}: the capture misses one\n", at,
                         at + 1);
    } else if (at + 1 < captured.size() && captured[at + 1].symbols == module) {
      out << fmt::format("  the capture's #{} is the module's #{}: the capture has one more\n",
                         at + 1, at);
    }
  }
  if (at + 1 < expected.size()) {
    out << "  next:\n" << ModuleLine(at + 1, expected[at + 1]);
  }
  return false;
}

int RunCompareCapture(const CompareOptions& options, std::ostream& out, std::ostream& err) {
  std::vector<CapturedTransaction> captured;
  Scenario scenario;
  try {
    captured = LoadI2cCapture(options.capture);
    scenario = options.scenario ? LoadScenario(*options.scenario) : DefaultScenario();
  } catch (const CaptureError& e) {
    err << "clockramp: " << e.what() << "\n";
    return kExitInvalid;
  } catch (const ScenarioError& e) {
    err << "clockramp: " << e.what() << "\n";
    return kExitInvalid;
  }
  const std::string source = files::Printable(scenario.source);
  for (const std::string& warning : scenario.warnings) {
    err << fmt::format("clockramp: {}: warning: {}\n", source, warning);
  }
  scenario.config.wallClockLimitMs = options.wallClockLimitMs;
  const Engine* engine = FindEngine(kDefaultEngine);
  EngineRun run = engine->run(scenario.config, nullptr);
  std::vector<SmbusTransfer> expected = SmbusTransfers(run.board->Events().Events());
  out << fmt::format("{}: {} transactions on the bus ({} engine){}\n", source, expected.size(),
                     engine->name, run.outcome.hung ? ", then the run hung" : "");
  if (!CompareTransactions(expected, captured, files::Printable(options.capture), out)) {
    return kExitFailed;
  }
  return run.outcome.hung ? kExitHang : kExitSuccess;
}

}  // namespace clockramp::tool
