// The command line of quorvel-sim.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "run/line_settings.h"
#include "sim/instrument.h"

namespace quorvel::sim {

struct SimOptions {
  InstrumentOptions Instrument;
  std::string DeviceText;   // as given with --device
  LineSettings Line;        // the row's settings, baud from --baud
  std::string LinkPath;     // --link
  int ServeFd = -1;         // --fd: serve this terminal master instead of a new one
  std::string SavePath;     // --save
  uint32_t EchoGapMs = 60;  // pause between an echo and the answer
  // A command that starts less than this after the end of the device's last
  // answer is not heard (0: every command is).
  uint32_t MinCommandGapMs = 0;
  bool Log = false;
  bool Quiet = false;
  bool Help = false;
  bool ListDevices = false;
};

// Parses the arguments after the program name. False with a one-line error
// text for anything it cannot use.
bool ParseSimOptions(const std::vector<std::string>& args, SimOptions& options, std::string& error);

// The --help text.
std::string SimUsage();

}  // namespace quorvel::sim
