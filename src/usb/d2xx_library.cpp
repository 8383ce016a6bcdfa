#include "usb/d2xx_library.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdlib>
#include <string_view>

namespace quorvel {
namespace {

template <typename Pointer>
void Bind(void* library, const char* name, Pointer& slot) {
  slot = reinterpret_cast<Pointer>(dlsym(library, name));
}

std::atomic<BuiltInD2xxMaker> builtInMaker{nullptr};

D2xxTable BuiltInTable(BuiltInD2xxMaker builtIn) {
  D2xxTable table;
  if (builtIn == nullptr) return table;
  table.fn = builtIn();
  table.source = D2xxTable::Source::BuiltIn;
  return table;
}

}  // namespace

D2xxTable LoadD2xxLibrary(const std::string& path) {
  D2xxTable table;
  // An empty name would give the main program's own symbols.
  if (path.empty()) return table;
  // Never closed: the pointers are used until the process ends.
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return table;
  table.source = D2xxTable::Source::Vendor;
  table.path = path;
  d2xx::Functions& fn = table.fn;
#define QUORVEL_BIND_D2XX(name) Bind(library, #name, fn.name)
  QUORVEL_BIND_D2XX(FT_CreateDeviceInfoList);
  QUORVEL_BIND_D2XX(FT_GetDeviceInfoList);
  QUORVEL_BIND_D2XX(FT_W32_CreateFile);
  QUORVEL_BIND_D2XX(FT_W32_CloseHandle);
  QUORVEL_BIND_D2XX(FT_W32_ReadFile);
  QUORVEL_BIND_D2XX(FT_W32_WriteFile);
  QUORVEL_BIND_D2XX(FT_W32_GetOverlappedResult);
  QUORVEL_BIND_D2XX(FT_W32_GetLastError);
  QUORVEL_BIND_D2XX(FT_W32_ClearCommBreak);
  QUORVEL_BIND_D2XX(FT_W32_ClearCommError);
  QUORVEL_BIND_D2XX(FT_W32_GetCommState);
  QUORVEL_BIND_D2XX(FT_W32_SetCommState);
  QUORVEL_BIND_D2XX(FT_W32_GetCommTimeouts);
  QUORVEL_BIND_D2XX(FT_W32_SetCommTimeouts);
  QUORVEL_BIND_D2XX(FT_W32_SetupComm);
  QUORVEL_BIND_D2XX(FT_W32_SetCommMask);
  QUORVEL_BIND_D2XX(FT_W32_WaitCommEvent);
  QUORVEL_BIND_D2XX(FT_W32_PurgeComm);
#undef QUORVEL_BIND_D2XX
  return table;
}

D2xxTable ChooseD2xxProvider(const char* envValue, BuiltInD2xxMaker builtIn,
                             const std::string& vendorLibrary) {
  const std::string_view choice = envValue == nullptr ? std::string_view() : envValue;
  if (choice == kBuiltInD2xxName) return BuiltInTable(builtIn);
  if (!choice.empty()) return LoadD2xxLibrary(std::string(choice));
  D2xxTable vendor = LoadD2xxLibrary(vendorLibrary);
  if (vendor.source == D2xxTable::Source::Vendor) return vendor;
  return BuiltInTable(builtIn);
}

void SetBuiltInD2xxProvider(BuiltInD2xxMaker make) {
  builtInMaker.store(make);
}

const D2xxTable& D2xx() {
  static const D2xxTable table =
      ChooseD2xxProvider(std::getenv(kD2xxLibraryVariable), builtInMaker.load());
  return table;
}

}  // namespace quorvel
