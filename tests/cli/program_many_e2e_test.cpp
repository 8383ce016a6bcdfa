// End to end: quorvel-cli program with several ports at once and its JSON
// report, against quorvel-sim instances on pseudo-terminals.
#include <signal.h>
#include <string.h>
#include <unistd.h>
#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

#include "program_fixture.h"

namespace quorvel::test {
namespace {

// The report's objects by port; fails the test when it is not JSON of the
// expected shape.
std::map<std::string, QJsonObject> ReportByPort(const std::string& path, bool expectArray) {
  QJsonParseError error{};
  const QByteArray bytes = QByteArray::fromStdString(ReadAll(path));
  const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
  EXPECT_EQ(error.error, QJsonParseError::NoError)
      << error.errorString().toStdString() << bytes.toStdString();
  std::map<std::string, QJsonObject> byPort;
  EXPECT_EQ(document.isArray(), expectArray) << bytes.toStdString();
  QJsonArray objects;
  if (document.isArray()) {
    objects = document.array();
  } else if (document.isObject()) {
    objects.append(document.object());
  }
  for (const QJsonValue& value : objects) {
    const QJsonObject object = value.toObject();
    for (const char* field : {"port", "device", "serial", "device_code", "boot_version",
                              "device_check", "bytes_written", "bytes_total", "blocks_skipped",
                              "duration_ms", "cause", "exit_code", "message", "port_bytes"}) {
      EXPECT_TRUE(object.contains(field)) << field;
    }
    byPort[object["port"].toString().toStdString()] = object;
  }
  return byPort;
}

TEST_F(ProgramEndToEnd, SeveralInstrumentsAtOnceEachWithItsCauseInTheReport) {
  struct Case {
    std::string name;
    std::vector<std::string> sim;  // empty: no instrument, the port is missing
    std::string cause;
    int exitCode;
  };
  const Case cases[] = {
      {"ok", {"--serial", "11/22", "--boot-version", "1.07"}, "success", 0},
      {"mismatch", {"--device-code", "7"}, "device-mismatch", 1},
      {"refused", {"--negative", "3:0:9"}, "device-refused", 1},
      {"silent", {"--silent"}, "no-connection", 1},
      {"unconfirmed", {"--ignore-reset"}, "restart-not-confirmed", 3},
      {"stalled", {"--silent-after", "3"}, "timeout", 1},
      {"missing", {}, "link-error", 1},
  };
  std::vector<std::string> args{"--device", "KV-310",   "--baud",
                                "115200",   "--report", Path("report.json")};
  for (const Case& c : cases) {
    std::string port = Path(c.name);
    if (!c.sim.empty()) {
      std::vector<std::string> sim{"--device", "KV-310", "--baud", "115200"};
      sim.insert(sim.end(), c.sim.begin(), c.sim.end());
      port = StartNamedSim(c.name, sim);
    }
    args.insert(args.end(), {"--port", port});
  }
  args.push_back(SampleHex());
  const auto start = std::chrono::steady_clock::now();
  const ProcessResult run = Program(args);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  // A failure outweighs an unconfirmed restart.
  EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
  // Side by side: the slowest run (half a minute of retries), not the sum.
  EXPECT_LT(elapsed, std::chrono::seconds(60));

  const std::map<std::string, QJsonObject> report = ReportByPort(Path("report.json"), true);
  EXPECT_EQ(report.size(), std::size(cases));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string port = Path(c.name);
    ASSERT_EQ(report.count(port), 1u);
    const QJsonObject& entry = report.at(port);
    EXPECT_EQ(entry["device"].toString().toStdString(), "KV-310");
    EXPECT_EQ(entry["cause"].toString().toStdString(), c.cause);
    EXPECT_EQ(entry["exit_code"].toInt(), c.exitCode);
    EXPECT_GE(entry["duration_ms"].toInteger(), 0);
    // The log lines of this port, each prefixed with it, and its row of the
    // summary table.
    EXPECT_NE(run.out.find("[" + port + "] Comm port: " + port), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\n" + port + "  "), std::string::npos) << run.out;
    const std::string message = entry["message"].toString().toStdString();
    EXPECT_NE(message.find(" programming "), std::string::npos) << message;
    EXPECT_EQ(message.find('\r'), std::string::npos);
  }
  const QJsonObject ok = report.at(Path("ok"));
  EXPECT_EQ(ok["serial"].toArray(), (QJsonArray{11, 22}));
  EXPECT_EQ(ok["device_code"].toInt(), 1);
  EXPECT_EQ(ok["boot_version"].toString(), "1.07");
  // KV-310 reports code 1, which is never compared with the chosen type.
  EXPECT_EQ(ok["device_check"].toString(), "skipped");
  EXPECT_EQ(ok["bytes_written"].toInt(), 18432);
  EXPECT_EQ(ok["bytes_total"].toInt(), 18432);
  EXPECT_EQ(ok["message"].toString(), "KV-310 programming was successful.");
  const QJsonObject mismatch = report.at(Path("mismatch"));
  EXPECT_EQ(mismatch["device_code"].toInt(), 7);
  EXPECT_EQ(mismatch["serial"].toArray(), (QJsonArray{1234, 5678}));
  EXPECT_EQ(mismatch["bytes_written"].toInt(), 0);
  EXPECT_EQ(mismatch["device_check"].toString(), "done");
  EXPECT_EQ(report.at(Path("unconfirmed"))["bytes_written"].toInt(), 18432);
  // Nothing was reported by an instrument that never answered.
  for (const char* name : {"silent", "missing"}) {
    const QJsonObject& entry = report.at(Path(name));
    EXPECT_TRUE(entry["serial"].isNull()) << name;
    EXPECT_TRUE(entry["device_code"].isNull()) << name;
    EXPECT_TRUE(entry["boot_version"].isNull()) << name;
    EXPECT_TRUE(entry["device_check"].isNull()) << name;
  }
  EXPECT_NE(report.at(Path("missing"))["message"].toString().toStdString().find(
                "Comm port: Port not found"),
            std::string::npos);
  ExpectNamedReceivedEqualsFile("ok", SampleHex());
  ExpectNamedReceivedEqualsFile("unconfirmed", SampleHex());
}

// An instrument that refuses every erase answers the reconnect after each
// refusal: its run still ends by itself, soon, and says why; the other
// instrument's run and the table and report of both come as usual.
TEST_F(ProgramEndToEnd, InstrumentRefusingEveryEraseEndsItsRunByItself) {
  const std::vector<std::string> sim{"--device", "M-530", "--baud", "115200", "--mode", "boot"};
  std::vector<std::string> refusingSim = sim;
  refusingSim.insert(refusingSim.end(), {"--negative", "3:0"});
  const std::string refusing = StartNamedSim("refusing", refusingSim);
  const std::string ok = StartNamedSim("ok", sim);
  const ProcessResult run = Program({"--device", "M-530", "--baud", "115200", "--port", refusing,
                                     "--port", ok, "--report", Path("report.json"), SampleHex()});
  EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
  EXPECT_NE(
      run.out.find("[" + refusing + "] - The device refused to erase its program memory 3 times\n"),
      std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("\n" + refusing + "  "), std::string::npos) << run.out;  // table row
  const std::map<std::string, QJsonObject> report = ReportByPort(Path("report.json"), true);
  ASSERT_EQ(report.count(refusing), 1u);
  const QJsonObject& entry = report.at(refusing);
  EXPECT_EQ(entry["cause"].toString().toStdString(), "device-refused");
  EXPECT_EQ(entry["exit_code"].toInt(), 1);
  EXPECT_EQ(entry["message"].toString().toStdString(),
            "M-530 no 1234/5678 programming was unsuccessful.\n\nThe device refused to erase its "
            "program memory 3 times.");
  // Three rounds of connect, device information and erase take well under
  // a second; the bound only allows for a loaded machine.
  EXPECT_LT(entry["duration_ms"].toInteger(), 20000);
  EXPECT_EQ(report.at(ok)["cause"].toString().toStdString(), "success");
  ExpectNamedReceivedEqualsFile("ok", SampleHex());
}

TEST_F(ProgramEndToEnd, OneInstrumentsReportIsOneObject) {
  // A HEX file with a line the reader refuses: the run ends before the port
  // is opened.
  std::ifstream in(SampleHex());
  std::ofstream corrupt(Path("corrupt.hex"));
  for (std::string line; std::getline(in, line);) corrupt << line.substr(0, 20) << '\n';
  corrupt.close();
  struct Case {
    std::string name;
    std::string file;
    std::string cause;
    int exitCode;
  };
  const Case cases[] = {
      {"success", SampleHex(), "success", 0},
      {"file refused", Path("corrupt.hex"), "file-refused", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim_.reset();
    const std::string port = StartSim({"--device", "KV-310", "--baud", "115200"});
    const ProcessResult run = Program({"--device", "KV-310", "--port", port, "--baud", "115200",
                                       "--report", Path("one.json"), c.file});
    EXPECT_EQ(run.exitCode, c.exitCode) << run.out << run.err;
    // One port: the log as it always was, without prefixes or a table.
    EXPECT_EQ(run.out.find("[" + port + "]"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("result"), std::string::npos) << run.out;
    const std::map<std::string, QJsonObject> report = ReportByPort(Path("one.json"), false);
    ASSERT_EQ(report.count(port), 1u);
    EXPECT_EQ(report.at(port)["cause"].toString().toStdString(), c.cause);
    EXPECT_EQ(report.at(port)["exit_code"].toInt(), c.exitCode);
    EXPECT_EQ(report.at(port)["blocks_skipped"].toInt(),
              static_cast<int>(Occurrences(run.out, "- Empty data block: ")));
    // Written whole: no temporary file is left beside it.
    size_t files = 0;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      if (entry.path().filename().string().find("one.json") != std::string::npos) ++files;
    }
    EXPECT_EQ(files, 1u);
  }
}

TEST_F(ProgramEndToEnd, EmptyBlocksAreCountedAsSkipped) {
  const std::string port = StartSim(
      {"--device", "GRV-30x", "--mode", "boot", "--baud", "115200", "--block-size", "512"});
  const ProcessResult run = Program({"--device", "GRV-30x", "--port", port, "--baud", "115200",
                                     "--report", Path("r.json"), SampleHex()});
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  const QJsonObject entry = ReportByPort(Path("r.json"), false)[port];
  EXPECT_EQ(entry["blocks_skipped"].toInt(),
            static_cast<int>(Occurrences(run.out, "- Empty data block: ")));
  EXPECT_GT(entry["blocks_skipped"].toInt(), 0) << run.out;
}

TEST_F(ProgramEndToEnd, ExitCodeOfSeveralIsTheMostSevere) {
  struct Case {
    std::string name;
    std::vector<std::string> secondFault;
    int exitCode;
  };
  const Case cases[] = {
      {"both succeed", {}, 0},
      {"one restart not confirmed", {"--negative", "5:1:5"}, 3},
      {"one refused", {"--negative", "3:0:9"}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string first = StartNamedSim("first", {"--device", "KV-310", "--baud", "115200"});
    std::vector<std::string> sim{"--device", "KV-310", "--baud", "115200"};
    sim.insert(sim.end(), c.secondFault.begin(), c.secondFault.end());
    const std::string second = StartNamedSim("second", sim);
    // The ports from a file, with comments and blank lines.
    std::ofstream(Path("ports.txt")) << "# the line's instruments\n"
                                     << first << "   # left\n\n  " << second << "\n";
    const ProcessResult run = Program(
        {"--device", "KV-310", "--baud", "115200", "--ports-from", Path("ports.txt"), SampleHex()});
    EXPECT_EQ(run.exitCode, c.exitCode) << run.out << run.err;
    EXPECT_NE(run.out.find("[" + first + "] Quorvel: KV-310 programming was successful.\n"),
              std::string::npos)
        << run.out;
    ExpectNamedReceivedEqualsFile("first", SampleHex());
    namedSims_.clear();
  }
}

// Every --ports-from adds its instruments to those of the others and of
// --port: none is left out.
TEST_F(ProgramEndToEnd, EveryPortsFileAddsItsInstruments) {
  const std::vector<std::string> sim{"--device", "KV-310", "--baud", "115200"};
  const std::string first = StartNamedSim("first", sim);
  const std::string second = StartNamedSim("second", sim);
  const std::string third = StartNamedSim("third", sim);
  // One written with a byte-order mark, as some editors do.
  std::ofstream(Path("a.txt")) << "\xEF\xBB\xBF" << first << "\n";
  std::ofstream(Path("b.txt")) << second << "\n";
  const ProcessResult run =
      Program({"--device", "KV-310", "--baud", "115200", "--ports-from", Path("a.txt"), "--port",
               third, "--ports-from", Path("b.txt"), SampleHex()});
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  for (const std::string name : {"first", "second", "third"}) {
    EXPECT_NE(run.out.find("[" + Path(name) + "] Quorvel: KV-310 programming was successful.\n"),
              std::string::npos)
        << run.out;
    ExpectNamedReceivedEqualsFile(name, SampleHex());
  }
}

// A port's name may hold anything a path may: on the terminal it never
// moves the cursor or changes a colour, and the report maps it back to its
// bytes.
TEST_F(ProgramEndToEnd, AnyPortNameIsShownPrintableAndReportedExactly) {
  const std::vector<std::string> sim{"--device", "KV-310", "--baud", "115200"};
  const std::string red = StartNamedSim("red-\x1b[31m-\x07", sim);
  const std::string latin = StartNamedSim("latin-\xFF\xFE", sim);
  const ProcessResult run = Program({"--device", "KV-310", "--baud", "115200", "--port", red,
                                     "--port", latin, "--report", Path("r.json"), SampleHex()});
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_EQ(run.out.find('\x1b'), std::string::npos);
  EXPECT_EQ(run.out.find('\x07'), std::string::npos);
  EXPECT_EQ(run.out.find('\xFF'), std::string::npos);
  const std::string shownRed = Path("red-\\x1b[31m-\\x07");
  const std::string shownLatin = Path("latin-\\xff\\xfe");
  EXPECT_NE(run.out.find("[" + shownRed + "] Comm port: " + shownRed + "  115200"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("[" + shownLatin + "] Quorvel: KV-310 programming was successful."),
            std::string::npos)
      << run.out;
  // The rows of the summary table.
  const auto row = [&run](const std::string& shown) { return TableRow(run.out, shown); };
  EXPECT_NE(row(shownRed).find(" OK "), std::string::npos) << run.out;
  EXPECT_NE(row(shownLatin).find(" OK "), std::string::npos) << run.out;

  QJsonParseError error{};
  const QJsonDocument report =
      QJsonDocument::fromJson(QByteArray::fromStdString(ReadAll(Path("r.json"))), &error);
  ASSERT_EQ(error.error, QJsonParseError::NoError);
  std::vector<std::string> reported;
  for (const QJsonValue& entry : report.array()) {
    reported.push_back(
        QByteArray::fromHex(entry.toObject()["port_bytes"].toString().toLatin1()).toStdString());
  }
  EXPECT_EQ(reported, (std::vector<std::string>{red, latin}));
  ExpectNamedReceivedEqualsFile("red-\x1b[31m-\x07", SampleHex());
  ExpectNamedReceivedEqualsFile("latin-\xFF\xFE", SampleHex());
}

TEST_F(ProgramEndToEnd, StopSignalStopsEveryInstrument) {
  // 9600 bit/s: runs of many seconds.
  const std::string a = StartNamedSim("a", {"--device", "KV-310"});
  const std::string b = StartNamedSim("b", {"--device", "KV-310"});
  bool signalled = false;
  const ProcessResult run = RunProcess(
      ProgramArgs({"--device", "KV-310", "--port", a, "--port", b, "--report", Path("r.json"),
                   SampleHex()}),
      {"LC_ALL=C"}, std::chrono::seconds(60), {}, [&](pid_t pid, const ProcessResult& sofar) {
        if (!signalled &&
            sofar.out.find("[" + a + "] - Writing data block: ") != std::string::npos &&
            sofar.out.find("[" + b + "] - Writing data block: ") != std::string::npos) {
          signalled = true;
          kill(pid, SIGTERM);
        }
        return true;
      });
  ASSERT_TRUE(signalled) << run.out << run.err;
  EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
  const std::map<std::string, QJsonObject> report = ReportByPort(Path("r.json"), true);
  for (const std::string& port : {a, b}) {
    ASSERT_EQ(report.count(port), 1u);
    EXPECT_EQ(report.at(port)["cause"].toString().toStdString(), "user-stop");
    EXPECT_NE(run.out.find("[" + port + "] - User abort\n"), std::string::npos) << run.out;
  }
}

// A port is its exact path: with two instruments whose paths differ in
// letter case only, both listed as the system would list them, each --port
// reaches the instrument of its own path and no other, without a word about
// doubled names.
TEST_F(ProgramEndToEnd, PathsThatDifferInCaseAreTwoInstruments) {
  const std::vector<std::string> cases[] = {{"P1"}, {"p1"}, {"p1", "P1"}};
  for (const std::vector<std::string>& programmed : cases) {
    SCOPED_TRACE(::testing::PrintToString(programmed));
    const std::vector<std::string> sim{"--device", "M-530", "--baud", "115200", "--mode", "boot"};
    const std::string lower = StartNamedSim("p1", sim);
    const std::string upper = StartNamedSim("P1", sim);
    std::vector<std::string> args{"--device", "M-530", "--baud", "115200"};
    for (const std::string& name : programmed) args.insert(args.end(), {"--port", Path(name)});
    args.push_back(SampleHex());
    const ProcessResult run =
        RunProcess(ProgramArgs(args), {"LC_ALL=C", "QUORVEL_EXTRA_PORTS=" + lower + ":" + upper},
                   std::chrono::seconds(90));
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ((run.out + run.err).find("There are two"), std::string::npos) << run.out << run.err;
    for (const std::string name : {"p1", "P1"}) {
      if (std::find(programmed.begin(), programmed.end(), name) != programmed.end()) {
        EXPECT_NE(run.out.find("Comm port: " + Path(name) + "  115200"), std::string::npos)
            << run.out;
        ExpectNamedReceivedEqualsFile(name, SampleHex());
      } else {
        EXPECT_EQ(run.out.find("Comm port: " + Path(name) + " "), std::string::npos) << run.out;
        ExpectNamedUntouched(name);
      }
    }
  }
}

// A call that names a report leaves a report of its own or none: never the
// report of an earlier call, however it ends.
TEST_F(ProgramEndToEnd, NoCallLeavesTheReportOfAnEarlierOne) {
  const std::string report = Path("r.json");
  const std::string other = Path("other.json");
  const std::string sample = SampleHex();
  const std::vector<std::string> cases[] = {
      {"--baud", "12345", "--report", report, sample},
      {"--port", "ttyNOTHING", "--report", report, sample},
      {"--report", report, "--colour", "red", sample},
      {"--colour", "red", "--report", report, sample},
      {"--report=" + report, sample, "extra"},
      {"--report", report},
      {"--report", report, "--report", other, sample},
      {"--ports-from", Path("absent.txt"), "--report", report, sample},
  };
  for (const std::vector<std::string>& extra : cases) {
    SCOPED_TRACE(::testing::PrintToString(extra));
    for (const std::string& earlier : {report, other}) {
      std::ofstream(earlier) << "{\"cause\": \"success\", \"exit_code\": 0}\n";
    }
    std::vector<std::string> args{"--device", "KV-310", "--port", "/dev/null"};
    args.insert(args.end(), extra.begin(), extra.end());
    const ProcessResult run = Program(args);
    EXPECT_EQ(run.exitCode, 2) << run.err;
    EXPECT_FALSE(fs::exists(report));
    // A second report named is no report of this call either.
    const bool otherNamed = std::find(extra.begin(), extra.end(), other) != extra.end();
    EXPECT_EQ(fs::exists(other), !otherNamed) << run.err;
  }
}

// A call ended from outside without its own say (SIGKILL, or a second
// Ctrl-C, which ends the program at once) leaves no report of an earlier
// call: none at all, or when the program ended the runs itself, its own.
TEST_F(ProgramEndToEnd, AnEndedCallLeavesNoEarlierReport) {
  const std::vector<int> endings[] = {{SIGKILL}, {SIGINT, SIGINT}};
  for (const std::vector<int>& ending : endings) {
    SCOPED_TRACE(strsignal(ending.front()));
    const std::string port = StartSim({"--device", "KV-310"});  // 9600: many seconds
    std::ofstream(Path("r.json")) << "{\"cause\": \"success\", \"exit_code\": 0}\n";
    bool signalled = false;
    const ProcessResult run = RunProcess(
        ProgramArgs(
            {"--device", "KV-310", "--port", port, "--report", Path("r.json"), SampleHex()}),
        {"LC_ALL=C"}, std::chrono::seconds(60), {}, [&](pid_t pid, const ProcessResult& sofar) {
          if (!signalled && sofar.out.find("- Writing data block: ") != std::string::npos) {
            signalled = true;
            for (int number : ending) kill(pid, number);
          }
          return true;
        });
    ASSERT_TRUE(signalled) << run.out << run.err;
    EXPECT_NE(run.exitCode, 0);
    if (fs::exists(Path("r.json"))) {
      const std::map<std::string, QJsonObject> ended = ReportByPort(Path("r.json"), false);
      ASSERT_EQ(ended.count(port), 1u);
      EXPECT_EQ(ended.at(port)["cause"].toString().toStdString(), "user-stop");
    }
  }
}

// A report that would take the place of one of the call's own files (the
// data file, a ports file: by any spelling or link) is refused before
// anything is written, and so is one that cannot be written at all.
TEST_F(ProgramEndToEnd, AReportThatWouldReplaceAnInputIsRefused) {
  fs::copy_file(SampleHex(), Path("fw.hex"));
  ASSERT_EQ(symlink(Path("fw.hex").c_str(), Path("fw-link.json").c_str()), 0);
  std::ofstream(Path("ports.txt")) << "/dev/null\n";
  const std::string firmware = ReadAll(Path("fw.hex"));
  struct Case {
    std::vector<std::string> args;
    std::string problem;
  };
  const Case cases[] = {
      {{"--port", "/dev/null", "--report", Path("fw.hex"), Path("fw.hex")},
       "--report " + Path("fw.hex") + " (the same file as " + Path("fw.hex") + ")"},
      {{"--port", "/dev/null", "--report", dir_.string() + "/./fw.hex", Path("fw.hex")},
       "(the same file as " + Path("fw.hex") + ")"},
      {{"--port", "/dev/null", "--report", Path("fw-link.json"), Path("fw.hex")},
       "(the same file as " + Path("fw.hex") + ")"},
      {{"--ports-from", Path("ports.txt"), "--report", Path("ports.txt"), Path("fw.hex")},
       "(the same file as " + Path("ports.txt") + ")"},
      {{"--port", "/dev/null", "--report", Path("none/r.json"), Path("fw.hex")},
       "--report " + Path("none/r.json") + " (no such file or directory)"},
      {{"--port", "/dev/null", "--report", dir_.string(), Path("fw.hex")},
       "--report " + dir_.string() + " (is a directory)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.problem);
    std::vector<std::string> args{"--device", "KV-310"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ProcessResult run = Program(args);
    EXPECT_EQ(run.exitCode, 2) << run.out << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find(c.problem), std::string::npos) << run.err;
    EXPECT_EQ(ReadAll(Path("fw.hex")), firmware);
    EXPECT_EQ(ReadAll(Path("ports.txt")), "/dev/null\n");
  }
}

// Every run keeps a few files open. A soft limit of open files that is too
// low for the runs is raised to the hard one; where even that is too low,
// the call says so before any port is opened.
TEST_F(ProgramEndToEnd, OpenFileLimitIsRaisedOrTheCallSaysItIsTooLow) {
  struct Case {
    std::string limit;  // what the shell's ulimit sets
    int exitCode;
    std::string problem;
  };
  // Four runs need about 32 + 4 x 4 = 48 files.
  const Case cases[] = {
      {"-Sn 20", 0, ""},
      {"-n 40", 2, "4 ports need about 48 open files; the limit is 40 (ulimit -n)\n"},
  };
  const std::vector<std::string> names{"a", "b", "c", "d"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.limit);
    std::vector<std::string> args{
        "/bin/sh",   "-c",      "ulimit " + c.limit + " && exec \"$0\" \"$@\"",
        QUORVEL_CLI, "program", "--device",
        "M-530",     "--baud",  "115200"};
    for (const std::string& name : names) {
      args.insert(args.end(), {"--port", StartNamedSim(name, {"--device", "M-530", "--baud",
                                                              "115200", "--mode", "boot"})});
    }
    args.push_back(SampleHex());
    const ProcessResult run = RunProcess(args, {"LC_ALL=C"}, std::chrono::seconds(90));
    EXPECT_EQ(run.exitCode, c.exitCode) << run.out << run.err;
    if (c.exitCode == 0) {
      for (const std::string& name : names) ExpectNamedReceivedEqualsFile(name, SampleHex());
    } else {
      EXPECT_EQ(run.err, c.problem + "Try 'quorvel-cli --help'.\n");
      EXPECT_EQ(run.out, "");
      for (const std::string& name : names) ExpectNamedUntouched(name);
    }
    namedSims_.clear();
  }
}

TEST_F(ProgramEndToEnd, BadPortListsExitWithUsage) {
  std::ofstream(Path("twice.txt")) << "/dev/null\n/dev/null\n";
  std::ofstream(Path("many.txt")) << std::string(70000, '\n');
  std::string hundreds;
  for (int i = 0; i < 300; ++i) hundreds += "/dev/p" + std::to_string(i) + "\n";
  std::ofstream(Path("hundreds.txt")) << hundreds;
  std::ofstream(Path("comments.txt")) << "# nothing here\n\n";
  const std::vector<std::vector<std::string>> cases = {
      {"--port", "/dev/null", "--port", "/dev/null"}, {"--ports-from", Path("twice.txt")},
      {"--ports-from", Path("absent.txt")},           {"--ports-from", Path("many.txt")},
      {"--ports-from", Path("hundreds.txt")},         {"--ports-from", Path("comments.txt")},
  };
  for (std::vector<std::string> args : cases) {
    SCOPED_TRACE(args.back());
    args.insert(args.begin(), {"--device", "KV-310"});
    args.push_back(SampleHex());
    const ProcessResult run = Program(args);
    EXPECT_EQ(run.exitCode, 2) << run.out << run.err;
  }
}

}  // namespace
}  // namespace quorvel::test
