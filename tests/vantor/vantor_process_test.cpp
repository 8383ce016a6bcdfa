// The real vantor program on the test's own session bus, spoken to as the
// window speaks to it.
#include <gtest/gtest.h>
#include <signal.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <fstream>
#include <sstream>

#include "run/monitor_messages.h"
#include "vantor/trace_reader.h"

namespace quorvel {
namespace {

QString Latin(std::string_view text) {
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

QByteArray Bytes(const std::vector<uint8_t>& bytes) {
  return QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
}

// Hears every monitor's RETOPEN and RETCLOSE on the bus.
class Announcements : public QObject {
  Q_OBJECT

 public:
  explicit Announcements(QDBusConnection bus) {
    for (std::string_view name : {kMsgRetOpen, kMsgRetClose}) {
      bus.connect(QString(), QString(), Latin(kMonitorInterface), Latin(name), this,
                  SLOT(OnMessage(QDBusMessage)));
    }
  }
  // The sender of the first announcement `name` with the token, or empty.
  QString Sender(std::string_view name, const QString& token) const {
    for (const QDBusMessage& message : heard_) {
      if (message.member() == Latin(name) && !message.arguments().isEmpty() &&
          message.arguments()[0].toString() == token) {
        return message.service();
      }
    }
    return {};
  }

 private slots:
  void OnMessage(const QDBusMessage& message) { heard_.push_back(message); }

 private:
  std::vector<QDBusMessage> heard_;
};

constexpr int kWaitMs = 60000;

class VantorProcess : public ::testing::Test {
 protected:
  VantorProcess() : bus_(QDBusConnection::sessionBus()), heard_(bus_) {}

  // Starts vantor for a window with `token`; true once it said RETOPEN.
  bool Start(uint64_t token, TLinkKind kind, const std::string& port, const char* lang = "C",
             const char* edition = nullptr) {
    token_ = Latin(MonitorTokenText(token));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    environment.insert("LANG", lang);
    environment.remove("LC_ALL");
    environment.remove("LC_MESSAGES");
    environment.remove("QUORVEL_EDITION");
    if (edition != nullptr) environment.insert("QUORVEL_EDITION", edition);
    vantor_.setProcessEnvironment(environment);
    vantor_.start(QUORVEL_VANTOR, {"--dump-rows-on-close", dump(),
                                   QString::fromStdString(MonitorLaunchArgument(token, kind, port))});
    if (!vantor_.waitForStarted(kWaitMs)) return false;
    const bool announced =
        QTest::qWaitFor([&] { return !heard_.Sender(kMsgRetOpen, token_).isEmpty(); }, kWaitMs);
    monitor_ = heard_.Sender(kMsgRetOpen, token_);
    return announced;
  }

  void Send(std::string_view name, const QString& token, const QVariantList& more = {}) {
    QDBusMessage signal = QDBusMessage::createTargetedSignal(monitor_, Latin(kMonitorPath),
                                                             Latin(kMonitorInterface), Latin(name));
    signal << token;
    for (const QVariant& value : more) signal << value;
    ASSERT_TRUE(bus_.send(signal));
  }

  // True once vantor said RETCLOSE and ended with status 0.
  bool EndsCleanly() {
    const bool closed =
        QTest::qWaitFor([&] { return !heard_.Sender(kMsgRetClose, token_).isEmpty(); }, kWaitMs);
    const bool finished = vantor_.state() == QProcess::NotRunning || vantor_.waitForFinished(kWaitMs);
    EXPECT_EQ(heard_.Sender(kMsgRetClose, token_), monitor_);
    return closed && finished && vantor_.exitStatus() == QProcess::NormalExit &&
           vantor_.exitCode() == 0;
  }

  QString dump() const { return dir_.filePath("rows.txt"); }
  std::string DumpText() const {
    std::ifstream file(dump().toStdString());
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }

  ~VantorProcess() override {
    if (vantor_.state() != QProcess::NotRunning) {
      vantor_.kill();
      vantor_.waitForFinished(kWaitMs);
    }
  }

  QDBusConnection bus_;
  Announcements heard_;
  QTemporaryDir dir_;
  QProcess vantor_;
  QString token_;
  QString monitor_;
};

TEST_F(VantorProcess, ShowsTheBlocksOfItsOwnWindowOnlyAndClosesWhenAsked) {
  ASSERT_TRUE(Start(0x5EED1234ABCDull, TLinkKind::Serial, "/dev/ttyS0"));
  const std::vector<uint8_t> sent = {0xB0, 0x01};
  const std::vector<uint8_t> received = {0xB0, 0x01, 0x80, 0x01};
  Send(kMsgDevice, token_, {Bytes(DevicePayload(TLinkKind::Usb, "FT8CHARS"))});
  Send(kMsgDataSend, token_, {Bytes(sent)});
  Send(kMsgDataRec, token_, {Bytes(received)});
  // Another window's token, and messages of the wrong shape: ignored.
  Send(kMsgDataRec, QStringLiteral("5EED1234ABCE"), {Bytes({0xEE})});
  Send(kMsgDataRec, token_, {QStringLiteral("not bytes")});
  Send(kMsgDataSend, token_);
  Send(kMsgDataSend, token_, {Bytes({0xEE}), Bytes({0xEE})});
  Send(kMsgDevice, token_, {Bytes({7, 'X', 0})});
  Send(kMsgClose, QStringLiteral("5EED1234ABCE"));
  Send(kMsgShow, token_);
  Send(kMsgClose, token_);
  ASSERT_TRUE(EndsCleanly()) << vantor_.readAllStandardError().toStdString();

  const TraceFileContents shown = ReadTraceFile(dump().toStdString(), 100, 1 << 20);
  ASSERT_TRUE(shown.failure.empty()) << shown.failure;
  ASSERT_EQ(shown.rows.size(), 2u);
  TrafficDecoder decoder;
  EXPECT_EQ(shown.rows[0].direction, TrafficDirection::Sent);
  EXPECT_EQ(shown.rows[0].bytes, sent);
  EXPECT_EQ(shown.rows[0].meaning, decoder.Describe(TrafficDirection::Sent, sent));
  EXPECT_EQ(shown.rows[1].direction, TrafficDirection::Received);
  EXPECT_EQ(shown.rows[1].bytes, received);
  EXPECT_EQ(shown.rows[1].meaning, decoder.Describe(TrafficDirection::Received, received));
  EXPECT_EQ(shown.rows[1].port, "FT8CHARS");
  EXPECT_NE(DumpText().find("# Comm port buffer - USB FT8CHARS - Quorvel\n"), std::string::npos)
      << DumpText();
}

// Many blocks in a burst come through in wire order, none lost, over many
// batches of the view.
TEST_F(VantorProcess, KeepsEveryBlockOfABurstInOrder) {
  ASSERT_TRUE(Start(0xB0257, TLinkKind::Serial, "/dev/ttyS1"));
  std::vector<uint8_t> sentStream;
  std::vector<uint8_t> receivedStream;
  constexpr int kBlocks = 3000;
  for (int n = 0; n < kBlocks; ++n) {
    const std::vector<uint8_t> block = {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8),
                                        static_cast<uint8_t>(n * 7)};
    const bool sent = n % 3 != 2;
    (sent ? sentStream : receivedStream).insert((sent ? sentStream : receivedStream).end(),
                                                block.begin(), block.end());
    Send(sent ? kMsgDataSend : kMsgDataRec, token_, {Bytes(block)});
  }
  Send(kMsgClose, token_);
  ASSERT_TRUE(EndsCleanly()) << vantor_.readAllStandardError().toStdString();

  const TraceFileContents shown = ReadTraceFile(dump().toStdString(), kBlocks, 1 << 20);
  ASSERT_EQ(shown.rows.size(), static_cast<size_t>(kBlocks));
  std::vector<uint8_t> shownSent;
  std::vector<uint8_t> shownReceived;
  int64_t previous = 0;
  for (const TraceRow& row : shown.rows) {
    auto& stream = row.direction == TrafficDirection::Sent ? shownSent : shownReceived;
    stream.insert(stream.end(), row.bytes.begin(), row.bytes.end());
    EXPECT_GE(row.microseconds, previous);
    previous = row.microseconds;
  }
  EXPECT_EQ(shownSent, sentStream);
  EXPECT_EQ(shownReceived, receivedStream);
}

struct TitleCase {
  const char* lang;
  const char* edition;
  TLinkKind kind;
  const char* port;
  const char* title;
};

void PrintTo(const TitleCase& c, std::ostream* out) {
  *out << c.title;
}

class VantorTitle : public VantorProcess, public ::testing::WithParamInterface<TitleCase> {};

// The title names the link and the port of the launch argument, in the
// language and edition of the window that started the monitor.
TEST_P(VantorTitle, NamesTheLinkAndPortOfTheLaunch) {
  const TitleCase& c = GetParam();
  ASSERT_TRUE(Start(0xABC, c.kind, c.port, c.lang, c.edition));
  Send(kMsgClose, token_);
  ASSERT_TRUE(EndsCleanly());
  EXPECT_NE(DumpText().find(std::string("# ") + c.title + "\n"), std::string::npos) << DumpText();
}

INSTANTIATE_TEST_SUITE_P(
    Vantor, VantorTitle,
    ::testing::Values(
        TitleCase{"C", nullptr, TLinkKind::Serial, "/dev/ttyS0",
                  "Comm port buffer - COM /dev/ttyS0 - Quorvel"},
        TitleCase{"pl_PL.UTF-8", "1", TLinkKind::Usb, "",
                  "Bufor portu komunikacji - USB (brak portu) - QuorvelKMB"}));

class VantorStopSignal : public VantorProcess, public ::testing::WithParamInterface<int> {};

TEST_P(VantorStopSignal, SaysRetCloseAndEnds) {
  ASSERT_TRUE(Start(0xC0FFEE, TLinkKind::Usb, "FT000001"));
  ASSERT_EQ(::kill(static_cast<pid_t>(vantor_.processId()), GetParam()), 0);
  EXPECT_TRUE(EndsCleanly());
}

INSTANTIATE_TEST_SUITE_P(Signals, VantorStopSignal, ::testing::Values(SIGTERM, SIGHUP));

struct BadStart {
  const char* name;
  QStringList arguments;
  const char* busAddress;  // nullptr: the test's own bus
  int exitCode;
};

void PrintTo(const BadStart& c, std::ostream* out) {
  *out << c.name;
}

class VantorBadStart : public ::testing::TestWithParam<BadStart> {};

TEST_P(VantorBadStart, SaysWhyAndEnds) {
  const BadStart& c = GetParam();
  QProcess vantor;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("QT_QPA_PLATFORM", "offscreen");
  if (c.busAddress != nullptr) environment.insert("DBUS_SESSION_BUS_ADDRESS", c.busAddress);
  vantor.setProcessEnvironment(environment);
  vantor.start(QUORVEL_VANTOR, c.arguments);
  ASSERT_TRUE(vantor.waitForFinished(kWaitMs));
  EXPECT_EQ(vantor.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(vantor.exitCode(), c.exitCode);
  EXPECT_FALSE(vantor.readAllStandardError().isEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Vantor, VantorBadStart,
    ::testing::Values(
        BadStart{"MalformedArgument", {"ParentHandle12|Index0|Parameters1010133|Device7COM1"},
                 nullptr, 2},
        BadStart{"NeitherArgumentNorFile", {"/nonexistent/trace.txt"}, nullptr, 2},
        BadStart{"TwoArguments", {"a", "b"}, nullptr, 2},
        BadStart{"NotATrace", {QUORVEL_VANTOR}, nullptr, 2},
        BadStart{"NoSessionBus", {"ParentHandle12|Index0|Parameters1010133|Device0COM1"},
                 "unix:path=/nonexistent/bus", 1}),
    [](const auto& info) { return std::string(info.param.name); });

// Help and the version are answered without a display: a platform that does
// not exist would end the program if it started the toolkit.
TEST(VantorAnswers, HelpAndVersionNeedNoDisplay) {
  const struct {
    const char* word;
    const char* starts;
  } cases[] = {{"--help", "Usage:\n  vantor LAUNCH_ARGUMENT"},
               {"-h", "Usage:"},
               {"--version", "vantor "}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.word);
    QProcess vantor;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "no-such-platform");
    environment.insert("LANG", "C.UTF-8");
    environment.remove("LC_ALL");
    vantor.setProcessEnvironment(environment);
    vantor.start(QUORVEL_VANTOR, {c.word});
    ASSERT_TRUE(vantor.waitForFinished(kWaitMs));
    EXPECT_EQ(vantor.exitCode(), 0);
    EXPECT_TRUE(vantor.readAllStandardOutput().startsWith(c.starts));
  }
}

}  // namespace
}  // namespace quorvel

#include "vantor_process_test.moc"
