// End to end: quorvel-cli program --skip-version against quorvel-sim
// instruments that report the version named, an older or newer one, none,
// or none that can be compared, or run their bootloader already. Only the
// one that reports exactly the version named is left untouched.
#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "program_fixture.h"

namespace quorvel::test {
namespace {

QJsonDocument ParseReport(const std::string& path) {
  QJsonParseError error{};
  const QByteArray bytes = QByteArray::fromStdString(ReadAll(path));
  const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
  EXPECT_EQ(error.error, QJsonParseError::NoError) << bytes.toStdString();
  return document;
}

std::vector<std::string> Joined(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST_F(ProgramEndToEnd, SkipVersionLeavesOnlyAnInstrumentOfThatVersionAlone) {
  struct Case {
    std::string name;
    std::string device;
    std::vector<std::string> sim;  // beyond --device and --baud
    std::vector<std::string> cli;  // beyond --device, --port, --baud
    std::string skip;
    bool current;
    std::string versionLine;  // the log line that names what was reported
    QJsonValue appVersion;
  };
  const Case cases[] = {
      {"equal",
       "GRV-30x",
       {"--app-version", "V1.4.0012"},
       {},
       "1.4.0012",
       true,
       "- Firmware already current: 1.4.0012\n",
       "1.4.0012"},
      // Compared number by number: leading zeros and trailing zeros count
      // for nothing.
      {"equal by number",
       "GRV-30x",
       {"--app-version", "V1.4.0012"},
       {},
       "v1.4.12.0",
       true,
       "- Firmware already current: 1.4.0012\n",
       "1.4.0012"},
      // The version's texts after the two start bytes it hands over.
      {"equal, start bytes",
       "M-530",
       {"--app-version", "2.31"},
       {},
       "2.31",
       true,
       "- Firmware already current: 2.31\n",
       "2.31"},
      // The version's texts after the bus address.
      {"equal, RS-485 bus",
       "BTQ-20 .RS485",
       {"--address", "4660", "--app-version", "V1.2"},
       {"--address", "4660"},
       "1.2",
       true,
       "- Firmware already current: 1.2\n",
       "1.2"},
      {"older",
       "GRV-30x",
       {"--app-version", "V1.4.0012"},
       {},
       "1.5",
       false,
       "- Device firmware version: 1.4.0012\n",
       "1.4.0012"},
      {"newer",
       "GRV-30x",
       {"--app-version", "V1.6.0001"},
       {},
       "1.5",
       false,
       "- Device firmware version: 1.6.0001\n",
       "1.6.0001"},
      {"no version",
       "GRV-30x",
       {"--no-app-version"},
       {},
       "1.4.0012",
       false,
       "- Device firmware version: none\n",
       QJsonValue::Null},
      // An empty version text has no number: it would compare equal to 0.
      {"version without a number",
       "GRV-30x",
       {"--app-version", "V"},
       {},
       "0",
       false,
       "- Device firmware version: none\n",
       ""},
      // A number too large to compare.
      {"version that does not parse",
       "GRV-30x",
       {"--app-version", "V99999999999"},
       {},
       "99999",
       false,
       "- Device firmware version: 99999999999\n",
       "99999999999"},
      // No identify request is sent: nothing tells the version.
      {"bootloader running",
       "GRV-30x",
       {"--mode", "boot", "--app-version", "V1.4.0012"},
       {},
       "1.4.0012",
       false,
       "",
       QJsonValue::Null},
  };
  const std::string file = ShortSampleHex(64);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string port = StartSim(Joined({"--device", c.device, "--baud", "115200"}, c.sim));
    const ProcessResult run =
        Program(Joined({"--device", c.device, "--port", port, "--baud", "115200", "--skip-version",
                        c.skip, "--report", Path("r.json"), "--trace", Path("t.txt")},
                       Joined(c.cli, {file})));
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    if (!c.versionLine.empty()) {
      EXPECT_EQ(Occurrences(run.out, c.versionLine), 1u) << run.out;
    }
    EXPECT_EQ(Occurrences(run.out, "- Firmware already current: "), c.current ? 1u : 0u);
    const std::string trace = ReadAll(Path("t.txt"));
    const QJsonObject report = ParseReport(Path("r.json")).object();
    EXPECT_EQ(report["app_version"], c.appVersion);
    EXPECT_EQ(report["exit_code"].toInt(), 0);
    if (c.current) {
      // Asked who it is, then left alone: no restart, nothing erased.
      EXPECT_NE(trace.find("identify request"), std::string::npos) << trace;
      EXPECT_EQ(trace.find("enter-bootloader"), std::string::npos) << trace;
      EXPECT_EQ(trace.find("erase"), std::string::npos) << trace;
      EXPECT_NE(run.out.find("programming was not needed: the firmware is already current.\n"),
                std::string::npos)
          << run.out;
      EXPECT_EQ(run.out.find("successful"), std::string::npos) << run.out;
      EXPECT_EQ(report["cause"].toString(), "already-current");
      EXPECT_EQ(report["bytes_written"].toInt(), 0);
      EXPECT_TRUE(report["serial"].isNull());
      ASSERT_EQ(sim_->Stop(), 0);
      FirmwareImage received;
      if (ReadHexFile(Path("received.hex"), received) == 0) {
        EXPECT_EQ(received.ImageSize(), 0u);
      }
    } else {
      EXPECT_NE(run.out.find("programming was successful."), std::string::npos) << run.out;
      EXPECT_EQ(report["cause"].toString(), "success");
      ExpectReceivedEqualsFile(file);
    }
    fs::remove(Path("received.hex"));
  }
}

// A type whose user application is never asked who it is: the option
// cannot apply, the call says so and programs the instrument.
TEST_F(ProgramEndToEnd, SkipVersionOfATypeWithoutIdentifyRequestProgramsAsUsual) {
  const std::string port = StartSim({"--device", "KV-310", "--baud", "115200"});
  const ProcessResult run = Program({"--device", "KV-310", "--port", port, "--baud", "115200",
                                     "--skip-version", "1.0", SampleHex()});
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_NE(run.err.find("--skip-version: KV-310 does not report its firmware version"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.out.find("KV-310 programming was successful."), std::string::npos) << run.out;
  ExpectReceivedEqualsFile(SampleHex());
}

TEST_F(ProgramEndToEnd, SkipVersionThatNamesNoVersionOrIsGivenTwiceIsRefused) {
  struct Case {
    std::vector<std::string> skip;
    std::string problem;
  };
  const Case cases[] = {
      {{"--skip-version", "abc"}, "not a version"},
      {{"--skip-version", ""}, "not a version"},
      {{"--skip-version", "1.4-rc1"}, "not a version"},
      {{"--skip-version", "1.99999999999"}, "not a version"},
      // Two versions do not add up to a rule: which one would be current?
      {{"--skip-version", "1.4", "--skip-version", "1.5"}, "given more than once"},
  };
  const std::string port = StartSim({"--device", "GRV-30x", "--baud", "115200"});
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.skip));
    const ProcessResult run =
        Program(Joined({"--device", "GRV-30x", "--port", port}, Joined(c.skip, {SampleHex()})));
    EXPECT_EQ(run.exitCode, 2) << run.out << run.err;
    EXPECT_NE(run.err.find("--skip-version"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(c.problem), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
  }
}

// Several instruments: the table and its counts tell the programmed ones
// from those already current and those that failed.
TEST_F(ProgramEndToEnd, SummaryCountsProgrammedCurrentAndFailed) {
  const std::vector<std::string> grv{"--device", "GRV-30x", "--baud", "115200"};
  const std::string current = StartNamedSim("current", Joined(grv, {"--app-version", "V2.0"}));
  const std::string older = StartNamedSim("older", Joined(grv, {"--app-version", "V1.9"}));
  // Refuses the erase with an error that has no name: ends at once.
  const std::string refusing =
      StartNamedSim("refusing", Joined(grv, {"--app-version", "V1.9", "--negative", "3:0:9"}));
  const std::string file = ShortSampleHex(64);
  const ProcessResult run =
      Program({"--device", "GRV-30x", "--baud", "115200", "--port", current, "--port", older,
               "--port", refusing, "--skip-version", "2.0", "--report", Path("r.json"), file});
  EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
  EXPECT_NE(run.out.find("programmed: 1, already current: 1, failed: 1\n"), std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("[" + current + "] - Firmware already current: 2.0\n"), std::string::npos)
      << run.out;
  // The table's row of each: result and cause.
  const auto row = [&run](const std::string& port) { return TableRow(run.out, port); };
  EXPECT_NE(row(current).find("CURRENT"), std::string::npos) << run.out;
  EXPECT_NE(row(current).find("already-current"), std::string::npos) << run.out;
  EXPECT_NE(row(older).find("OK"), std::string::npos) << run.out;
  EXPECT_NE(row(older).find("success"), std::string::npos) << run.out;
  EXPECT_NE(row(refusing).find("FAILED"), std::string::npos) << run.out;

  const QJsonDocument report = ParseReport(Path("r.json"));
  ASSERT_TRUE(report.isArray());
  ASSERT_EQ(report.array().size(), 3);
  const QJsonObject first = report.array().at(0).toObject();
  EXPECT_EQ(first["cause"].toString(), "already-current");
  EXPECT_EQ(first["exit_code"].toInt(), 0);
  EXPECT_EQ(first["app_version"].toString(), "2.0");
  EXPECT_EQ(report.array().at(1).toObject()["cause"].toString(), "success");
  EXPECT_EQ(report.array().at(2).toObject()["cause"].toString(), "device-refused");
  ExpectNamedUntouched("current");
  ExpectNamedReceivedEqualsFile("older", file);
}

}  // namespace
}  // namespace quorvel::test
