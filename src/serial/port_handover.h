// Hand-over of a serial port between running instances: an instance that
// lets a port go says so on the D-Bus session bus (interface
// pl.varneld.Quorvel, signal Comm32KxMessagePortFree, the port name as its
// payload, then the sender's token, then the name's bytes); the others hear
// it and may take the port, the one whose name is the same byte for byte.
// Without a session bus every call here does nothing.
#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QString>
#include <functional>
#include <string>

namespace quorvel {

inline constexpr const char* kHandoverInterface = "pl.varneld.Quorvel";
inline constexpr const char* kHandoverPath = "/pl/varneld/Quorvel";
inline constexpr const char* kPortFreeSignal = "Comm32KxMessagePortFree";

// A session bus is there when its address is given, or at the standard
// place of a per-user bus. Nothing here ever starts one: a connection
// attempt without either could launch a bus daemon of its own.
bool SessionBusExpected();

// The process's session-bus connection. Every user of the bus takes it
// from here, so that the first call, which makes Qt's D-Bus thread, is made
// in one place.
QDBusConnection SessionBus();

// Waits until everything this process has queued for the session bus (a
// signal, a bus match) has reached the bus daemon, at most timeoutMs:
// Qt's D-Bus thread sends in the order queued, and the daemon answers a
// round trip queued behind them only after it has handled them. Without a
// session bus, or before this process has used it, there is nothing to wait
// for. Before a process ends, its last messages (a port let go, a converter
// released) would otherwise go with it; after a bus match, signals sent
// from then on are heard.
void FlushSessionBus(int timeoutMs = 5000);

class PortHandover : public QObject {
  Q_OBJECT
 public:
  // portFree: run on the main thread with the name of a port a component of
  // another process let go (this process's own announcements are left out:
  // the port-list service passes those on itself).
  explicit PortHandover(std::function<void(const std::string&)> portFree,
                        QObject* parent = nullptr);
  ~PortHandover() override;

  // True when connected to a session bus.
  bool Connected() const { return connected_; }

  // Announces the port as free to every other process.
  void AnnounceFree(const std::string& portName);

  // How many listeners exist in this process (the service keeps one).
  static int LiveCount() { return liveCount_; }

 private Q_SLOTS:
  void PortFreeMessage(const QDBusMessage& message);

 private:
  static inline int liveCount_ = 0;  // main thread only

  std::function<void(const std::string&)> portFree_;
  QString token_;  // tells this process's own announcements apart
  bool connected_ = false;
};

}  // namespace quorvel
