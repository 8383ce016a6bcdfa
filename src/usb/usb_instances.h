// What the USB link components of all running instances share: the change
// notice they send each other on the D-Bus session bus (interface
// pl.varneld.Quorvel, signal FT8U2xxDeviceChange, the notice bytes and the
// sender's token as payload), the count of USB devices open in all
// instances (a 4-byte shared file mapping under $XDG_RUNTIME_DIR), and the
// lock held around every enumeration of the driver's devices (an flock on a
// file there). Without a session bus or a runtime folder each instance
// works alone.
#pragma once

#include <QDBusMessage>
#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <string>

namespace quorvel {

inline constexpr const char* kUsbNoticeInterface = "pl.varneld.Quorvel";
inline constexpr const char* kUsbNoticePath = "/pl/varneld/Quorvel/FT8U2xx";
inline constexpr const char* kUsbNoticeSignal = "FT8U2xxDeviceChange";
// The names of the shared objects, after those of the instances' protocol.
inline constexpr const char* kOpenCountName = "VARNELD USB FT8U2xx DeviceChangeBufOpenPortCount";
inline constexpr const char* kEnumerationLockName =
    "VARNELD USB FT8U2xx DeviceChangeMutexGetUSBDevices";

// One component's end of the change notices. Every channel of a process
// shares one subscription to the signal, made on first use and kept until
// the process ends: connecting and disconnecting a bus match per component
// would leave the bus's answers pending at exit.
class UsbNoticeChannel {
 public:
  // received: run on the main thread with a notice of another component
  // (of this or another process); readable is false when the message did
  // not carry one in the expected form or size (the receiver then builds its
  // list again).
  using Received = std::function<void(const std::string& bytes, bool readable)>;
  explicit UsbNoticeChannel(Received received);
  ~UsbNoticeChannel();
  UsbNoticeChannel(const UsbNoticeChannel&) = delete;
  UsbNoticeChannel& operator=(const UsbNoticeChannel&) = delete;

  bool Connected() const;
  void Publish(const std::string& notice);

 private:
  Received received_;
  QString token_;
  uint64_t id_ = 0;

  friend class UsbNoticeBus;
};

// The count of USB devices open in all instances of this user. A plain word
// without a lock, as the instances' protocol has it.
class SharedOpenCount {
 public:
  static SharedOpenCount& Instance();
  uint32_t Value() const;
  void Add(int32_t delta);  // never below 0

 private:
  SharedOpenCount();
  uint32_t* word_ = nullptr;
  uint32_t local_ = 0;  // when there is no shared mapping
};

// Held around an enumeration of the driver's devices; waits for the other
// instances' enumerations. Without a runtime folder it holds nothing.
class EnumerationLock {
 public:
  EnumerationLock();
  ~EnumerationLock();
  EnumerationLock(const EnumerationLock&) = delete;
  EnumerationLock& operator=(const EnumerationLock&) = delete;

 private:
  int fd_ = -1;
};

// The file of a shared object in the user's runtime folder; empty when
// there is no runtime folder.
std::string SharedObjectPath(const char* name);

}  // namespace quorvel
