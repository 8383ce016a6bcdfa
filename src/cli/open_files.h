// The open files quorvel-cli program needs: every run holds a few for as
// long as it goes on, and a run that finds none left fails on its port with
// nothing but "Port COM error" to tell why.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvel {

// Besides the runs: the standard streams, the stop-signal pipe, the event
// loop's own, the session bus and its thread, the device watcher, the data
// file while read and the report while written, with room to spare.
constexpr uint64_t kFilesBesideRuns = 32;
// Measured on a serial run: the port, the transmit thread's wake-up and the
// link's two main-thread notices.
constexpr uint64_t kFilesPerSerialRun = 4;
// Measured at 6 on a USB run through a D2XX library (the converter, its
// wake-ups and the run's own device list); 8 leaves room for a library that
// keeps more.
constexpr uint64_t kFilesPerUsbRun = 8;

// About how many files `runs` runs of the link kind keep open at once.
uint64_t FilesNeeded(size_t runs, bool usb);

// Raises the process's limit of open files as far as it may go (the soft
// limit to the hard one) and returns the limit now in force.
uint64_t RaiseOpenFileLimit();

}  // namespace quorvel
