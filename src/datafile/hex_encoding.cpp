#include "datafile/hex_encoding.h"

namespace quorvel {

HexEncoding EncodeHexFile(const std::string& hexName, uint16_t devCode, uint16_t variant,
                          const std::function<std::string()>& chooseTarget) {
  HexEncoding encoding;
  encoding.Hex = ReadDataFile(hexName, kAcceptHex);
  if (!encoding.Hex.Loaded()) {
    encoding.End = HexEncodingEnd::HexRefused;
    return encoding;
  }
  encoding.Target = chooseTarget();
  if (encoding.Target.empty()) {
    encoding.End = HexEncodingEnd::NoTarget;
  } else {
    const FirmwareImage& image = encoding.Hex.Image;
    const bool written = WriteDataFile(encoding.Target, image.ImageData, nullptr, devCode, variant,
                                       image.ImageStart, &encoding.WriteFailure);
    encoding.End = written ? HexEncodingEnd::Written : HexEncodingEnd::WriteFailed;
  }
  // The image was only needed for the write.
  encoding.Hex.Image.Release();
  return encoding;
}

}  // namespace quorvel
