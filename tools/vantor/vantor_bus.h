// The monitor's side of its link to the program's window on the session
// bus: it hears the window's messages that carry its token (every other
// one, and every one with arguments of the wrong shape, is ignored), and
// says RETOPEN once it listens and RETCLOSE when it goes.
#pragma once

#include <QByteArray>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QString>
#include <cstdint>

#include "run/monitor_messages.h"
#include "run/traffic_decoder.h"

namespace quorvel {

class VantorBus : public QObject {
  Q_OBJECT

 public:
  VantorBus(QDBusConnection bus, uint64_t token, QObject* parent = nullptr);

  // Starts listening, then says RETOPEN: the window may speak as soon as it
  // hears it.
  bool Open();
  // Says RETCLOSE and waits (at most timeoutMs) until the bus has taken it,
  // so that it is not lost when the process ends right after.
  void AnnounceClose(int timeoutMs = 2000);

 signals:
  void DeviceChanged(const quorvel::MonitorDevice& device);
  void ShowAsked();
  void CloseAsked();
  void Block(quorvel::TrafficDirection direction, const QByteArray& bytes);

 private slots:
  void OnMessage(const QDBusMessage& message);

 private:
  void Announce(std::string_view name);

  QDBusConnection bus_;
  const QString token_;
};

}  // namespace quorvel
