// quorvel-cli devices, info and encode: the device list and the data files.
#include <cstdio>
#include <string>

#include "app/globals.h"
#include "app/save_name.h"
#include "app/text_utils.h"
#include "cli/cli_prompt.h"
#include "cli/commands.h"
#include "cli/listings_json.h"
#include "datafile/data_file.h"
#include "datafile/file_checks.h"
#include "datafile/hex_encoding.h"
#include "datafile/utilities.h"
#include "run/device_types.h"
#include "run/line_settings.h"

namespace quorvel {
namespace {

constexpr TextPair kDeviceNotSelected{"BŁĄD\r\nNie wybrano typu urządzenia.",
                                      "ERROR\r\nDevice not selected."};
constexpr TextPair kUnknownDeviceText{"Nieznany typ urządzenia: ", "Unknown device type: "};
constexpr TextPair kDataEncoded{
    "Zakodowano dane.\r\nPlik hex:\r\n    %s\r\nPlik zakodowany:\r\n    %s",
    "Data encoded.\r\nHEX file:\r\n    %s\r\nEncoded file:\r\n    %s"};
constexpr TextPair kAlreadyExists{"Plik\r\n%s\r\njuż istnieje.\r\nCzy chcesz go zamienić?",
                                  "File\r\n%s\r\nalready exists.\r\nOverwrite?"};
constexpr TextPair kSaveTitle{"Zapisz", "Save"};

std::string Hex32(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

// The name of the encoded file as typed, completed with ".qvl"; asks before
// replacing a file. Empty when there is none, `exitCode` telling why.
std::string EncodedFileName(const std::string& typed, int& exitCode) {
  const std::string name = EffectiveSaveName(typed, "qvl");
  if (name.empty()) {
    exitCode = UsageError(typed);
    return {};
  }
  if (PathExists(name)) {
    const std::string question = FormatText(kAlreadyExists.text(), {DisplayPath(name)});
    if (!CurrentPrompt().AskYesNo(question, kSaveTitle.str(), kIconWarning, true) ||
        !CheckFileAttr(name, kSaveTitle.str(), CurrentPrompt())) {
      exitCode = kExitFailure;
      return {};
    }
  }
  return name;
}

}  // namespace

int DevicesCommand(const CliContext& context) {
  if (!context.args.positionals.empty()) return UsageError(context.args.positionals.front());
  const TDevAvailArray list = BuildDeviceList();
  if (context.args.Flag("json")) {
    PrintDevicesJson(list);
    return kExitOk;
  }
  const std::vector<std::string> texts = DeviceDisplayTexts(list);
  for (size_t i = 0; i < list.size(); ++i) {
    const TDevAvailData& row = list[i];
    const LineSettings defaults{row.BaudIndex, row.ParityIndex, row.DataBitsIndex,
                                row.StopBitsIndex};
    std::printf("%s\t%s\t%s\n", texts[i].c_str(), LinkKindName(row.LinkKind).c_str(),
                LineSettingsCaption(defaults).c_str());
  }
  return kExitOk;
}

int InfoCommand(const CliContext& context) {
  if (context.args.positionals.size() != 1) return UsageError("info FILE");
  const std::string& fileName = context.args.positionals.front();
  // The short text below is this command's report; the reader's long message
  // is not shown.
  const DataFileContents file = ReadDataFile(fileName, kAcceptEncoded | kAcceptHex);
  if (!file.Loaded()) {
    std::fprintf(stderr, "%s\n%s\n", DataFileShortText(file.Result).c_str(),
                 DataFileProblemText(fileName, file.Problem).c_str());
    return kExitFailure;
  }
  if (context.args.Flag("json")) {
    PrintDataFileJson(fileName, file);
    return kExitOk;
  }
  const FirmwareImage& image = file.Image;
  if (file.Result == DataFileResult::EncodedFileLoaded) {
    std::printf("kind: qvl\n");
    std::printf("device: %u %s\n", file.DevCode, DeviceNameOf(file.DevCode).c_str());
    std::printf("variant: %u\n", file.Variant);
    std::printf("version: %s\n", file.FormatVersion.c_str());
  } else {
    std::printf("kind: hex\n");
  }
  std::printf("start: %s\n", Hex32(image.ImageStart).c_str());
  std::printf("size: %u\n", image.ImageSize());
  return kExitOk;
}

int EncodeCommand(const CliContext& context) {
  const CliArgs& args = context.args;
  if (!args.Has("device") || args.positionals.size() != 2) {
    return UsageError("encode --device TEXT HEXFILE OUTFILE");
  }
  const TDevAvailArray list = BuildDeviceList();
  const int row = FindDeviceByDisplayText(list, args.Get("device"));
  if (row < 0) return UsageError(kUnknownDeviceText.str() + args.Get("device"));
  if (row == 0) {
    // "Unknown device" names no device type: an argument error, as for program.
    CurrentPrompt().MsgBox(kDeviceNotSelected.str(), std::string(ProgramName()), kIconWarning);
    return kExitUsage;
  }

  const std::string& hexName = args.positionals[0];
  int noTargetExit = kExitFailure;
  const HexEncoding encoding = EncodeHexFile(hexName, list[row].DevCode, list[row].Variant, [&] {
    return EncodedFileName(args.positionals[1], noTargetExit);
  });
  const std::string& outName = encoding.Target;
  switch (encoding.End) {
    case HexEncodingEnd::HexRefused:
      ShowDataFileError(CurrentPrompt(), encoding.Hex.Result, hexName);
      // After the reader's message: where and why, on one line.
      std::fprintf(stderr, "%s\n", DataFileProblemText(hexName, encoding.Hex.Problem).c_str());
      return kExitFailure;
    case HexEncodingEnd::NoTarget:
      return noTargetExit;
    case HexEncodingEnd::WriteFailed:
      ShowWriteError(CurrentPrompt(), outName, encoding.WriteFailure);
      // After the writer's message, which may show a shortened name: the whole
      // name and the reason, on one line like a reading failure's.
      if (!encoding.WriteFailure.empty()) {
        std::fprintf(stderr, "%s: %s\n", outName.c_str(), encoding.WriteFailure.c_str());
      }
      return kExitFailure;
    case HexEncodingEnd::Written:
      break;
  }
  CurrentPrompt().MsgBox(
      FormatText(kDataEncoded.text(), {DisplayPath(hexName), DisplayPath(outName)}),
      std::string(ProgramName()), kIconInformation);
  return kExitOk;
}

}  // namespace quorvel
