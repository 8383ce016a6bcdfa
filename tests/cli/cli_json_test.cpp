// quorvel-cli devices, info and ports with --json: each prints one JSON
// document whose objects hold the fields of the README's tables, with the
// types given there, and the same facts as the text listing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "process_runner.h"

namespace quorvel::test {
namespace {

namespace fs = std::filesystem;

// A field's type as the tables give it; Nullable: the type or null.
enum class Kind { String, Number, Bool, Array, NullableString, NullableNumber };

using FieldKinds = std::map<std::string, Kind>;

bool HasKind(const QJsonValue& value, Kind kind) {
  switch (kind) {
    case Kind::String:
      return value.isString();
    case Kind::Number:
      return value.isDouble();
    case Kind::Bool:
      return value.isBool();
    case Kind::Array:
      return value.isArray();
    case Kind::NullableString:
      return value.isString() || value.isNull();
    case Kind::NullableNumber:
      return value.isDouble() || value.isNull();
  }
  return false;
}

// Exactly the fields of the table, each of its type.
void ExpectFields(const QJsonObject& object, const FieldKinds& fields) {
  EXPECT_EQ(static_cast<size_t>(object.size()), fields.size())
      << QJsonDocument(object).toJson().toStdString();
  for (const auto& [name, kind] : fields) {
    const QString key = QString::fromStdString(name);
    EXPECT_TRUE(object.contains(key)) << name;
    EXPECT_TRUE(HasKind(object[key], kind))
        << name << ": " << QJsonDocument(object).toJson().toStdString();
  }
}

QJsonDocument Parse(const std::string& text) {
  QJsonParseError error{};
  const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(text), &error);
  EXPECT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString() << text;
  return document;
}

std::string Str(const QJsonValue& value) {
  return value.toString().toStdString();
}

const FieldKinds kDeviceFields{
    {"text", Kind::String},           {"name", Kind::String},
    {"device_code", Kind::Number},    {"variant", Kind::Number},
    {"link", Kind::String},           {"rs485", Kind::Bool},
    {"baud", Kind::Number},           {"parity", Kind::String},
    {"data_bits", Kind::Number},      {"stop_bits", Kind::Number},
    {"user_application", Kind::Bool}, {"min_app_version", Kind::NullableString},
    {"usb_names", Kind::Array},
};

const FieldKinds kPortFields{
    {"kind", Kind::String},
    {"port", Kind::String},
    {"port_bytes", Kind::String},
    {"path", Kind::NullableString},
    {"description", Kind::NullableString},
    {"serial_number", Kind::NullableString},
    {"location", Kind::NullableNumber},
};

const FieldKinds kInfoFields{
    {"file", Kind::String},
    {"kind", Kind::String},
    {"device_code", Kind::NullableNumber},
    {"device_name", Kind::NullableString},
    {"variant", Kind::NullableNumber},
    {"version", Kind::NullableString},
    {"start", Kind::Number},
    {"size", Kind::Number},
    {"crc", Kind::Number},
    {"crc_check", Kind::String},
};

ProcessResult Cli(std::vector<std::string> args, std::vector<std::string> environment = {}) {
  args.insert(args.begin(), QUORVEL_CLI);
  environment.push_back("LC_ALL=C");
  return RunProcess(args, environment);
}

TEST(CliJson, DevicesListEveryTypeWithItsLinkAndLine) {
  const ProcessResult json = Cli({"devices", "--json"});
  ASSERT_EQ(json.exitCode, 0) << json.err;
  const QJsonDocument document = Parse(json.out);
  ASSERT_TRUE(document.isArray());
  // Every row of the text listing but "Unknown device", in its order.
  const ProcessResult text = Cli({"devices"});
  std::vector<std::string> texts;
  std::istringstream lines(text.out);
  for (std::string line; std::getline(lines, line);)
    texts.push_back(line.substr(0, line.find('\t')));
  ASSERT_EQ(static_cast<size_t>(document.array().size()) + 1, texts.size());
  std::map<std::string, QJsonObject> byText;
  for (qsizetype i = 0; i < document.array().size(); ++i) {
    const QJsonObject device = document.array().at(i).toObject();
    ExpectFields(device, kDeviceFields);
    EXPECT_EQ(Str(device["text"]), texts[static_cast<size_t>(i) + 1]);
    byText[Str(device["text"])] = device;
  }
  struct Case {
    std::string text;
    int code;
    std::string link;
    int baud;
    bool rs485;
    bool userApplication;
    QJsonValue minVersion;
    QJsonArray usbNames;
  };
  const Case cases[] = {
      {"KV-310", 1, "serial", 9600, false, false, QJsonValue::Null, {}},
      {"M-530", 6, "serial", 9600, false, true, QJsonValue::Null, {}},
      {"BTQ-20 .RS485", 11, "serial", 9600, true, true, "1.1.0001", {}},
      {"FES-20", 18, "usb", 125000, false, true, "1.0.0000", {"WX-310C", "KMB-RSVI"}},
      {"TRP-40 .USB", 2, "usb", 115200, false, true, "2.2.0021", {"TRP-40"}},
      // An application switch without the requests: reached through the
      // bootloader only.
      {"HOX-27", 3, "serial", 9600, false, false, QJsonValue::Null, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ASSERT_EQ(byText.count(c.text), 1u);
    const QJsonObject& device = byText[c.text];
    EXPECT_EQ(device["device_code"].toInt(), c.code);
    EXPECT_EQ(Str(device["link"]), c.link);
    EXPECT_EQ(device["baud"].toInt(), c.baud);
    EXPECT_EQ(Str(device["parity"]), "none");
    EXPECT_EQ(device["data_bits"].toInt(), 8);
    EXPECT_EQ(device["stop_bits"].toDouble(), 1.0);
    EXPECT_EQ(device["rs485"].toBool(), c.rs485);
    EXPECT_EQ(device["user_application"].toBool(), c.userApplication);
    EXPECT_EQ(device["min_app_version"], c.minVersion);
    EXPECT_EQ(device["usb_names"].toArray(), c.usbNames);
  }
}

TEST(CliJson, PortsNameEachPortExactlyWithWhatIsKnownOfIt) {
  // Names a script must get back byte for byte: quotes, a backslash, a
  // control character, bytes that are not UTF-8.
  const std::vector<std::string> names{"/tmp/q\"a\\b", "/tmp/tab\there", "/tmp/\xff\xfe-port",
                                       "/tmp/za\xC5\xBC\xC3\xB3\xC5\x82\xC4\x87"};
  std::string extra;
  for (const std::string& name : names) extra += (extra.empty() ? "" : ":") + name;
  const ProcessResult json = Cli({"ports", "--json"}, {"QUORVEL_EXTRA_PORTS=" + extra});
  ASSERT_EQ(json.exitCode, 0) << json.err;
  const QJsonDocument document = Parse(json.out);
  ASSERT_TRUE(document.isArray());
  std::map<std::string, QJsonObject> byBytes;
  for (const QJsonValue& value : document.array()) {
    const QJsonObject port = value.toObject();
    ExpectFields(port, kPortFields);
    EXPECT_EQ(Str(port["kind"]), "serial");
    byBytes[QByteArray::fromHex(port["port_bytes"].toString().toLatin1()).toStdString()] = port;
  }
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    ASSERT_EQ(byBytes.count(name), 1u) << json.out;
    const QJsonObject& port = byBytes[name];
    EXPECT_EQ(port["port"].toString(), QString::fromUtf8(name));
    EXPECT_EQ(port["path"].toString(), QString::fromUtf8(name));
    // A pseudo-terminal's path is no converter's terminal.
    EXPECT_TRUE(port["description"].isNull());
    EXPECT_TRUE(port["location"].isNull());
  }
  // The same ports as the text listing.
  const ProcessResult text = Cli({"ports"}, {"QUORVEL_EXTRA_PORTS=" + extra});
  EXPECT_EQ(static_cast<size_t>(document.array().size()),
            static_cast<size_t>(std::count(text.out.begin(), text.out.end(), '\n')));
}

TEST(CliJson, NetworkPortsAreNoDeviceFiles) {
  const std::vector<std::string> names{"rfc2217://10.0.0.7:4001", "tcp://[fe80::1]:2001"};
  const ProcessResult json =
      Cli({"ports", "--json"}, {"QUORVEL_EXTRA_PORTS=" + names[0] + ":" + names[1]});
  ASSERT_EQ(json.exitCode, 0) << json.err;
  std::map<std::string, QJsonObject> byName;
  for (const QJsonValue& value : Parse(json.out).array()) {
    const QJsonObject port = value.toObject();
    ExpectFields(port, kPortFields);
    byName[port["port"].toString().toStdString()] = port;
  }
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    ASSERT_EQ(byName.count(name), 1u) << json.out;
    EXPECT_EQ(Str(byName[name]["kind"]), "network");
    EXPECT_TRUE(byName[name]["path"].isNull());
    EXPECT_TRUE(byName[name]["description"].isNull());
  }
}

TEST(CliJson, InfoOfEitherKindOfDataFile) {
  const fs::path dir = fs::temp_directory_path() / ("quorvel-json-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const std::string sample = std::string(QUORVEL_SOURCE_DIR) + "/samples/sample_firmware.hex";
  const std::string encoded = (dir / "fw.qvl").string();
  ASSERT_EQ(Cli({"encode", "--yes", "--device", "M-530", sample, encoded}).exitCode, 0);
  std::ifstream in(encoded, std::ios::binary);
  std::string header(19, '\0');
  ASSERT_TRUE(in.read(header.data(), 19));
  const int storedCrc = static_cast<uint8_t>(header[17]) | static_cast<uint8_t>(header[18]) << 8;
  struct Case {
    std::string file;
    std::string kind;
    QJsonValue code;
    QJsonValue name;
    QJsonValue variant;
    QJsonValue version;
  };
  const Case cases[] = {
      {encoded, "qvl", 6, "M-530", 0, "2.74"},
      {sample, "hex", QJsonValue::Null, QJsonValue::Null, QJsonValue::Null, QJsonValue::Null},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const ProcessResult json = Cli({"info", "--json", c.file});
    ASSERT_EQ(json.exitCode, 0) << json.err;
    const QJsonDocument document = Parse(json.out);
    ASSERT_TRUE(document.isObject());
    const QJsonObject info = document.object();
    ExpectFields(info, kInfoFields);
    EXPECT_EQ(Str(info["file"]), c.file);
    EXPECT_EQ(Str(info["kind"]), c.kind);
    EXPECT_EQ(info["device_code"], c.code);
    EXPECT_EQ(info["device_name"], c.name);
    EXPECT_EQ(info["variant"], c.variant);
    EXPECT_EQ(info["version"], c.version);
    EXPECT_EQ(info["start"].toInteger(), 0x08000000);
    EXPECT_EQ(info["size"].toInteger(), 18432);
    // CRC-16/MODBUS of the image, as the encoded file stores it after its
    // 13-byte signature and version, device code and variant: the same
    // bytes in either file.
    EXPECT_EQ(info["crc"].toInteger(), storedCrc);
    EXPECT_EQ(Str(info["crc_check"]), "ok");
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace quorvel::test
