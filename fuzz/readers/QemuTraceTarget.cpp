// The reader of QEMU's trace log (`run --engine qemu`): the helpers' log
// lines spelt out one debug-console write a byte, the module's port and
// configuration accesses, the executed-blocks log; then the comparison of
// what it read, which must find a trace the same as itself. The reader
// refuses nothing: what it cannot place it lists as unexpected.
#include <sstream>
#include <string>

#include "board/Event.h"
#include "fuzz/readers/ReaderTarget.h"
#include "qemu/Compare.h"
#include "qemu/QemuRun.h"
#include "qemu/TraceReader.h"

namespace clockramp::fuzz {

CLOCKRAMP_READER_TARGET(FuzzQemuTrace) {
  const std::string text(Text(data));
  qemu::ReaderOptions options;
  options.shimToken5 = qemu::kShimPcieBase;
  options.scenarioToken5 = 0xE0000000;  // the default board's window
  std::istringstream in(text);
  const qemu::QemuTrace trace = qemu::ReadQemuTrace(in, options);
  std::istringstream again(text);
  qemu::ReadExecutedBlocks(again);

  const board::StateSnapshot state = trace.state.value_or(board::StateSnapshot{});
  if (const auto diff = qemu::CompareRuns(trace.events, state, trace.events, state).difference) {
    Finding("a trace differs from itself: " + *diff);
  }
}

}  // namespace clockramp::fuzz
