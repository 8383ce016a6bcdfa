// The pieces of quorvel-cli program that need no process: repeated options,
// the ports file, JSON strings and the report, the atomic write, the exit
// code of several runs and the console of several runs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/cli_args.h"
#include "cli/line_args.h"
#include "cli/port_args.h"
#include "cli/run_console.h"
#include "cli/run_report.h"
#include "datafile/file_checks.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;

TEST(CliArgs, RepeatedOptionsKeepEveryValueInOrder) {
  const CliArgs args = ParseCliArgs({"--port", "a", "--port=b", "--baud", "1", "--port", "c", "f"},
                                    {"port", "baud"}, {});
  ASSERT_TRUE(args.error.empty());
  EXPECT_EQ(args.GetAll("port"), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(args.Get("port"), "c");
  EXPECT_EQ(args.GetAll("baud"), (std::vector<std::string>{"1"}));
  EXPECT_TRUE(args.GetAll("parity").empty());
}

TEST(FrameGapArg, AutoStandardOrMillisecondsFrom1To1000) {
  struct Case {
    std::vector<std::string> words;
    std::optional<FrameGapChoice> gap;
  };
  const Case cases[] = {
      {{}, FrameGapChoice::Auto()},
      {{"--frame-gap", "auto"}, FrameGapChoice::Auto()},
      {{"--frame-gap", "Standard"}, FrameGapChoice::Fixed(50)},
      {{"--frame-gap", "1"}, FrameGapChoice::Fixed(1)},
      {{"--frame-gap", "1000"}, FrameGapChoice::Fixed(1000)},
      {{"--frame-gap", "0"}, std::nullopt},
      {{"--frame-gap", "1001"}, std::nullopt},
      {{"--frame-gap", "99999"}, std::nullopt},
      {{"--frame-gap", "-5"}, std::nullopt},
      {{"--frame-gap", "5ms"}, std::nullopt},
      {{"--frame-gap", ""}, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.words));
    const CliArgs args = ParseCliArgs(c.words, {"frame-gap"}, {});
    std::string problem;
    const std::optional<FrameGapChoice> gap = FrameGapFromArgs(args, problem);
    EXPECT_EQ(gap, c.gap);
    EXPECT_EQ(problem.empty(), c.gap.has_value()) << problem;
  }
}

TEST(PortsFile, OnePortALineWithoutCommentsAndBlanks) {
  struct Case {
    std::string text;
    std::vector<std::string> ports;
  };
  const Case cases[] = {
      {"", {}},
      {"# only a comment\n\n   \n", {}},
      {"ttyUSB0\n/dev/ttyACM1\n", {"ttyUSB0", "/dev/ttyACM1"}},
      {"  ttyS0  # the first\r\nttyS1\t\r\n#ttyS2\nttyS3", {"ttyS0", "ttyS1", "ttyS3"}},
      // A byte-order mark at the start is no part of the first port; one
      // anywhere else is.
      {"\xEF\xBB\xBF/dev/ttyUSB0\n/dev/ttyUSB1\n", {"/dev/ttyUSB0", "/dev/ttyUSB1"}},
      {"\xEF\xBB\xBF", {}},
      {"p1\n\xEF\xBB\xBFp2", {"p1", "\xEF\xBB\xBFp2"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::string problem;
    const auto ports = PortsFromText(c.text, problem);
    ASSERT_TRUE(ports.has_value()) << problem;
    EXPECT_EQ(*ports, c.ports);
  }
  std::string many;
  for (size_t i = 0; i <= kMaxPorts; ++i) many.append("p").append(std::to_string(i)).append("\n");
  std::string problem;
  EXPECT_FALSE(PortsFromText(many, problem).has_value());
  EXPECT_FALSE(problem.empty());
}

// Every --ports-from adds its ports, as every --port does; a port in two of
// them is a port named twice.
TEST(PortsArgs, EveryPortsFileAddsItsPorts) {
  const fs::path dir = fs::temp_directory_path() / ("quorvel-ports-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const std::string a = (dir / "a.txt").string();
  const std::string b = (dir / "b.txt").string();
  std::ofstream(a) << "p1\np2\n";
  std::ofstream(b) << "p3\n";
  struct Case {
    std::vector<std::string> words;
    std::vector<std::string> ports;  // none: refused
  };
  const Case cases[] = {
      {{"--ports-from", a, "--port", "x", "--ports-from", b}, {"x", "p1", "p2", "p3"}},
      {{"--ports-from", b, "--ports-from", a}, {"p3", "p1", "p2"}},
      {{"--ports-from", a, "--ports-from", a}, {}},
      {{"--ports-from", b, "--port", "p3"}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.words));
    std::string problem;
    const auto ports = PortsFromArgs(ParseCliArgs(c.words, {"port", "ports-from"}, {}), problem);
    if (c.ports.empty()) {
      EXPECT_FALSE(ports.has_value());
      EXPECT_NE(problem.find("port given twice"), std::string::npos) << problem;
    } else {
      ASSERT_TRUE(ports.has_value()) << problem;
      EXPECT_EQ(*ports, c.ports);
    }
  }
  fs::remove_all(dir);
}

// A ports file that gives no ports is named with what is wrong with it.
TEST(PortsArgs, AFileThatGivesNoPortsIsNamedWithItsFault) {
  const fs::path dir = fs::temp_directory_path() / ("quorvel-ports-" + std::to_string(getpid()));
  fs::create_directories(dir / "folder");
  std::ofstream(dir / "empty.txt").close();
  std::ofstream(dir / "comments.txt") << "# the line's ports\n\n";
  std::ofstream(dir / "large.txt") << std::string(kMaxPortsFileBytes + 1, '\n');
  const struct {
    std::string file;
    std::string reason;
  } cases[] = {
      {"folder", "is a directory"},
      {"empty.txt", "no port in the file"},
      {"comments.txt", "no port in the file"},
      {"absent.txt", "no such file or directory"},
      {"large.txt", "file too large (at most 65536 bytes)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string path = (dir / c.file).string();
    std::string problem;
    EXPECT_FALSE(PortsFromArgs(ParseCliArgs({"--port", "p", "--ports-from", path},
                                            {"port", "ports-from"}, {}),
                               problem)
                     .has_value());
    EXPECT_EQ(problem, "--ports-from " + path + " (" + c.reason + ")");
  }
  fs::remove_all(dir);
}

// The string read back by a JSON parser.
std::string ParsedBack(const std::string& json) {
  QJsonParseError error{};
  const QJsonDocument document =
      QJsonDocument::fromJson(QByteArray::fromStdString("[" + json + "]"), &error);
  EXPECT_EQ(error.error, QJsonParseError::NoError) << json;
  return document.array().at(0).toString().toStdString();
}

TEST(JsonString, EveryTextIsAValidJsonStringOfItself) {
  struct Case {
    std::string text;
    std::string parsed;  // what a parser reads back
  };
  const Case cases[] = {
      {"plain", "plain"},
      {"quote \" and backslash \\", "quote \" and backslash \\"},
      {"lines\r\nand\ttabs\b\f", "lines\r\nand\ttabs\b\f"},
      {std::string("nul \0 bell \a esc \x1b del \x7f", 24),
       std::string("nul \0 bell \a esc \x1b del \x7f", 24)},
      {"Błąd — zażółć", "Błąd — zażółć"},
      {"emoji \xF0\x9F\x98\x80", "emoji \xF0\x9F\x98\x80"},
      {"cut \xC5", "cut \xEF\xBF\xBD"},
      {"stray \x80\xBF!", "stray \xEF\xBF\xBD\xEF\xBF\xBD!"},
      {"overlong \xC0\xAF", "overlong \xEF\xBF\xBD\xEF\xBF\xBD"},
      {"surrogate \xED\xA0\x80", "surrogate \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"too high \xF4\x90\x80\x80", "too high \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ParsedBack(JsonString(c.text)), c.parsed);
  }
}

InstrumentResult Result(const std::string& port, int exitCode) {
  InstrumentResult result;
  result.port = port;
  result.device = "KV-310";
  result.cause = exitCode == 0 ? RunCause::Success : RunCause::NoConnection;
  result.exitCode = exitCode;
  result.facts.BytesWritten = 512;
  result.facts.BytesTotal = 1024;
  result.facts.Duration = std::chrono::milliseconds(1500);
  result.message = "line one\nline \"two\"";
  return result;
}

TEST(Report, OneObjectForOneInstrumentAnArrayForSeveral) {
  InstrumentResult reported = Result("ttyUSB0", 0);
  reported.facts.InfoReported = true;
  reported.facts.SerialPart1 = 12;
  reported.facts.SerialPart2 = 65535;
  reported.facts.DeviceCode = 1;
  reported.facts.BootVersion = "2.05";
  QJsonParseError error{};
  const QJsonDocument one =
      QJsonDocument::fromJson(QByteArray::fromStdString(ReportJson({reported})), &error);
  ASSERT_EQ(error.error, QJsonParseError::NoError);
  ASSERT_TRUE(one.isObject());
  const QJsonObject object = one.object();
  EXPECT_EQ(object["port"].toString(), "ttyUSB0");
  EXPECT_EQ(object["serial"].toArray(), (QJsonArray{12, 65535}));
  EXPECT_EQ(object["device_code"].toInt(), 1);
  EXPECT_EQ(object["boot_version"].toString(), "2.05");
  EXPECT_EQ(object["bytes_written"].toInt(), 512);
  EXPECT_EQ(object["duration_ms"].toInt(), 1500);
  EXPECT_EQ(object["message"].toString(), "line one\nline \"two\"");

  const QJsonDocument several = QJsonDocument::fromJson(
      QByteArray::fromStdString(ReportJson({Result("a", 0), Result("b", 1)})), &error);
  ASSERT_EQ(error.error, QJsonParseError::NoError);
  ASSERT_TRUE(several.isArray());
  ASSERT_EQ(several.array().size(), 2);
  const QJsonObject second = several.array().at(1).toObject();
  EXPECT_EQ(second["port"].toString(), "b");
  EXPECT_EQ(second["exit_code"].toInt(), 1);
  EXPECT_TRUE(second["serial"].isNull());
  EXPECT_TRUE(second["boot_version"].isNull());
}

TEST(Report, DeviceCheckSaysWhetherTheTypeWasCompared) {
  struct Case {
    bool infoReported;
    bool checkSkipped;
    QJsonValue deviceCheck;
  };
  const Case cases[] = {
      {false, false, QJsonValue::Null},
      {true, false, "done"},
      {true, true, "skipped"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.infoReported << c.checkSkipped);
    InstrumentResult result = Result("ttyUSB0", 0);
    result.facts.InfoReported = c.infoReported;
    result.facts.DeviceCheckSkipped = c.checkSkipped;
    QJsonParseError error{};
    const QJsonDocument document =
        QJsonDocument::fromJson(QByteArray::fromStdString(ReportJson({result})), &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError);
    ASSERT_TRUE(document.object().contains("device_check"));
    EXPECT_EQ(document.object()["device_check"], c.deviceCheck);
  }
}

// Any name maps back to its port: "port" as a JSON string (bytes that are
// not UTF-8 as U+FFFD), "port_bytes" byte for byte; the table shows it
// printable.
TEST(Report, EveryPortNameMapsBackToItsBytes) {
  const std::string names[] = {"/dev/ttyUSB0", "/tmp/p\xFF\xFE", "/tmp/esc\x1b[2J",
                               "/tmp/za\xC5\xBC\xC3\xB3\xC5\x82\xC4\x87"};
  std::vector<InstrumentResult> results;
  for (const std::string& name : names) results.push_back(Result(name, 0));
  QJsonParseError error{};
  const QJsonDocument report =
      QJsonDocument::fromJson(QByteArray::fromStdString(ReportJson(results)), &error);
  ASSERT_EQ(error.error, QJsonParseError::NoError);
  for (size_t i = 0; i < std::size(names); ++i) {
    SCOPED_TRACE(names[i]);
    const QJsonObject object = report.array().at(static_cast<int>(i)).toObject();
    EXPECT_EQ(QByteArray::fromHex(object["port_bytes"].toString().toLatin1()).toStdString(),
              names[i]);
    EXPECT_EQ(object["port"].toString().toStdString(), ParsedBack(JsonString(names[i])));
  }
  const std::string table = SummaryTable(results);
  EXPECT_NE(table.find("\n/tmp/p\\xff\\xfe  "), std::string::npos) << table;
  EXPECT_NE(table.find("\n/tmp/esc\\x1b[2J  "), std::string::npos) << table;
  EXPECT_EQ(table.find('\x1b'), std::string::npos) << table;
}

TEST(Report, ExitCodeOfSeveralIsTheMostSevere) {
  struct Case {
    std::vector<int> codes;
    int combined;
  };
  const Case cases[] = {
      {{0}, 0},       {{0, 0, 0}, 0}, {{0, 3}, 3},    {{3, 0}, 3},
      {{3, 1, 0}, 1}, {{1, 3}, 1},    {{0, 0, 1}, 1}, {{}, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CombinedExitCode(c.codes), c.combined) << ::testing::PrintToString(c.codes);
  }
}

TEST(Report, SummaryTableLinesUpItsColumns) {
  const std::string table = SummaryTable({Result("/tmp/a-long-port", 0), Result("b", 1)});
  std::istringstream lines(table);
  std::vector<std::string> rows;
  for (std::string line; std::getline(lines, line);) rows.push_back(line);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].find("result"), rows[1].find("OK"));
  EXPECT_EQ(rows[0].find("result"), rows[2].find("FAILED"));
  EXPECT_EQ(rows[0].find("cause"), rows[2].find("no-connection"));
  EXPECT_NE(rows[2].find("512 / 1024"), std::string::npos);
  EXPECT_NE(rows[2].find("1.5 s"), std::string::npos);
}

// Already current is neither programmed nor failed; an unconfirmed restart
// is named only where there is one.
TEST(Report, SummaryCountsEachKindOfEnd) {
  InstrumentResult current = Result("c", 0);
  current.cause = RunCause::AlreadyCurrent;
  InstrumentResult unconfirmed = Result("u", 3);
  unconfirmed.cause = RunCause::RestartNotConfirmed;
  const struct {
    std::vector<InstrumentResult> results;
    std::string counts;
  } cases[] = {
      {{Result("a", 0), current, Result("b", 1)}, "programmed: 1, already current: 1, failed: 1"},
      {{current, current}, "programmed: 0, already current: 2, failed: 0"},
      {{Result("a", 0), unconfirmed, Result("b", 1)},
       "programmed: 1, already current: 0, failed: 1, restart not confirmed: 1"},
  };
  for (const auto& c : cases) EXPECT_EQ(SummaryCounts(c.results), c.counts);
  const std::string table = SummaryTable({current, Result("b", 1)});
  EXPECT_NE(table.find("\nc     CURRENT  already-current"), std::string::npos) << table;
}

class AtomicWrite : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("quorvel-atomic-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  size_t Files() const {
    return static_cast<size_t>(std::distance(fs::directory_iterator(dir_), {}));
  }
  fs::path dir_;
};

TEST_F(AtomicWrite, ReplacesTheFileWholeAndLeavesNothingBeside) {
  const std::string path = (dir_ / "report.json").string();
  std::ofstream(path) << "old and longer content";
  std::string error;
  ASSERT_TRUE(ReplaceFileContents(path, "{}\n", &error)) << error;
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), "{}\n");
  EXPECT_EQ(Files(), 1u);
}

TEST_F(AtomicWrite, AFolderThatCannotTakeItNamesTheReason) {
  std::string error;
  EXPECT_FALSE(ReplaceFileContents((dir_ / "absent" / "r.json").string(), "{}", &error));
  EXPECT_FALSE(error.empty());
  // A folder where the file should be: the rename fails, no temporary stays.
  fs::create_directories(dir_ / "taken" / "inner");
  error.clear();
  EXPECT_FALSE(ReplaceFileContents((dir_ / "taken").string(), "{}", &error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(Files(), 1u);
}

// What a console wrote to its two streams.
struct Streams {
  Streams() : lines(std::tmpfile()), progress(std::tmpfile()) {}
  ~Streams() {
    std::fclose(lines);
    std::fclose(progress);
  }
  static std::string Read(std::FILE* file) {
    std::fflush(file);
    std::rewind(file);
    std::string text;
    for (int c; (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
    return text;
  }
  std::FILE* lines;
  std::FILE* progress;
};

// The progress drawn as on a terminal that the log lines share.
RunConsole::Drawing Shown() {
  RunConsole::Drawing drawing;
  drawing.shown = true;
  return drawing;
}

TEST(RunConsole, SeveralRunsPrefixEveryLineWithTheirPort) {
  Streams streams;
  RunConsole console({"ttyA", "ttyB"}, streams.lines, streams.progress, {});
  console.Line(1, "- Device reset: OK");
  console.Line(0, "Quorvel: text\n\nmore");
  ProgressValues values;
  values.SetFullWidth(40);
  values.SetMax(100);
  values.SetWritten(50);
  console.Progress(0, values);
  console.EndProgress();
  EXPECT_EQ(Streams::Read(streams.lines),
            "[ttyB] - Device reset: OK\n[ttyA] Quorvel: text\n[ttyA] \n[ttyA] more\n");
  // Not a terminal: no progress drawn.
  EXPECT_EQ(Streams::Read(streams.progress), "");
}

TEST(RunConsole, PortsAndLinesReachTheTerminalPrintable) {
  Streams streams;
  RunConsole console({"/tmp/\x1b[31mred", "/tmp/p\xFF"}, streams.lines, streams.progress, {});
  console.Line(0, "Comm port: /tmp/\x1b[31mred  9600 N 8 1");
  console.Line(1, "one\ttab");
  EXPECT_EQ(Streams::Read(streams.lines),
            "[/tmp/\\x1b[31mred] Comm port: /tmp/\\x1b[31mred  9600 N 8 1\n"
            "[/tmp/p\\xff] one\\x09tab\n");
  EXPECT_EQ(console.Prefix(1), "[/tmp/p\\xff] ");
}

TEST(RunConsole, OneProgressLinePerRunRedrawnBelowTheLog) {
  Streams streams;
  RunConsole console({"ttyA", "ttyB"}, streams.lines, streams.progress, Shown());
  ProgressValues values;
  values.SetFullWidth(4);
  values.SetMax(100);
  values.SetWritten(50);
  console.Progress(1, values);
  console.Line(0, "x");
  console.FinishProgress(1, values);
  console.EndProgress();
  const std::string drawn = Streams::Read(streams.progress);
  // Both rows on every draw; the block is cleared before a log line and
  // drawn again after it.
  EXPECT_NE(drawn.find("\r[ttyA] \033[K\n\r[ttyB] [##..] 50 / 100  50%\033[K\n"), std::string::npos)
      << drawn;
  EXPECT_NE(drawn.find("\033[2A\033[J"), std::string::npos) << drawn;
  EXPECT_EQ(Streams::Read(streams.lines), "[ttyA] x\n");
}

TEST(RunConsole, OneRunLooksAsItAlwaysHas) {
  Streams streams;
  RunConsole console({"ttyA"}, streams.lines, streams.progress, Shown());
  ProgressValues values;
  values.SetFullWidth(4);
  values.SetMax(100);
  values.SetWritten(100);
  console.Line(0, "first");
  console.Progress(0, values);
  console.Line(0, "second");
  console.FinishProgress(0, values);
  console.Line(0, "- Result: done");
  EXPECT_EQ(Streams::Read(streams.lines), "first\nsecond\n- Result: done\n");
  EXPECT_EQ(Streams::Read(streams.progress),
            "\r[####] 100 / 100  100%\033[K\r\033[K\r[####] 100 / 100  100%\033[K\n");
}

// A console whose clock and timer the test turns: `now` is its time, and
// `arranged` the delays it asked to be called again after.
struct PacedConsole {
  explicit PacedConsole(std::vector<std::string> ports, bool linesOnSameTerminal,
                        std::FILE* progress = nullptr)
      : console(std::move(ports), streams.lines, progress ? progress : streams.progress, [&] {
          RunConsole::Drawing drawing;
          drawing.shown = true;
          drawing.linesOnSameTerminal = linesOnSameTerminal;
          drawing.now = [this] { return now; };
          drawing.callLater = [this](std::chrono::milliseconds delay) {
            arranged.push_back(delay);
          };
          return drawing;
        }()) {}
  // What the progress stream got since the last call.
  std::string NewProgress() {
    const std::string all = Streams::Read(streams.progress);
    const std::string fresh = all.substr(seen);
    seen = all.size();
    return fresh;
  }
  Streams streams;
  RunConsole::Clock::time_point now = RunConsole::Clock::time_point() + std::chrono::hours(1);
  std::vector<std::chrono::milliseconds> arranged;
  RunConsole console;
  size_t seen = 0;
};

ProgressValues Written(uint32_t bytes) {
  ProgressValues values;
  values.SetFullWidth(4);
  values.SetMax(100);
  values.SetWritten(bytes);
  return values;
}

TEST(RunConsole, ProgressIsDrawnAtMostEveryIntervalAndOnlyWhereItChanged) {
  PacedConsole paced({"ttyA", "ttyB", "ttyC"}, false);
  RunConsole& console = paced.console;
  console.Progress(0, Written(1));
  EXPECT_EQ(paced.NewProgress(),
            "\r[ttyA] [....] 1 / 100  1%\033[K\n\r[ttyB] \033[K\n\r[ttyC] \033[K\n");

  // Within the interval: nothing drawn, one later call arranged.
  for (uint32_t bytes = 2; bytes <= 60; ++bytes) console.Progress(0, Written(bytes));
  console.Progress(2, Written(50));
  EXPECT_EQ(paced.NewProgress(), "");
  EXPECT_EQ(paced.arranged, std::vector<std::chrono::milliseconds>{RunConsole::kDrawInterval});

  // Log lines of another stream leave the progress alone.
  console.Line(1, "- Device reset: OK");
  EXPECT_EQ(paced.NewProgress(), "");

  // The call: only the rows that changed, at their latest, the cursor back
  // below the block.
  paced.now += RunConsole::kDrawInterval;
  console.DrawDue();
  EXPECT_EQ(paced.NewProgress(),
            "\033[3A\r[ttyA] [##..] 60 / 100  60%\033[K\033[3B\r"
            "\033[1A\r[ttyC] [##..] 50 / 100  50%\033[K\033[1B\r");
  // The same values again draw nothing.
  paced.now += RunConsole::kDrawInterval;
  console.Progress(0, Written(60));
  EXPECT_EQ(paced.NewProgress(), "");
  EXPECT_EQ(Streams::Read(paced.streams.lines), "[ttyB] - Device reset: OK\n");
}

TEST(RunConsole, LinesOnTheSameTerminalTakeTheBlockAwayAndItComesBackAtMostEveryInterval) {
  PacedConsole paced({"ttyA", "ttyB"}, true);
  RunConsole& console = paced.console;
  console.Progress(0, Written(50));
  paced.NewProgress();
  for (int i = 0; i < 50; ++i) console.Line(i % 2, "- Writing data block: " + std::to_string(i));
  // Taken away once before the first line; not drawn again within the
  // interval.
  EXPECT_EQ(paced.NewProgress(), "\033[2A\033[J");
  paced.now += RunConsole::kDrawInterval;
  console.DrawDue();
  EXPECT_EQ(paced.NewProgress(), "\r[ttyA] [##..] 50 / 100  50%\033[K\n\r[ttyB] \033[K\n");
  EXPECT_EQ(paced.arranged.size(), 1u);
}

// A reader that takes nothing (a terminal held with Ctrl-S, a pipe behind a
// rate limit) never holds up a call: drawings it cannot take are skipped,
// and once it reads again it gets the latest state.
TEST(RunConsole, AReaderThatTakesNothingNeverHoldsUpTheRuns) {
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
  fcntl(ends[1], F_SETPIPE_SZ, 4096);
  const int flags = fcntl(ends[1], F_GETFL);
  fcntl(ends[1], F_SETFL, flags | O_NONBLOCK);
  const std::string filler(4096, 'x');
  while (write(ends[1], filler.data(), filler.size()) > 0) {
  }
  fcntl(ends[1], F_SETFL, flags);  // the stream's own descriptor blocks again
  std::FILE* stream = fdopen(ends[1], "w");
  ASSERT_NE(stream, nullptr);
  {
    PacedConsole paced({"ttyA", "ttyB"}, false, stream);
    for (uint32_t bytes = 1; bytes <= 100; ++bytes) {
      paced.now += RunConsole::kDrawInterval;
      paced.console.Progress(bytes % 2, Written(bytes));
      paced.console.DrawDue();
    }
    // The reader takes everything now.
    const int readFlags = fcntl(ends[0], F_GETFL);
    fcntl(ends[0], F_SETFL, readFlags | O_NONBLOCK);
    std::string got;
    char buffer[65536];
    const auto drain = [&] {
      for (ssize_t n; (n = read(ends[0], buffer, sizeof buffer)) > 0;) got.append(buffer, n);
    };
    drain();
    paced.now += RunConsole::kDrawInterval;
    paced.console.DrawDue();
    paced.console.EndProgress();
    drain();
    got.erase(0, got.find_first_not_of('x'));
    // The latest state came through, whole.
    EXPECT_NE(got.find("[ttyA] [####] 100 / 100  100%"), std::string::npos) << got;
    EXPECT_NE(got.find("[ttyB] [####] 99 / 100  99%"), std::string::npos) << got;
    EXPECT_LT(got.size(), 2000u) << "states the reader could not take were skipped";
  }
  std::fclose(stream);
  close(ends[0]);
}

}  // namespace
}  // namespace quorvel
