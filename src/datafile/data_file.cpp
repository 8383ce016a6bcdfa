#include "datafile/data_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/globals.h"
#include "app/prompt.h"
#include "app/text_utils.h"
#include "datafile/byte_source.h"
#include "datafile/file_checks.h"
#include "datafile/hex_file.h"
#include "datafile/system_error_text.h"
#include "datafile/utilities.h"

namespace quorvel {
namespace {

constexpr TextPair kCaptionError{"Błąd", "Error"};
constexpr TextPair kCaptionSave{"Zapisz", "Save"};
constexpr TextPair kVersionLabel{"Wersja pliku danych: ", "Data file version: "};
constexpr TextPair kSupportedLabel{"Wersja obsługiwana do: ", "Supported version up to: "};

// Message and short texts of the codes -5 .. -1, at index code + 5.
constexpr std::array<TextPair, 5> kErrorTexts{{
    {"Błąd CRC danych:\r\n%s", "CRC error:\r\n%s"},
    {"Nie znaleziono pliku:\r\n%s", "File not found:\r\n%s"},
    {"Niewłaściwa wersja pliku danych:\r\n%s\r\n%s\r\n%s",
     "Incompatible data file version:\r\n%s\r\n%s\r\n%s"},
    {"Niewłaściwy format pliku:\r\n%s", "Bad file format:\r\n%s"},
    {"Wystąpił błąd podczas odczytu pliku:\r\n%s", "Data reading error:\r\n%s"},
}};
constexpr std::array<TextPair, 5> kShortTexts{{
    {"Błąd CRC danych", "CRC error"},
    {"Nie znaleziono pliku", "File not found"},
    {"Niewłaściwa wersja pliku danych", "Incompatible data file version"},
    {"Niewłaściwy format pliku", "Bad file format"},
    {"Wystąpił błąd podczas odczytu pliku", "Data reading error"},
}};

// The causes of a refused file, for DataFileProblem.
constexpr TextPair kProblemWithLine{"%s: wiersz %s: %s", "%s: line %s: %s"};
constexpr TextPair kEmptyFile{"plik jest pusty", "the file is empty"};
constexpr TextPair kNeitherKind{"to nie jest ani zakodowany plik danych, ani plik Intel HEX",
                                "neither an encoded data file nor an Intel HEX file"};
constexpr TextPair kNotHexFile{"to nie jest plik Intel HEX: pierwszy znak nie jest dwukropkiem",
                               "not an Intel HEX file: the first character is not ':'"};
constexpr TextPair kNotEncodedFile{"to nie jest zakodowany plik danych: brak sygnatury „Quorvel ”",
                                   "not an encoded data file: no \"Quorvel \" signature"};
constexpr TextPair kEndsInField{"plik kończy się w polu nagłówka: %s",
                                "the file ends inside the header field: %s"};
constexpr TextPair kFieldSignature{"sygnatura", "signature"};
constexpr TextPair kFieldVersion{"wersja formatu (brak spacji kończącej)",
                                 "format version (no blank ends it)"};
constexpr TextPair kFieldDevice{"kod typu urządzenia", "device type code"};
constexpr TextPair kFieldVariant{"kod wariantu urządzenia", "device variant code"};
constexpr TextPair kFieldCrc{"CRC obrazu", "image CRC"};
constexpr TextPair kFieldStart{"adres początkowy", "start address"};
constexpr TextPair kVersionTooLong{"tekst wersji formatu jest dłuższy niż 256 znaków",
                                   "the format version text is longer than 256 characters"};
constexpr TextPair kNewerVersion{"wersja formatu %s jest nowsza niż obsługiwana %s",
                                 "format version %s is newer than the supported %s"};
constexpr TextPair kNoImage{"brak obrazu po nagłówku", "no image after the header"};
constexpr TextPair kImageTooLarge{"obraz jest większy niż 64 MiB",
                                  "the image is larger than 64 MiB"};
constexpr TextPair kImageCut{"plik skończył się przed końcem obrazu",
                             "the file ended before the end of the image"};
constexpr TextPair kCrcMismatch{"niezgodne CRC obrazu: zapisane 0x%s, obliczone 0x%s",
                                "image CRC mismatch: stored 0x%s, computed 0x%s"};
constexpr TextPair kImageEmpty{"obraz jest pusty", "the image is empty"};

constexpr size_t kSignatureLength = 8;
// No version this program ever wrote comes near this; a longer text is not a
// version and must not make the reader collect the whole file.
constexpr size_t kMaxVersionLength = 256;
// Blanks the supported-version label may get to line up with the other one.
constexpr int kMaxPadding = 64;

bool IsRefusal(DataFileResult result) {
  const auto code = static_cast<int32_t>(result);
  return code >= static_cast<int32_t>(DataFileResult::CrcError) &&
         code <= static_cast<int32_t>(DataFileResult::ReadError);
}

// The texts of a refusal, at index code + 5.
size_t TextIndex(DataFileResult result) {
  return static_cast<size_t>(static_cast<int32_t>(result) + 5);
}

// Buffered reads from the start of a file, each delivering exactly the bytes
// asked for or failing.
class HeaderReader {
 public:
  explicit HeaderReader(ByteSource& source) : source_(source) {}

  bool Read(void* out, size_t count) {
    auto* dest = static_cast<uint8_t*>(out);
    while (count > 0) {
      if (pos_ == end_ && !Refill()) return false;
      size_t take = std::min(count, end_ - pos_);
      std::memcpy(dest, buffer_.data() + pos_, take);
      pos_ += take;
      dest += take;
      count -= take;
      consumed_ += take;
    }
    return true;
  }

  template <typename T>
  bool ReadLittleEndian(T& value) {
    std::array<uint8_t, sizeof(T)> bytes{};
    if (!Read(bytes.data(), bytes.size())) return false;
    value = 0;
    for (size_t i = sizeof(T); i-- > 0;) value = static_cast<T>((value << 8) | bytes[i]);
    return true;
  }

  // Bytes handed out so far: the file position of the next one.
  uint64_t Consumed() const { return consumed_; }

  // The system's error of a failed read; 0 when the file just ended.
  int Error() const { return error_; }

  // The rest of the file into `out` (exactly out.size() bytes).
  bool ReadRest(std::vector<uint8_t>& out) { return Read(out.data(), out.size()); }

 private:
  bool Refill() {
    const ssize_t got = source_.Read(buffer_.data(), buffer_.size());
    if (got < 0) error_ = errno;
    if (got <= 0) return false;
    pos_ = 0;
    end_ = static_cast<size_t>(got);
    return true;
  }

  ByteSource& source_;
  std::array<uint8_t, 4096> buffer_{};
  size_t pos_ = 0;
  size_t end_ = 0;
  uint64_t consumed_ = 0;
  int error_ = 0;
};

std::string Hex4(uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", value);
  return text;
}

DataFileResult Refuse(DataFileProblem& problem, DataFileResult result, std::string cause) {
  problem = {0, std::move(cause)};
  return result;
}

// A read that delivered too little: reading failed, or the file ended inside
// the part named by `cut`.
DataFileResult ReadCut(const HeaderReader& reader, DataFileProblem& problem, std::string cut) {
  if (reader.Error() != 0) {
    return Refuse(problem, DataFileResult::ReadError, ReadFailedText(reader.Error()));
  }
  return Refuse(problem, DataFileResult::ReadError, std::move(cut));
}

DataFileResult HeaderCut(const HeaderReader& reader, DataFileProblem& problem,
                         const TextPair& field) {
  return ReadCut(reader, problem, FormatText(kEndsInField.text(), {field.text()}));
}

// How much of an encoded file is read.
enum class ReadExtent { WholeFile, HeaderOnly };

// Reads an encoded file after its signature matched; FormatVersion receives
// the normalised version text for the BadVersion message.
DataFileResult ReadEncoded(ByteSource& source, ReadExtent extent, DataFileContents& contents) {
  DataFileProblem& problem = contents.Problem;
  std::string& version = contents.FormatVersion;
  FirmwareImage& image = contents.Image;
  const uint64_t fileLength = source.Size();
  HeaderReader reader(source);
  std::array<uint8_t, kSignatureLength> signature{};
  if (!reader.Read(signature.data(), signature.size())) {
    return HeaderCut(reader, problem, kFieldSignature);
  }

  std::string versionText;
  for (;;) {
    char c = 0;
    if (versionText.size() > kMaxVersionLength) {
      return Refuse(problem, DataFileResult::ReadError, kVersionTooLong.str());
    }
    if (!reader.Read(&c, 1)) return HeaderCut(reader, problem, kFieldVersion);
    versionText += c;
    if (c == ' ') break;
  }
  version = NormalizeVer(versionText);
  if (CompareVer(version, kDataFileVersion) > 0) {
    return Refuse(problem, DataFileResult::BadVersion,
                  FormatText(kNewerVersion.text(), {version, kDataFileVersion}));
  }

  if (!reader.ReadLittleEndian(contents.DevCode)) return HeaderCut(reader, problem, kFieldDevice);
  if (!reader.ReadLittleEndian(contents.Variant)) {
    return HeaderCut(reader, problem, kFieldVariant);
  }
  if (extent == ReadExtent::HeaderOnly) return DataFileResult::EncodedFileLoaded;

  uint16_t crc = 0;
  if (!reader.ReadLittleEndian(crc)) return HeaderCut(reader, problem, kFieldCrc);
  image.Release();
  uint32_t start = 0;
  if (MajorVersion(version) >= 2 && !reader.ReadLittleEndian(start)) {
    return HeaderCut(reader, problem, kFieldStart);
  }
  image.ImageStart = start;

  if (fileLength <= reader.Consumed()) {
    return Refuse(problem, DataFileResult::ReadError, kNoImage.str());
  }
  uint64_t size = fileLength - reader.Consumed();
  if (size > kMaxImageSize) {
    return Refuse(problem, DataFileResult::ReadError, kImageTooLarge.str());
  }
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  if (!reader.ReadRest(bytes)) return ReadCut(reader, problem, kImageCut.str());
  ScrambleDataFileImage(bytes, crc);
  uint16_t actual = CalcCRC16(bytes.data(), static_cast<int64_t>(bytes.size()), 0xFFFF);
  image.ImageData = std::move(bytes);
  if (actual != crc) {
    return Refuse(problem, DataFileResult::CrcError,
                  FormatText(kCrcMismatch.text(), {Hex4(crc), Hex4(actual)}));
  }
  return DataFileResult::EncodedFileLoaded;
}

// The -2 cause: what the file is not.
std::string NotAcceptedText(uint8_t acceptedKinds, ssize_t firstBytes) {
  if (firstBytes == 0) return kEmptyFile.str();
  switch (acceptedKinds & (kAcceptEncoded | kAcceptHex)) {
    case kAcceptHex:
      return kNotHexFile.str();
    case kAcceptEncoded:
      return kNotEncodedFile.str();
    default:
      return kNeitherKind.str();
  }
}

DataFileResult ReadAnyKind(ByteSource& source, uint8_t acceptedKinds, ReadExtent extent,
                           DataFileContents& contents) {
  DataFileProblem& problem = contents.Problem;
  std::array<char, kSignatureLength> first{};
  const ssize_t got = source.PeekStart(first.data(), first.size());
  if (got < 0) {
    return Refuse(problem, DataFileResult::ReadError, ReadFailedText(errno));
  }

  if ((acceptedKinds & kAcceptEncoded) != 0 && got == static_cast<ssize_t>(kSignatureLength) &&
      std::memcmp(first.data(), DataFileSignature, kSignatureLength) == 0) {
    return ReadEncoded(source, extent, contents);
  }
  if ((acceptedKinds & kAcceptHex) != 0 && got > 0 && first[0] == ':') {
    const int32_t result = ReadHexSource(source, contents.Image, &problem);
    if (result != 0) return static_cast<DataFileResult>(result);
    return DataFileResult::HexFileLoaded;
  }
  return Refuse(problem, DataFileResult::BadFormat, NotAcceptedText(acceptedKinds, got));
}

}  // namespace

void ScrambleDataFileImage(std::span<uint8_t> bytes, uint16_t crc) {
  const uint8_t k = static_cast<uint8_t>((crc & 0xFF) + (crc >> 8));
  for (size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<uint8_t>(bytes[i] ^ k ^ (i & 0xFF));
  }
}

std::string DataFileErrorText(DataFileResult result, const std::string& fileName,
                              const std::string& fileVersion, const Prompt& prompt) {
  if (!IsRefusal(result)) return {};
  std::string_view pattern = kErrorTexts[TextIndex(result)].text();
  if (result != DataFileResult::BadVersion) {
    return FormatText(pattern, {DisplayPath(fileName, prompt)});
  }
  std::string versionLabel = kVersionLabel.str();
  std::string supportedLabel = kSupportedLabel.str();
  const int wanted = prompt.TextWidth(versionLabel);
  for (int i = 0; i < kMaxPadding && prompt.TextWidth(supportedLabel) < wanted; ++i) {
    supportedLabel += ' ';
  }
  return FormatText(pattern, {DisplayPath(fileName, prompt), versionLabel + fileVersion,
                              supportedLabel + kDataFileVersion});
}

std::string DataFileShortText(DataFileResult result) {
  if (!IsRefusal(result)) return {};
  return kShortTexts[TextIndex(result)].str();
}

void ShowDataFileError(Prompt& prompt, DataFileResult result, const std::string& fileName,
                       const std::string& fileVersion) {
  if (!IsRefusal(result)) return;
  prompt.MsgBox(DataFileErrorText(result, fileName, fileVersion, prompt), kCaptionError.str(),
                kIconWarning);
}

void ShowDataFileError(Prompt& prompt, const DataFileContents& contents,
                       const std::string& fileName) {
  ShowDataFileError(prompt, contents.Result, fileName, contents.FormatVersion);
}

std::string DataFileProblemText(const std::string& fileName, const DataFileProblem& problem) {
  if (problem.Line == 0) return fileName + ": " + problem.Cause;
  return FormatText(kProblemWithLine.text(),
                    {fileName, std::to_string(problem.Line), problem.Cause});
}

namespace {

// A refused file hands out no image, and only an encoded file has a device.
DataFileContents& Settled(DataFileContents& contents) {
  if (!contents.Loaded()) contents.Image.Release();
  if (contents.Result != DataFileResult::EncodedFileLoaded) {
    contents.DevCode = 0;
    contents.Variant = 0;
  }
  return contents;
}

DataFileContents ReadFile(const std::string& fileName, uint8_t acceptedKinds, ReadExtent extent) {
  DataFileContents contents;
  // Opening for reading needs no change to the file: a read-only file is
  // read as it is, and nothing about it is touched.
  if (!PathExists(fileName)) {
    contents.Result = DataFileResult::FileNotFound;
    contents.Problem.Cause = SystemErrorText(ENOENT);
    return Settled(contents);
  }
  const RegularFileForReading file(fileName);
  if (!file.IsOpen()) {
    contents.Result = Refuse(contents.Problem, DataFileResult::ReadError, file.Failure());
    return Settled(contents);
  }
  posix_fadvise(file.Fd(), 0, 0, POSIX_FADV_SEQUENTIAL);
  FileByteSource source(file.Fd(), file.Size());
  contents.Result = ReadAnyKind(source, acceptedKinds, extent, contents);
  return Settled(contents);
}

DataFileContents ReadBytes(std::span<const uint8_t> bytes, uint8_t acceptedKinds,
                           ReadExtent extent) {
  DataFileContents contents;
  MemoryByteSource source(bytes);
  contents.Result = ReadAnyKind(source, acceptedKinds, extent, contents);
  return Settled(contents);
}

}  // namespace

DataFileContents ReadDataFile(const std::string& fileName, uint8_t acceptedKinds) {
  return ReadFile(fileName, acceptedKinds, ReadExtent::WholeFile);
}

DataFileContents ReadDataFileHeader(const std::string& fileName) {
  return ReadFile(fileName, kAcceptEncoded, ReadExtent::HeaderOnly);
}

std::shared_ptr<const DataFileContents> ReadFileForRuns(const std::string& fileName,
                                                        Prompt* prompt) {
  auto file =
      std::make_shared<const DataFileContents>(ReadDataFile(fileName, kAcceptEncoded | kAcceptHex));
  if (!file->Loaded() && prompt != nullptr) ShowDataFileError(*prompt, *file, fileName);
  return file;
}

DataFileContents ReadDataBytes(std::span<const uint8_t> bytes, uint8_t acceptedKinds) {
  return ReadBytes(bytes, acceptedKinds, ReadExtent::WholeFile);
}

DataFileContents ReadDataBytesHeader(std::span<const uint8_t> bytes) {
  return ReadBytes(bytes, kAcceptEncoded, ReadExtent::HeaderOnly);
}

bool WriteDataFile(const std::string& fileName, std::span<const uint8_t> image,
                   Prompt* attributeCheck, uint16_t devCode, uint16_t variant, uint32_t start,
                   std::string* failureDetail) {
  if (failureDetail != nullptr) failureDetail->clear();
  if (attributeCheck != nullptr && PathExists(fileName) &&
      !CheckFileAttr(fileName, kCaptionSave.str(), *attributeCheck)) {
    return false;
  }
  bool ok = false;
  std::string reason;
  // An empty image makes no data file, and one the reader would refuse as
  // too large is not written either.
  if (image.empty()) {
    reason = kImageEmpty.str();
  } else if (image.size() > kMaxImageSize) {
    reason = kImageTooLarge.str();
  } else {
    std::string bytes = DataFileSignature;
    bytes += kDataFileVersion;
    bytes += ' ';
    const uint16_t crc = CalcCRC16(image.data(), static_cast<int64_t>(image.size()), 0xFFFF);
    auto put = [&bytes](uint32_t value, int count) {
      for (int i = 0; i < count; ++i) bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
    };
    put(devCode, 2);
    put(variant, 2);
    put(crc, 2);
    put(start, 4);
    const size_t headerSize = bytes.size();
    bytes.append(reinterpret_cast<const char*>(image.data()), image.size());
    // Scrambled in the file's own buffer: the caller's image stays plain.
    ScrambleDataFileImage(
        std::span<uint8_t>(reinterpret_cast<uint8_t*>(bytes.data()) + headerSize, image.size()),
        crc);
    ok = ReplaceFileContents(fileName, bytes, &reason);
  }
  if (!ok && failureDetail != nullptr) *failureDetail = std::move(reason);
  return ok;
}

}  // namespace quorvel
