// The serial line options of quorvel-cli (--baud, --parity, --data-bits,
// --stop-bits) over a device type's defaults, refusing what a serial port
// cannot be set to.
#pragma once

#include <optional>
#include <string>

#include "app/cli_args.h"
#include "run/line_settings.h"
#include "run/run_host.h"

namespace quorvel {

// The line settings the options give over `defaults`; none when an option
// names no such value or a combination the port cannot use (4 data bits,
// 1.5 stop bits with other than 5 data bits). `problem` then holds the
// offending argument and why ("--data-bits 4 (...)").
std::optional<LineSettings> LineSettingsFromArgs(const CliArgs& args, LineSettings defaults,
                                                 std::string& problem);

// The frame gap of --frame-gap: "auto" (the default, also when the option is
// absent), "standard" (50 ms) or a fixed number of ms from 1 to 1000; none
// for anything else, with `problem` saying what was given and what is
// accepted.
std::optional<FrameGapChoice> FrameGapFromArgs(const CliArgs& args, std::string& problem);

}  // namespace quorvel
