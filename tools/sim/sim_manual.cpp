#include "sim/sim_manual.h"

#include "app/text_utils.h"
#include "sim/sim_options.h"

namespace quorvel::sim {
namespace {

constexpr std::string_view kDescription =
    "Description:\n"
    "quorvel-sim plays a VARNELD measuring instrument on a pseudo-terminal: its user\n"
    "application, which restarts into the bootloader when asked, and its Q-LOAD\n"
    "bootloader, which erases, takes the image block by block and resets. The\n"
    "window (quorvel) and quorvel-cli program it as they program an instrument on a\n"
    "serial port, so that everything can be tried without hardware. Faults can be\n"
    "injected: refusals, silence, echoes, noise, a device that stops for a while or\n"
    "hangs up.\n"
    "\n"
    "It runs until it is stopped (Ctrl-C, SIGTERM, SIGHUP) and then writes the\n"
    "memory it received when --save names a file.\n";

// "%s": the folder of the sample firmware.
constexpr std::string_view kExamples =
    "Examples:\n"
    "A GRV-30x running its user application, programmed with the sample firmware.\n"
    "    quorvel-sim --device GRV-30x --mode app --link /tmp/quorvel-port \\\n"
    "        --save /tmp/received.hex &\n"
    "    quorvel-cli program --device GRV-30x --port /tmp/quorvel-port \\\n"
    "        %s/sample_firmware.hex\n"
    "The same port in the window's port list.\n"
    "    QUORVEL_EXTRA_PORTS=/tmp/quorvel-port quorvel\n";

constexpr std::string_view kFiles =
    "Files:\n"
    "  %s/sample_firmware.hex\n"
    "      a small made-up firmware image in Intel HEX for trying it\n";

constexpr std::string_view kSeeAlso = "See also:\nquorvel-cli(1), quorvel(1)\n";

}  // namespace

ManualPage SimManual(std::string_view dataDir) {
  return {"quorvel-sim",
          "a simulated VARNELD instrument with the Q-LOAD bootloader",
          {std::string(kDescription), "Options:\n" + SimUsage(),
           FormatText(kExamples, {dataDir}), FormatText(kFiles, {dataDir}),
           std::string(kSeeAlso)}};
}

}  // namespace quorvel::sim
