// End to end: runs that something interrupts from outside (a stop signal,
// a reader that goes away, a port the user may not open, an instrument that
// stops for a while or hangs up) against quorvel-sim on a pseudo-terminal.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <optional>

#include "program_fixture.h"

namespace quorvel::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kBlockAcknowledged = "- Writing data block: ";

TEST_F(ProgramEndToEnd, StopSignalsEndTheRunAsTheStopButtonAndFreeThePort) {
  // 2 KiB at 9600 bit/s: eight blocks, about two seconds of transfer.
  const std::string file = ShortSampleHex(128);
  const std::string port = StartSim({"--device", "KV-310"});
  for (const int number : {SIGTERM, SIGHUP}) {
    SCOPED_TRACE(strsignal(number));
    bool signalled = false;
    const ProcessResult stopped = RunProcess(
        ProgramArgs({"--device", "KV-310", "--port", port, file}), {"LC_ALL=C"},
        std::chrono::seconds(60), {}, [&signalled, number](pid_t pid, const ProcessResult& sofar) {
          if (!signalled && sofar.out.find(kBlockAcknowledged) != std::string::npos) {
            signalled = true;
            kill(pid, number);
          }
          return true;
        });
    ASSERT_TRUE(signalled) << stopped.out << stopped.err;
    EXPECT_EQ(stopped.exitCode, 1) << stopped.out << stopped.err;
    EXPECT_NE(stopped.out.find("- User abort\n"), std::string::npos) << stopped.out;
    EXPECT_NE(stopped.out.find("KV-310 programming was unsuccessful.\n\nUser abort."),
              std::string::npos)
        << stopped.out;

    // The port was closed and its lock let go: the next run gets it at once.
    const ProcessResult next = Program({"--device", "KV-310", "--port", port, file});
    EXPECT_EQ(next.exitCode, 0) << next.out << next.err;
    EXPECT_EQ(next.out.find("Busy"), std::string::npos) << next.out;
  }
  ExpectReceivedEqualsFile(file);
}

TEST_F(ProgramEndToEnd, ReaderThatGoesAwayDoesNotEndTheRun) {
  const std::string port = StartSim({"--device", "KV-310", "--baud", "115200"});
  // As "quorvel-cli program ... | head -1": the log's reader leaves after
  // its first line.
  const ProcessResult run = RunProcess(
      ProgramArgs({"--device", "KV-310", "--port", port, "--baud", "115200", SampleHex()}),
      {"LC_ALL=C"}, std::chrono::seconds(60), {},
      [](pid_t, const ProcessResult& sofar) { return sofar.out.find('\n') == std::string::npos; });
  EXPECT_EQ(run.exitCode, 0) << run.err;
  // The reader left long before the end of the run.
  EXPECT_EQ(run.out.find("programming"), std::string::npos) << run.out;
  ExpectReceivedEqualsFile(SampleHex());
}

// A pseudo-terminal that stays open on the master side; its slave is the
// port under test.
class PseudoTerminal {
 public:
  PseudoTerminal() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) {
      slave_ = ptsname(master_);
    }
  }
  ~PseudoTerminal() {
    if (master_ >= 0) close(master_);
  }
  const std::string& Slave() const { return slave_; }

 private:
  int master_ = -1;
  std::string slave_;
};

std::string GroupName(gid_t gid) {
  const group* entry = getgrgid(gid);
  return entry != nullptr ? entry->gr_name : std::to_string(gid);
}

TEST_F(ProgramEndToEnd, AccessDeniedTellsHowToGetAccess) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root: the port is made unusable for user nobody";
  if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "needs setpriv (util-linux)";
  const std::vector<std::string> asNobody{"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup",
                                          "--clear-groups"};
  std::vector<std::string> version = asNobody;
  version.insert(version.end(), {QUORVEL_CLI, "--version"});
  const ProcessResult canRun = RunProcess(version);
  if (canRun.exitCode != 0) {
    GTEST_SKIP() << "user nobody cannot run " << QUORVEL_CLI
                 << " (the build folder must be readable and searchable by others): " << canRun.err;
  }
  // The data file must be readable by nobody too.
  fs::permissions(dir_, fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
  const std::string file = Path("fw.hex");
  fs::copy_file(SampleHex(), file);
  fs::permissions(file, fs::perms::others_read, fs::perm_options::add);
  const group* dialout = getgrnam("dialout");
  const gid_t portGroup = dialout != nullptr ? dialout->gr_gid : 0;

  struct Case {
    mode_t mode;
    std::string hint;  // %p: the port's path, %g: its group
  };
  const Case cases[] = {
      {0660,
       "To get access to %p, add your account to the group %g that owns the port "
       "(sudo usermod -aG %g $USER), then log out and in again.\n"},
      {0600,
       "To get access to %p, ask the administrator for read and write permission: the port "
       "is open to its owner (root) only, membership of the group %g is not enough.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    PseudoTerminal terminal;
    ASSERT_FALSE(terminal.Slave().empty());
    ASSERT_EQ(chown(terminal.Slave().c_str(), 0, portGroup), 0);
    ASSERT_EQ(chmod(terminal.Slave().c_str(), c.mode), 0);
    std::vector<std::string> args = asNobody;
    args.insert(args.end(),
                {QUORVEL_CLI, "program", "--device", "KV-310", "--port", terminal.Slave(), file});
    const ProcessResult run = RunProcess(args, {"LC_ALL=C"}, std::chrono::seconds(30));
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    EXPECT_NE(run.out.find("Comm port: Access denied\n"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("Busy"), std::string::npos) << run.out;
    std::string hint = c.hint;
    for (size_t at; (at = hint.find("%p")) != std::string::npos;) {
      hint.replace(at, 2, terminal.Slave());
    }
    for (size_t at; (at = hint.find("%g")) != std::string::npos;) {
      hint.replace(at, 2, GroupName(portGroup));
    }
    EXPECT_NE(run.err.find(hint), std::string::npos) << run.err;
  }
}

TEST_F(ProgramEndToEnd, InstrumentThatStopsForAWhileIsWaitedFor) {
  // Six seconds of silence after the second block: the retries of that time
  // are answered late, all at once, once the instrument goes on.
  const std::string port =
      StartSim({"--device", "KV-310", "--baud", "115200", "--freeze-after-block", "2:6"});
  const ProcessResult run =
      Program({"--device", "KV-310", "--port", port, "--baud", "115200", SampleHex()});
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_EQ(run.out.find("bad data block address"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("KV-310 programming was successful.\n"), std::string::npos) << run.out;
  ExpectReceivedEqualsFile(SampleHex());
}

TEST_F(ProgramEndToEnd, InstrumentThatHangsUpEndsTheRunAtOnce) {
  const std::string port =
      StartSim({"--device", "KV-310", "--baud", "115200", "--hangup-after-block", "2"});
  std::optional<Clock::time_point> secondBlock;
  const ProcessResult run = RunProcess(
      ProgramArgs({"--device", "KV-310", "--port", port, "--baud", "115200", SampleHex()}),
      {"LC_ALL=C"}, std::chrono::seconds(60), {},
      [&secondBlock](pid_t, const ProcessResult& sofar) {
        if (!secondBlock && Occurrences(sofar.out, kBlockAcknowledged) >= 2) {
          secondBlock = Clock::now();
        }
        return true;
      });
  const Clock::time_point end = Clock::now();
  ASSERT_TRUE(secondBlock.has_value()) << run.out;
  EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
  // The instrument hangs up at the latest 1 s after its acknowledgement.
  EXPECT_LT(end - *secondBlock, std::chrono::seconds(3));
  EXPECT_NE(run.out.find("\nComm port: Communication error\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("KV-310 programming was unsuccessful.\n\nComm port: "), std::string::npos)
      << run.out;
}

TEST_F(ProgramEndToEnd, ProgressBarOnATerminalCountsUpToTheWholeImage) {
  if (access("/usr/bin/script", X_OK) != 0) GTEST_SKIP() << "needs script (util-linux)";
  const std::string port = StartSim({"--device", "KV-310", "--baud", "115200"});
  // script gives the run a terminal for stdout and stderr and copies what it
  // wrote there to its own stdout.
  std::string command = std::string(QUORVEL_CLI) + " program --device KV-310 --port '" + port +
                        "' --baud 115200 '" + SampleHex() + "'";
  const ProcessResult run = RunProcess({"/usr/bin/script", "-qec", command, "/dev/null"},
                                       {"LC_ALL=C"}, std::chrono::seconds(60));
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  // Drawn as the blocks are acknowledged, and left at 100 % at the end.
  EXPECT_NE(run.out.find("[" + std::string(10, '#') + std::string(30, '.') + "] 4608 / 18432  25%"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("[" + std::string(40, '#') + "] 18432 / 18432  100%"), std::string::npos)
      << run.out;
  ExpectReceivedEqualsFile(SampleHex());
}

}  // namespace
}  // namespace quorvel::test
