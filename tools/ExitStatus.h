// The exit statuses of every clockramp subcommand: one table, so that a
// script calling any of them reads the status the same way.
#ifndef CLOCKRAMP_TOOLS_EXITSTATUS_H_
#define CLOCKRAMP_TOOLS_EXITSTATUS_H_

namespace clockramp::tool {

// The module returned success (a warning is success); nothing compared differed.
inline constexpr int kExitSuccess = 0;
// The module or the guest failed (an error status, a fault), or a comparison
// found a difference. The run completed: its outputs are written.
inline constexpr int kExitFailed = 1;
// Bad input or usage (a file that cannot be read or used, an option out of
// range, an output that cannot be written whole): nothing is written.
inline constexpr int kExitInvalid = 2;
// A hang: the board stopped the run (a poll without progress), or the run
// passed the wall-clock limit. The outputs of the run so far are written.
inline constexpr int kExitHang = 3;

// The table for --help.
inline constexpr const char* kExitStatusHelp =
    "Exit status:\n"
    "  0  the module returned success (a warning is success); nothing compared differed\n"
    "  1  the module or the guest failed, or a comparison found a difference\n"
    "  2  bad input or usage; nothing written\n"
    "  3  a hang: the board stopped the run, or the wall-clock limit passed";

}  // namespace clockramp::tool

#endif  // CLOCKRAMP_TOOLS_EXITSTATUS_H_
