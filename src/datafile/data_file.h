// The encoded firmware file (.qvl) and the reading of either kind of data
// file (.qvl or Intel HEX) into the firmware image.
#pragma once

#include <cstdint>
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

// Result codes of ReadDataFile.
constexpr int32_t kHexFileLoaded = 1;
constexpr int32_t kEncodedFileLoaded = 0;
constexpr int32_t kReadError = -1;
constexpr int32_t kBadFormat = -2;
constexpr int32_t kBadVersion = -3;
constexpr int32_t kFileNotFound = -4;
constexpr int32_t kCrcError = -5;

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

// Reads a data file. devCode and variant are set for encoded files only (0
// for HEX). headerOnly stops after the variant code and leaves the image
// alone. On a negative result the image is not valid. Shows nothing: the
// caller shows the result's message (ShowDataFileError with the format
// version) where its user sees it. formatVersion, when given, receives the
// normalised format version of an encoded file (also with -3) and is cleared
// otherwise. problem, when given, receives the cause of every negative
// result and is cleared otherwise. The file itself is never changed, not
// even its permissions.
int32_t ReadDataFile(const std::string& fileName, uint8_t acceptedKinds, bool headerOnly,
                     uint16_t& devCode, uint16_t& variant, FirmwareImage& image,
                     std::string* formatVersion = nullptr, DataFileProblem* problem = nullptr);

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

// The message-box text of a negative result code for a file, with the path
// shortened and the version labels lined up for `prompt`; the -3 text needs
// the file's version. Empty for codes without a message.
std::string DataFileErrorText(int32_t code, const std::string& fileName,
                              const std::string& fileVersion, const Prompt& prompt);

// The short text of a negative result code ("CRC error"); empty otherwise.
std::string DataFileShortText(int32_t code);

// Shows the message of a negative result code through `prompt`, with the
// error caption; nothing for other codes.
void ShowDataFileError(Prompt& prompt, int32_t code, const std::string& fileName,
                       const std::string& fileVersion = {});

// Encodes the image bytes as stored in a .qvl file (and decodes them: the
// operation is its own inverse). k is the 8-bit sum of the CRC's two bytes.
void ScrambleDataFileImage(std::span<uint8_t> bytes, uint16_t crc);

}  // namespace quorvel
