// Encoding an Intel HEX file into an encoded data file (.qvl) for one device
// type: the window's "Encode data file" command and quorvel-cli encode do it
// through here, each with its own dialogs and messages around it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "datafile/data_file.h"

namespace quorvel {

// How an encoding ended.
enum class HexEncodingEnd {
  // The encoded file was written.
  Written,
  // The HEX file was refused; no name was asked for, nothing was written.
  HexRefused,
  // No name was given for the encoded file; nothing was written.
  NoTarget,
  // The encoded file could not be written; a file that was there survives.
  WriteFailed,
};

struct HexEncoding {
  HexEncodingEnd End = HexEncodingEnd::HexRefused;
  // The HEX file as it was read: with a refusal, its Result, Problem and
  // FormatVersion tell why. The image is not kept.
  DataFileContents Hex;
  // The name of the encoded file as the host gave it; empty without one.
  std::string Target;
  // Why the write failed: the system's reason where there is one, in the
  // program's language.
  std::string WriteFailure;
};

// Reads the HEX file; once it is read, asks chooseTarget for the name of the
// encoded file (an empty name ends the encoding) and writes the image there
// for the device type code and variant. Shows nothing: the host turns the
// result into its own messages, and asks what it asks (whether to replace a
// file) inside chooseTarget.
HexEncoding EncodeHexFile(const std::string& hexName, uint16_t devCode, uint16_t variant,
                          const std::function<std::string()>& chooseTarget);

}  // namespace quorvel
