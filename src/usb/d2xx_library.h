// The D2XX function table of this process and where it came from: the
// vendor's libftd2xx.so loaded at run time, or the built-in provider over the
// kernel's ftdi_sio devices. The table is chosen once per process and never
// unloaded, so its pointers stay valid until the process ends.
//
// The environment variable QUORVEL_D2XX_LIBRARY overrides the choice:
//   unset or empty  libftd2xx.so when it loads, else the built-in provider;
//   "builtin"       the built-in provider, without trying the vendor library;
//   anything else   the path of the only library tried; when it does not load
//                   the table stays empty (no USB device is ever listed).
#pragma once

#include <string>

#include "usb/d2xx_api.h"

namespace quorvel {

inline constexpr const char* kD2xxLibraryVariable = "QUORVEL_D2XX_LIBRARY";
inline constexpr const char* kVendorD2xxLibrary = "libftd2xx.so";
inline constexpr const char* kBuiltInD2xxName = "builtin";

struct D2xxTable {
  enum class Source { None, Vendor, BuiltIn };
  d2xx::Functions fn;
  Source source = Source::None;
  // The library loaded (Vendor), else empty.
  std::string path;
};

// Loads the library with dlopen and looks every function of the table up by
// its name. A library that does not load gives a table of null pointers
// (Source::None); a function it lacks leaves just that pointer null.
D2xxTable LoadD2xxLibrary(const std::string& path);

// Makes the built-in provider's table.
using BuiltInD2xxMaker = d2xx::Functions (*)();

// The choice described at the top, for the given value of
// QUORVEL_D2XX_LIBRARY (null when unset), built-in provider (may be null:
// then there is none) and vendor library name.
D2xxTable ChooseD2xxProvider(const char* envValue, BuiltInD2xxMaker builtIn,
                             const std::string& vendorLibrary = kVendorD2xxLibrary);

// Registers the built-in provider. The link library calls it once at start,
// before anything asks for D2xx(): the provider lives in the link library,
// which this core library must not depend on. A provider registered after
// the table was chosen has no effect.
void SetBuiltInD2xxProvider(BuiltInD2xxMaker make);

// The process's table, chosen on the first call (thread-safe) from the
// environment and the registered built-in provider.
const D2xxTable& D2xx();

}  // namespace quorvel
