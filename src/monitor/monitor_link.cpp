#include "monitor/monitor_link.h"

#include <QCoreApplication>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>

#include "app/globals.h"
#include "run/monitor_messages.h"
#include "serial/port_handover.h"

namespace quorvel {

namespace {

constexpr TextPair kNoSessionBus{
    "Bufor portu komunikacji wymaga magistrali sesji D-Bus, której tu nie ma.",
    "The comm port buffer needs a D-Bus session bus, and there is none here."};
constexpr TextPair kNoMonitorProgram{
    "Nie znaleziono programu vantor (ani obok tego programu, ani w $PATH).",
    "The vantor program was not found (neither beside this program nor on $PATH)."};
constexpr TextPair kMonitorNotStarted{"Nie udało się uruchomić programu %1.",
                                      "The program %1 could not be started."};

QString Name(std::string_view text) {
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

QString Text(const TextPair& pair) {
  const std::string_view text = pair.text();
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QByteArray Bytes(std::span<const uint8_t> bytes) {
  return QByteArray(reinterpret_cast<const char*>(bytes.data()),
                    static_cast<qsizetype>(bytes.size()));
}

}  // namespace

MonitorLink::MonitorLink(QObject* parent)
    : QObject(parent), bus_(QDBusConnection(QStringLiteral("quorvel-no-bus"))) {
  // A token of 64 random bits, never 0 (0 stands for no window).
  do {
    tokenValue_ = QRandomGenerator::system()->generate64();
  } while (tokenValue_ == 0);
  token_ = QString::fromStdString(MonitorTokenText(tokenValue_));
  answerTimer_.setSingleShot(true);
  answerTimer_.setInterval(kAnswerTimeoutMs);
  connect(&answerTimer_, &QTimer::timeout, this, &MonitorLink::Forget);
  roundTripPause_.setSingleShot(true);
  roundTripPause_.setInterval(kRoundTripPauseMs);
  connect(&roundTripPause_, &QTimer::timeout, this, &MonitorLink::AskForRoundTrip);
  if (!SessionBusExpected()) return;
  bus_ = SessionBus();
  if (!bus_.isConnected()) return;
  const QString interface = Name(kMonitorInterface);
  listening_ = bus_.connect(QString(), QString(), interface, Name(kMsgRetOpen), this,
                            SLOT(RetOpen(QDBusMessage))) &&
               bus_.connect(QString(), QString(), interface, Name(kMsgRetClose), this,
                            SLOT(RetClose(QDBusMessage)));
  // The matches are in force before a monitor can announce itself.
  if (listening_) FlushSessionBus();
}

MonitorLink::~MonitorLink() {
  if (!listening_) return;
  const QString interface = Name(kMonitorInterface);
  bus_.disconnect(QString(), QString(), interface, Name(kMsgRetOpen), this,
                  SLOT(RetOpen(QDBusMessage)));
  bus_.disconnect(QString(), QString(), interface, Name(kMsgRetClose), this,
                  SLOT(RetClose(QDBusMessage)));
}

QString MonitorLink::MonitorProgram() {
  const QString name = Name(kMonitorProgram);
  const QString beside = QCoreApplication::applicationDirPath() + QLatin1Char('/') + name;
  if (QFileInfo(beside).isExecutable()) return beside;
  return QStandardPaths::findExecutable(name);
}

QString MonitorLink::LaunchProblem() const {
  if (!listening_) return Text(kNoSessionBus);
  if (MonitorProgram().isEmpty()) return Text(kNoMonitorProgram);
  return {};
}

bool MonitorLink::Launch(TLinkKind kind, const std::string& port) {
  if (!LaunchProblem().isEmpty()) return false;
  const QString program = MonitorProgram();
  const QString argument =
      QString::fromStdString(MonitorLaunchArgument(tokenValue_, kind, port));
  // The monitor shows the edition of the window that started it.
  QProcess process;
  process.setProgram(program);
  process.setArguments({argument});
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("QUORVEL_EDITION"), QString::number(Edition));
  process.setProcessEnvironment(environment);
  return process.startDetached();
}

bool MonitorLink::FromOurMonitor(const QDBusMessage& message) const {
  const QList<QVariant> arguments = message.arguments();
  return arguments.size() == 1 && arguments[0].metaType() == QMetaType::fromType<QString>() &&
         arguments[0].toString() == token_;
}

void MonitorLink::RetOpen(const QDBusMessage& message) {
  if (!FromOurMonitor(message) || message.service().isEmpty()) return;
  if (message.service() == monitorName_) return;
  if (Known()) Forget();  // a second monitor takes the place of the first
  monitorName_ = message.service();
  ++generation_;
  sent_ = 0;
  confirmed_ = 0;
  roundTripOpen_ = false;
  watcher_ = new QDBusServiceWatcher(monitorName_, bus_,
                                     QDBusServiceWatcher::WatchForUnregistration, this);
  connect(watcher_, &QDBusServiceWatcher::serviceUnregistered, this, &MonitorLink::Forget);
  emit opened();
}

void MonitorLink::RetClose(const QDBusMessage& message) {
  // Only the monitor itself says it has closed.
  if (!FromOurMonitor(message) || message.service() != monitorName_ || !Known()) return;
  Forget();
}

void MonitorLink::Forget() {
  if (!Known()) return;
  monitorName_.clear();
  waiting_.clear();
  answerTimer_.stop();
  roundTripPause_.stop();
  roundTripOpen_ = false;
  delete watcher_;
  watcher_ = nullptr;
  ++generation_;
  emit closed();
}

void MonitorLink::Send(std::string_view name, const QList<QVariant>& arguments) {
  if (!Known()) return;
  if (sent_ - confirmed_ >= kMaxUnconfirmed) {
    // So far behind that it cannot be keeping up: it is given up at once.
    Forget();
    return;
  }
  QDBusMessage message = QDBusMessage::createTargetedSignal(
      monitorName_, Name(kMonitorPath), Name(kMonitorInterface), Name(name));
  QList<QVariant> all{token_};
  all.append(arguments);
  message.setArguments(all);
  waiting_.push_back(std::move(message));
  ++sent_;
  // The messages go when the event at hand has been handled: a received
  // block's message then follows the frame the engine sends in answer to
  // it onto its way, instead of waking the bus, its daemon and the monitor
  // in front of it; and a block's pair of messages goes out together.
  if (!flushQueued_) {
    flushQueued_ = true;
    QMetaObject::invokeMethod(this, &MonitorLink::SendWaiting, Qt::QueuedConnection);
  }
}

void MonitorLink::SendWaiting() {
  flushQueued_ = false;
  if (waiting_.empty()) return;
  for (const QDBusMessage& message : waiting_) bus_.send(message);
  waiting_.clear();
  // The monitor's time to answer runs from the oldest message not yet
  // confirmed.
  if (!answerTimer_.isActive()) answerTimer_.start();
  AskForRoundTrip();
}

void MonitorLink::AskForRoundTrip() {
  // One round trip at a time, and a pause after each: a round trip per
  // block would double the messages a run puts on the bus.
  // Messages still waiting are not behind it yet: their flush asks.
  if (roundTripOpen_ || roundTripPause_.isActive() || !Known() || sent_ == confirmed_ ||
      !waiting_.empty()) {
    return;
  }
  roundTripOpen_ = true;
  const uint64_t sequence = sent_;
  const uint64_t generation = generation_;
  const QDBusMessage ping = QDBusMessage::createMethodCall(
      monitorName_, QStringLiteral("/"), QStringLiteral("org.freedesktop.DBus.Peer"),
      QStringLiteral("Ping"));
  auto* call = new QDBusPendingCallWatcher(bus_.asyncCall(ping, kAnswerTimeoutMs * 4), this);
  connect(call, &QDBusPendingCallWatcher::finished, this,
          [this, call, sequence, generation] {
            call->deleteLater();
            if (generation != generation_) return;
            if (call->isError()) {
              Forget();
              return;
            }
            RoundTripAnswered(sequence);
          });
}

void MonitorLink::RoundTripAnswered(uint64_t sequence) {
  roundTripOpen_ = false;
  confirmed_ = sequence;
  answerTimer_.stop();
  if (sent_ != confirmed_) answerTimer_.start();
  roundTripPause_.start();
}

void MonitorLink::SendDevice(TLinkKind kind, const std::string& port) {
  const std::vector<uint8_t> payload = DevicePayload(kind, port);
  Send(kMsgDevice, {Bytes(payload)});
}

void MonitorLink::Show() {
  Send(kMsgShow, {});
}

void MonitorLink::Close() {
  Send(kMsgClose, {});
  // The window closes: no later event would send it.
  SendWaiting();
}

void MonitorLink::SendData(TrafficDirection direction, std::span<const uint8_t> bytes) {
  if (bytes.empty()) return;
  Send(direction == TrafficDirection::Sent ? kMsgDataSend : kMsgDataRec, {Bytes(bytes)});
}

}  // namespace quorvel
