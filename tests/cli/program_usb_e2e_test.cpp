// End to end over the USB link: quorvel-cli lists and programs a converter
// of the D2XX test double (a stand-in for the vendor's library, loaded
// through QUORVEL_D2XX_LIBRARY) whose far side is quorvel-sim.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "program_fixture.h"

namespace quorvel::test {
namespace {

// Locations of this test process's own (other test processes on the same
// session bus announce theirs); the second converter's sorts after it.
const std::string kLocation = std::to_string(0x02000000u + (getpid() % 0xFFFF) * 0x100u + 0x20);
const std::string kOtherLocation =
    std::to_string(0x02000000u + (getpid() % 0xFFFF) * 0x100u + 0x30);

class UsbEndToEnd : public ProgramEndToEnd {
 protected:
  // The double lists the simulator's terminal as a PAXL-20 converter, and
  // a converter of another kind that cannot be opened.
  std::vector<std::string> Environment(const std::string& port) const {
    return {"LC_ALL=C", std::string("QUORVEL_D2XX_LIBRARY=") + D2XX_DOUBLE_PATH,
            "QUORVEL_D2XX_DOUBLE_DEVICES=" + kLocation + ",5,A1,PAXL-20," + port + ";" +
                kOtherLocation + ",8,B2,OTHER,"};
  }
  ProcessResult Cli(std::vector<std::string> args, const std::string& port) const {
    args.insert(args.begin(), QUORVEL_CLI);
    return RunProcess(args, Environment(port), std::chrono::seconds(90));
  }
};

TEST_F(UsbEndToEnd, ListsTheConvertersOfAUsbRow) {
  const std::string port = StartSim({"--device", "PAXL-20", "--baud", "38400"});
  const ProcessResult row = Cli({"ports", "--device", "PAXL-20"}, port);
  EXPECT_EQ(row.exitCode, 0) << row.err;
  EXPECT_EQ(row.out, kLocation + "=PAXL-20 A1\n");
  const ProcessResult service = Cli({"ports", "--service"}, port);
  EXPECT_EQ(service.out, kLocation + "=PAXL-20 A1\n" + kOtherLocation + "=OTHER B2\n");
  // A serial row still lists serial ports.
  const ProcessResult serial = Cli({"ports", "--device", "KV-310"}, port);
  EXPECT_EQ(serial.out.find("PAXL-20"), std::string::npos);
}

// The same converters as JSON, each with what the driver reports of it.
TEST_F(UsbEndToEnd, ListsTheConvertersAsJson) {
  const std::string port = StartSim({"--device", "PAXL-20", "--baud", "38400"});
  struct Converter {
    std::string location;
    std::string description;
    std::string serial;
  };
  struct Case {
    std::vector<std::string> args;
    std::vector<Converter> converters;
  };
  const Case cases[] = {
      {{"ports", "--device", "PAXL-20", "--json"}, {{kLocation, "PAXL-20", "A1"}}},
      {{"ports", "--service", "--json"},
       {{kLocation, "PAXL-20", "A1"}, {kOtherLocation, "OTHER", "B2"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.size());
    const ProcessResult listed = Cli(c.args, port);
    EXPECT_EQ(listed.exitCode, 0) << listed.err;
    QJsonParseError error{};
    const QJsonDocument document =
        QJsonDocument::fromJson(QByteArray::fromStdString(listed.out), &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << listed.out;
    ASSERT_TRUE(document.isArray());
    ASSERT_EQ(static_cast<size_t>(document.array().size()), c.converters.size()) << listed.out;
    for (size_t i = 0; i < c.converters.size(); ++i) {
      const Converter& expected = c.converters[i];
      const QJsonObject entry = document.array().at(static_cast<qsizetype>(i)).toObject();
      EXPECT_EQ(entry.size(), 6);
      EXPECT_EQ(entry["kind"].toString(), "usb");
      const std::string text = expected.description + " " + expected.serial;
      EXPECT_EQ(entry["port"].toString().toStdString(), text);
      EXPECT_EQ(entry["entry"].toString().toStdString(), expected.location + "=" + text);
      EXPECT_EQ(std::to_string(entry["location"].toInteger()), expected.location);
      EXPECT_EQ(entry["description"].toString().toStdString(), expected.description);
      EXPECT_EQ(entry["serial_number"].toString().toStdString(), expected.serial);
    }
  }
}

TEST_F(UsbEndToEnd, ProgramsAConverterByItsTextOrLocation) {
  const std::string file = Encode("PAXL-20");
  for (const std::string& choice : {std::string("PAXL-20 A1"), kLocation}) {
    SCOPED_TRACE(choice);
    const std::string port = StartSim({"--device", "PAXL-20", "--baud", "38400"});
    const ProcessResult run = Cli({"program", "--device", "PAXL-20", "--port", choice, file}, port);
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("USB device: Connected"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("programming was successful."), std::string::npos) << run.out;
    ExpectReceivedEqualsFile(file);
  }
  const std::string port = StartSim({"--device", "PAXL-20", "--baud", "38400"});
  const ProcessResult unknown =
      Cli({"program", "--device", "PAXL-20", "--port", "OTHER B2", file}, port);
  EXPECT_EQ(unknown.exitCode, 2) << unknown.err;
  EXPECT_NE(unknown.err.find("No such port: OTHER B2"), std::string::npos);
}

}  // namespace
}  // namespace quorvel::test
