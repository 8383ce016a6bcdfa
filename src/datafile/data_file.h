// The encoded firmware file (.qvl) and the reading of either kind of data
// file (.qvl or Intel HEX) into the firmware image.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "app/prompt.h"

namespace quorvel {

// The firmware image: plain bytes, byte j belongs at target ImageStart + j.
struct FirmwareImage {
  std::vector<uint8_t> ImageData;
  uint32_t ImageStart = 0;
  uint32_t ImageSize() const { return static_cast<uint32_t>(ImageData.size()); }
  void Release() { std::vector<uint8_t>().swap(ImageData); }
};

// What reading a data file came to: a loaded file of either kind, or why it
// was refused.
enum class DataFileResult : int32_t {
  EncodedFileLoaded = 0,
  HexFileLoaded = 1,
  ReadError = -1,
  BadFormat = -2,
  BadVersion = -3,
  FileNotFound = -4,
  CrcError = -5,
};

// Accepted kinds of ReadDataFile.
constexpr uint8_t kAcceptEncoded = 1;
constexpr uint8_t kAcceptHex = 2;

// Largest image a data file may hold; larger files are refused before
// anything is allocated.
constexpr uint32_t kMaxImageSize = 64u * 1024 * 1024;

// "Quorvel " and the format version this program writes and supports.
constexpr const char* DataFileSignature = "Quorvel ";
constexpr const char* kDataFileVersion = "2.74";

// Why a data file was refused: the line (1-based, 0 when the cause is not
// tied to a line) and the cause, in the program's Language.
struct DataFileProblem {
  uint32_t Line = 0;
  std::string Cause;
};

// "FILE: line N: cause" (or "FILE: cause"), Polish or English by Language.
std::string DataFileProblemText(const std::string& fileName, const DataFileProblem& problem);

// A data file as it was read: the image with, for an encoded file, the device
// type it was made for; or the refusal with its cause.
struct DataFileContents {
  DataFileResult Result = DataFileResult::FileNotFound;
  // The image; valid only when the file was loaded.
  FirmwareImage Image;
  // Device type code and variant of an encoded file; 0 for a HEX file.
  uint16_t DevCode = 0;
  uint16_t Variant = 0;
  // The normalised format version of an encoded file (also when its version
  // was refused); empty otherwise.
  std::string FormatVersion;
  // Why the file was refused; empty when it was loaded.
  DataFileProblem Problem;

  bool Loaded() const {
    return Result == DataFileResult::EncodedFileLoaded || Result == DataFileResult::HexFileLoaded;
  }
};

// Reads a data file of the accepted kinds (kAcceptEncoded, kAcceptHex).
// Shows nothing: the caller shows the refusal's message (ShowDataFileError)
// where its user sees it. The file itself is never changed, not even its
// permissions.
DataFileContents ReadDataFile(const std::string& fileName, uint8_t acceptedKinds);

// Reads only the header of an encoded data file: its device type code,
// variant and format version; the image stays empty.
DataFileContents ReadDataFileHeader(const std::string& fileName);

// Reads a data file of either kind for programming runs, shared by every
// run that uses it, and shows a refusal's message through `prompt` (none:
// nowhere): the host reads the file once and hands it to each run.
std::shared_ptr<const DataFileContents> ReadFileForRuns(const std::string& fileName,
                                                        Prompt* prompt);

// The same two over the bytes of a file already in memory (a file and its
// bytes read alike).
DataFileContents ReadDataBytes(std::span<const uint8_t> bytes, uint8_t acceptedKinds);
DataFileContents ReadDataBytesHeader(std::span<const uint8_t> bytes);

// Writes an encoded data file; false on failure, without a message: the
// caller shows ShowWriteError(prompt, fileName, *failureDetail) where its
// user sees it. attributeCheck, when given, asks about an existing read-only
// or hidden file first (CheckFileAttr). The file that was there before
// survives every failed write. failureDetail, when given, receives the
// reason of a failure (the system's reason where there is one, in the
// program's language; empty when the attribute check declined) and is
// cleared on success.
bool WriteDataFile(const std::string& fileName, std::span<const uint8_t> image,
                   Prompt* attributeCheck, uint16_t devCode, uint16_t variant, uint32_t start,
                   std::string* failureDetail = nullptr);

// The message-box text of a refusal for a file, with the path shortened and
// the version labels lined up for `prompt`; the BadVersion text needs the
// file's version. Empty for a loaded file.
std::string DataFileErrorText(DataFileResult result, const std::string& fileName,
                              const std::string& fileVersion, const Prompt& prompt);

// The short text of a refusal ("CRC error"); empty for a loaded file.
std::string DataFileShortText(DataFileResult result);

// Shows the message of a refusal through `prompt`, with the error caption;
// nothing for a loaded file.
void ShowDataFileError(Prompt& prompt, DataFileResult result, const std::string& fileName,
                       const std::string& fileVersion = {});
// The same for what ReadDataFile gave.
void ShowDataFileError(Prompt& prompt, const DataFileContents& contents,
                       const std::string& fileName);

// Encodes the image bytes as stored in a .qvl file (and decodes them: the
// operation is its own inverse). k is the 8-bit sum of the CRC's two bytes.
void ScrambleDataFileImage(std::span<uint8_t> bytes, uint16_t crc);

}  // namespace quorvel
