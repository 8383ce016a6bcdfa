// Test support for the serial link: a pseudo-terminal playing the
// instrument, running the Qt event loop for a while, a log of every event of
// a component, and a second instance in its own process.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "serial/comm32kx.h"
#include "serial/port_list.h"
#include "serial/port_list_service.h"

namespace quorvel::testing {

using Bytes = std::vector<uint8_t>;

// Runs the event loop for ms milliseconds.
inline void SpinFor(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

// Runs the event loop for the time an opened port gets before its first
// frame goes out.
inline void SettleAfterOpen() {
  SpinFor(TComm32Kx::kSettleAfterOpenMs + 20);
}

// A pseudo-terminal: the component opens the slave by its path, the test
// plays the instrument on the master. The slave stays open here too, so
// that the pair lives on while the component closes and reopens it.
class Pty {
 public:
  Pty() {
    if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) return;
    path_ = ttyname(slave_);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  }
  ~Pty() {
    CloseMaster();
    if (slave_ >= 0) close(slave_);
  }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  bool Ok() const { return master_ >= 0 && !path_.empty(); }
  const std::string& Path() const { return path_; }
  int Master() const { return master_; }
  int Slave() const { return slave_; }
  void CloseMaster() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }

  // Writes all bytes to the master (the instrument sends).
  bool Write(const Bytes& bytes) const {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
        continue;
      }
      pollfd fd{master_, POLLOUT, 0};
      if (poll(&fd, 1, 1000) <= 0) return false;
    }
    return true;
  }

  // Reads from the master until `want` bytes came or timeoutMs passed.
  Bytes Read(size_t want, int timeoutMs) const {
    Bytes got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got.size() < want) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) break;
      pollfd fd{master_, POLLIN, 0};
      if (poll(&fd, 1, static_cast<int>(left)) <= 0) break;
      uint8_t buf[4096];
      const ssize_t n = read(master_, buf, sizeof buf);
      if (n <= 0) break;
      got.insert(got.end(), buf, buf + n);
    }
    return got;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

// Everything a component reported, in order.
struct EventLog {
  std::vector<Bytes> chunks;
  std::vector<TLinkStatus> statuses;
  std::vector<std::string> statusTexts;
  Bytes written;
  int writeReports = 0;
  int respTimeOvers = 0;
  int portChanges = 0;
  int listChanges = 0;

  void Attach(TComm32Kx& comm) {
    comm.OnReceive = [this](TComm32Kx*, const uint8_t* buf, uint32_t size) {
      chunks.emplace_back(buf, buf + size);
    };
    comm.OnCOMStatus = [this](TComm32Kx*, TLinkStatus code, const std::string& text) {
      statuses.push_back(code);
      statusTexts.push_back(text);
    };
    comm.OnTxdEmpty = [this](TComm32Kx*, const uint8_t* buf, uint32_t size) {
      written.insert(written.end(), buf, buf + size);
      ++writeReports;
    };
    comm.OnRespTimeOver = [this](TComm32Kx*) { ++respTimeOvers; };
    comm.OnPortChange = [this](TComm32Kx*) { ++portChanges; };
    comm.OnPortListChange = [this](TComm32Kx*) { ++listChanges; };
  }
  void Clear() { *this = EventLog(); }
  Bytes Received() const {
    Bytes all;
    for (const Bytes& chunk : chunks) all.insert(all.end(), chunk.begin(), chunk.end());
    return all;
  }
};

inline Bytes Pattern(size_t size, uint8_t seed = 0) {
  Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
  return bytes;
}

// Makes the extra ports of the process exactly the colon-separated `value`:
// components made afterwards list them, the others once the event loop ran
// (or at their next RefreshPortList).
inline void SetExtraPorts(const std::string& value) {
  PortListService& service = PortListService::Instance();
  const std::vector<std::string> old = service.ExtraPorts();
  for (auto it = old.rbegin(); it != old.rend(); ++it) service.RemoveExtraPort(*it);
  for (const std::string& path : SplitPortList(value)) service.AddExtraPort(path);
}

// A second instance of the program in its own process (serial_peer): it
// selects `port` at start and lets it go when its standard input ends.
// ThreadSanitizer options for a process that runs as another user: that user
// may not read a suppressions file inside a private checkout, and the
// sanitizer refuses to start without it, so the file is copied to a readable
// place once.
inline QString TsanOptionsForAnotherUser(const QString& options) {
  static const QRegularExpression suppressions("suppressions=(\\S+)");
  const QRegularExpressionMatch match = suppressions.match(options);
  if (!match.hasMatch()) return options;
  static const QString copy = [&match] {
    const QString path = QDir::temp().filePath(
        QString("quorvel-tsan-%1.supp").arg(QCoreApplication::applicationPid()));
    QFile::remove(path);
    QFile::copy(match.captured(1), path);
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                    QFileDevice::ReadGroup | QFileDevice::ReadOther);
    return path;
  }();
  QString result = options;
  result.replace(match.capturedStart(1), match.capturedLength(1), copy);
  return result;
}

class Peer {
 public:
  enum class User : uint8_t {
    Same,  // the tests' own user
    // An ordinary user, whom the kernel refuses what it lets root do: the
    // tests' own user when that is not root, else `nobody` (through setpriv).
    Unprivileged,
  };

  // False when an unprivileged process cannot be started here.
  static bool CanRunUnprivileged() {
    return geteuid() != 0 ||
           (!QStandardPaths::findExecutable("setpriv").isEmpty() && getpwnam("nobody") != nullptr);
  }

  // True once the peer reported its status line.
  bool Start(const std::string& port, bool broadcast = true, User user = User::Same) {
    QStringList args{QString::fromStdString(port)};
    if (!broadcast) args << "--no-broadcast";
    if (user == User::Unprivileged && geteuid() == 0) {
      const passwd* nobody = getpwnam("nobody");
      const QString setpriv = QStandardPaths::findExecutable("setpriv");
      if (nobody == nullptr || setpriv.isEmpty()) return false;
      args.prepend(SERIAL_PEER_PATH);
      args.prepend("--clear-groups");
      args.prepend(QString("--regid=%1").arg(nobody->pw_gid));
      args.prepend(QString("--reuid=%1").arg(nobody->pw_uid));
      process_.setProgram(setpriv);
      // Another user has no way onto this user's session bus.
      QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
      env.remove("DBUS_SESSION_BUS_ADDRESS");
      env.remove("XDG_RUNTIME_DIR");
      if (env.contains("TSAN_OPTIONS")) {
        env.insert("TSAN_OPTIONS", TsanOptionsForAnotherUser(env.value("TSAN_OPTIONS")));
      }
      process_.setProcessEnvironment(env);
    } else {
      process_.setProgram(SERIAL_PEER_PATH);
    }
    process_.setArguments(args);
    process_.start();
    if (!process_.waitForStarted(5000)) return false;
    return QTest::qWaitFor([&] { return Output().contains("status"); }, 10000);
  }
  // Closes its standard input: it lets the port go as the program does.
  void Release() { process_.closeWriteChannel(); }
  // Kills it with SIGKILL: nothing of its own runs any more.
  bool Kill() {
    process_.kill();
    return process_.waitForFinished(5000);
  }
  QString Output() {
    output_ += QString::fromLocal8Bit(process_.readAllStandardOutput());
    return output_;
  }
  // The status and the time the port selection took, from its status line.
  std::optional<TLinkStatus> Status() {
    const std::optional<int> code = Field(1);
    if (!code) return std::nullopt;
    return static_cast<TLinkStatus>(*code);
  }
  std::optional<int> SelectMs() { return Field(2); }

  ~Peer() {
    if (process_.state() != QProcess::NotRunning) {
      process_.closeWriteChannel();
      if (!process_.waitForFinished(5000)) process_.kill();
      process_.waitForFinished(2000);
    }
  }

 private:
  QProcess process_;
  QString output_;

  std::optional<int> Field(int index) {
    const QRegularExpressionMatch match =
        QRegularExpression(R"(status (\d+) after (\d+) ms)").match(Output());
    if (!match.hasMatch()) return std::nullopt;
    return match.captured(index).toInt();
  }
};

// A component (English texts) whose port list offers one pseudo-terminal;
// its events are recorded in log_.
class PtyComponentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty_.Ok());
    SetExtraPorts(pty_.Path());
    comm_ = std::make_unique<TComm32Kx>(nullptr, 1);
    log_.Attach(*comm_);
  }
  void TearDown() override { comm_.reset(); }

  // Selects the pseudo-terminal, lets it settle (the first frame waits for
  // that) and forgets the events of the open; true when the port is open.
  bool OpenPort() {
    comm_->SetCOMPort(pty_.Path());
    SettleAfterOpen();
    log_.Clear();
    return comm_->IsOpen();
  }

  Pty pty_;
  std::unique_ptr<TComm32Kx> comm_;
  EventLog log_;
};

}  // namespace quorvel::testing
