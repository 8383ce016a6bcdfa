// MonitorLink: the main window's side of the port-buffer monitor (the
// `vantor` program). It launches the monitor with the window's token, hears
// its announcement and its closing, and tells it the port in use and every
// block on the line.
//
// The run never waits on the monitor: every message is queued to the bus
// and the link goes on. To know that the monitor keeps up, the link asks
// its bus name for a round trip (Peer.Ping) behind what it sent; a monitor
// that has not answered for 1 s, whose bus name has gone, or that is more
// than a bounded number of messages behind counts as closed, as if it had
// said so. A stopped or hung monitor costs a run nothing but its mirror.
#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "run/device_types.h"
#include "run/traffic_decoder.h"

class QDBusServiceWatcher;

namespace quorvel {

class MonitorLink : public QObject {
  Q_OBJECT
 public:
  explicit MonitorLink(QObject* parent = nullptr);
  ~MonitorLink() override;

  // What stands in the way of a monitor, in the current Language: no session
  // bus, or no monitor program; empty when a launch can be tried.
  QString LaunchProblem() const;
  // Starts the monitor program with the link kind and port to show; false
  // (LaunchProblem says why) when it could not be started. A monitor that
  // starts announces itself later (opened).
  bool Launch(TLinkKind kind, const std::string& port);

  // A monitor has announced itself and has not closed.
  bool Known() const { return !monitorName_.isEmpty(); }

  // Each does nothing while no monitor is known.
  void SendDevice(TLinkKind kind, const std::string& port);
  void Show();
  void Close();
  void SendData(TrafficDirection direction, std::span<const uint8_t> bytes);

  // The token the monitor was given (tests use it to speak as a monitor).
  const QString& Token() const { return token_; }
  // The monitor program the link launches: `vantor` beside the program's
  // executable, then on $PATH; empty when there is none.
  static QString MonitorProgram();

  // Longest time a monitor may leave a round trip unanswered, and the most
  // messages it may be behind.
  static constexpr int kAnswerTimeoutMs = 1000;
  static constexpr uint64_t kMaxUnconfirmed = 4096;
  // The least time between two round trips.
  static constexpr int kRoundTripPauseMs = 100;

 signals:
  // The monitor announced itself.
  void opened();
  // The monitor closed, went away or stopped keeping up.
  void closed();

 private slots:
  void RetOpen(const QDBusMessage& message);
  void RetClose(const QDBusMessage& message);

 private:
  void Send(std::string_view name, const QList<QVariant>& arguments);
  void SendWaiting();
  void AskForRoundTrip();
  void RoundTripAnswered(uint64_t sequence);
  void Forget();
  bool FromOurMonitor(const QDBusMessage& message) const;

  QString token_;
  uint64_t tokenValue_ = 0;
  QDBusConnection bus_;
  bool listening_ = false;
  // The monitor's bus name; empty while none is known.
  QString monitorName_;
  QDBusServiceWatcher* watcher_ = nullptr;
  // Messages sent to the current monitor, and the count its last answered
  // round trip stood behind.
  uint64_t sent_ = 0;
  uint64_t confirmed_ = 0;
  // Messages for the current monitor that wait for the end of the event at
  // hand, in order.
  std::vector<QDBusMessage> waiting_;
  bool flushQueued_ = false;
  bool roundTripOpen_ = false;
  // Ends a monitor's time to answer.
  QTimer answerTimer_;
  QTimer roundTripPause_;
  // Stands for this monitor's lifetime: answers for an earlier one are not
  // counted.
  uint64_t generation_ = 0;
};

}  // namespace quorvel
