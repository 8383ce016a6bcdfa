#include "engine_test_support.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "datafile/data_file.h"
#include "run/log_texts.h"

namespace quorvel::test {

Bytes AppFrame(uint8_t address, uint8_t command, const Bytes& data) {
  Bytes frame{0x68};
  PutLe(frame, static_cast<uint32_t>(data.size() + 6), 2);
  frame.push_back(address);
  frame.push_back(command);
  frame.insert(frame.end(), data.begin(), data.end());
  frame.push_back(0x16);
  return frame;
}

uint16_t ModbusCrc(const uint8_t* bytes, size_t count) {
  uint16_t crc = 0xFFFF;
  for (size_t i = 0; i < count; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
  }
  return crc;
}

void PutLe(Bytes& out, uint32_t value, int count) {
  for (int i = 0; i < count; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

Bytes TestInstrument::Answer(const Bytes& sent) {
  if (fault) {
    if (std::optional<Bytes> reply = fault(sent)) return *reply;
  }
  if (!sent.empty() && sent[0] == 0x68) return inBootloader ? Bytes{} : AnswerApplication(sent);
  if (sent.size() >= 2 && sent[0] == 0xB0) return inBootloader ? AnswerBootloader(sent) : Bytes{};
  return {};
}

Bytes TestInstrument::AnswerApplication(const Bytes& frame) {
  appRequests.push_back(frame);
  if (frame.size() < 6 || frame[4] != appCommand) return {};
  if (frame[3] == addrIdentify) {
    return AppFrame(static_cast<uint8_t>(addrIdentify + 0x80), appCommand, identifyData);
  }
  if (frame[3] == addrBoot) {
    inBootloader = true;
    return AppFrame(static_cast<uint8_t>(addrBoot + 0x80), appCommand, bootReplyData);
  }
  return {};
}

Bytes TestInstrument::AnswerBootloader(const Bytes& command) {
  const uint8_t code = command[1];
  auto identityMatches = [&] {
    return command.size() >= 6 && (command[2] | command[3] << 8) == serialPart1 &&
           (command[4] | command[5] << 8) == serialPart2;
  };
  switch (code) {
    case 1:
      return {0x80, 0x01};
    case 2: {
      Bytes reply{0x80, 0x02};
      PutLe(reply, serialPart1, 2);
      PutLe(reply, serialPart2, 2);
      Bytes version(9, 0);
      std::copy_n(bootVersion.begin(), std::min<size_t>(bootVersion.size(), 9), version.begin());
      reply.insert(reply.end(), version.begin(), version.end());
      PutLe(reply, deviceCode, 2);
      PutLe(reply, blockSize, 2);
      reply.push_back(protocolVersion);
      return reply;
    }
    case 3:
      if (command.size() != 6 || !identityMatches()) return {0x7F, 0x03};
      ++erases;
      flash.clear();
      return {0x80, 0x03};
    case 4: {
      if (command.size() != 12u + blockSize || !identityMatches()) return {0x7F, 0x04};
      const uint8_t* addressBytes = command.data() + 6;
      const uint16_t crc = ModbusCrc(addressBytes, 4u + blockSize);
      if (crc != (command[10u + blockSize] | command[11u + blockSize] << 8)) {
        ++crcErrors;
        return {0x7F, 0x04};
      }
      const uint32_t address = addressBytes[0] | addressBytes[1] << 8 | addressBytes[2] << 16 |
                               static_cast<uint32_t>(addressBytes[3]) << 24;
      const uint16_t key = static_cast<uint16_t>(serialPart1 + serialPart2);
      Bytes plain(blockSize);
      for (uint32_t i = 0; i < blockSize / 2u; ++i) {
        uint16_t word = static_cast<uint16_t>(command[10 + 2 * i] | command[11 + 2 * i] << 8);
        word = static_cast<uint16_t>(word ^ key ^ i);
        plain[2 * i] = static_cast<uint8_t>(word);
        plain[2 * i + 1] = static_cast<uint8_t>(word >> 8);
      }
      flash[address] = plain;
      writeOrder.push_back(address);
      Bytes reply{0x80, 0x04};
      PutLe(reply, address, 4);
      return reply;
    }
    case 5:
      ++resets;
      return {0x80, 0x05};
    default:
      return {0x7F, 0x09};
  }
}

Bytes TestInstrument::Read(uint32_t start, uint32_t count) const {
  Bytes out(count, 0xFF);
  for (const auto& [address, block] : flash) {
    for (size_t i = 0; i < block.size(); ++i) {
      const uint64_t at = uint64_t{address} + i;
      if (at >= start && at < uint64_t{start} + count) out[at - start] = block[i];
    }
  }
  return out;
}

EngineHarness::EngineHarness() : savedLanguage_(Language) {
  char pattern[] = "/tmp/engine_test_XXXXXX";
  dir = mkdtemp(pattern);
  Language = 1;
  SetPrompt(&processPrompt);
  devices = BuildDeviceList();
  MakeEngine(TLinkKind::Serial);
  serial.onStatus = [this](TLinkStatus code, std::string_view text) {
    if (&engine->Link() == &serial) engine->OnLinkStatus(code, text);
  };
}

void EngineHarness::MakeEngine(TLinkKind linkKind) {
  RunSurroundings surroundings(linkKind == TLinkKind::Usb ? static_cast<RunLink&>(usb) : serial);
  surroundings.ticks = &clock;
  surroundings.prompt = &prompt;
  surroundings.post = [this](std::function<void()> continuation) {
    posted.push_back(std::move(continuation));
  };
  surroundings.traffic = [this](TrafficDirection direction, std::span<const uint8_t> bytes) {
    traffic.emplace_back(direction, Bytes(bytes.begin(), bytes.end()));
  };
  surroundings.ended = [this](RunEnd end) {
    ended = end;
    ++endsHeard;
  };
  engine.emplace(devices, log, surroundings);
}

EngineHarness::~EngineHarness() {
  EXPECT_TRUE(processPrompt.shown.empty())
      << "shown through the process-wide prompt: " << processPrompt.shown[0].text;
  SetPrompt(nullptr);
  Language = savedLanguage_;
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
}

int EngineHarness::RowIndex(const std::string& name, TLinkKind linkKind) const {
  for (size_t i = 0; i < devices.size(); ++i) {
    if (devices[i].Name == name && devices[i].LinkKind == linkKind) return static_cast<int>(i);
  }
  ADD_FAILURE() << "no row " << name;
  return 0;
}

std::string EngineHarness::WriteQvl(const std::string& name, const Bytes& image, uint16_t devCode,
                                    uint16_t variant, uint32_t start) {
  const std::string path = (dir / name).string();
  EXPECT_TRUE(WriteDataFile(path, image, nullptr, devCode, variant, start));
  return path;
}

std::string EngineHarness::WriteHex(const std::string& name, const Bytes& image, uint32_t start) {
  auto record = [](uint8_t type, uint16_t offset, const Bytes& data) {
    Bytes raw{static_cast<uint8_t>(data.size()), static_cast<uint8_t>(offset >> 8),
              static_cast<uint8_t>(offset), type};
    raw.insert(raw.end(), data.begin(), data.end());
    uint8_t sum = 0;
    for (uint8_t b : raw) sum = static_cast<uint8_t>(sum + b);
    raw.push_back(static_cast<uint8_t>(-sum));
    std::string line = ":";
    char hex[3];
    for (uint8_t b : raw) {
      std::snprintf(hex, sizeof hex, "%02X", b);
      line += hex;
    }
    return line + "\r\n";
  };
  std::string text;
  uint32_t upper = 0xFFFFFFFF;
  for (size_t i = 0; i < image.size(); i += 16) {
    const uint32_t address = start + static_cast<uint32_t>(i);
    if (address >> 16 != upper) {
      upper = address >> 16;
      text += record(4, 0, Bytes{static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)});
    }
    const size_t n = std::min<size_t>(16, image.size() - i);
    text += record(
        0, static_cast<uint16_t>(address),
        Bytes(image.begin() + static_cast<long>(i), image.begin() + static_cast<long>(i + n)));
  }
  text += ":00000001FF\r\n";
  const std::string path = (dir / name).string();
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

bool EngineHarness::Start(int row, const std::string& file, const std::string& busAddress) {
  RunSelection selection;
  selection.DeviceIndex = row;
  selection.DeviceText = devices[static_cast<size_t>(row)].Name;
  selection.PortName = "ttyUSB0";
  selection.PortIndex = 1;
  selection.FileName = file;
  selection.BusAddressText = busAddress;
  selection.Serial = line;
  selection.SkipVersion = skipVersion;
  selection.StartTime.tm_year = 124;
  selection.StartTime.tm_mon = 4;
  selection.StartTime.tm_mday = 7;
  selection.StartTime.tm_hour = 9;
  selection.StartTime.tm_min = 5;
  selection.StartTime.tm_sec = 3;
  answered = serial.sent.size();
  const TLinkKind kind = devices[static_cast<size_t>(row)].LinkKind;
  if (engine->Link().Kind() != kind) MakeEngine(kind);
  ended = RunEnd::None;
  endsHeard = 0;
  const bool goesOn = engine->StartRun(selection, ReadFileForRuns(file, &prompt));
  if (goesOn) engine->AttachProgress(&progress);
  return goesOn;
}

void EngineHarness::Pump() {
  for (;;) {
    if (autoAnswer && answered < serial.sent.size()) {
      const Bytes sent = serial.sent[answered++];
      const Bytes reply = instrument.Answer(sent);
      if (deliver) {
        deliver(sent, reply);
      } else if (!reply.empty()) {
        Feed(reply);
      }
    } else if (!posted.empty()) {
      // The events that waited run first, as in the host's event loop.
      if (onPendingEvents) onPendingEvents();
      std::function<void()> next = std::move(posted.front());
      posted.pop_front();
      next();
    } else {
      return;
    }
  }
}

void EngineHarness::Feed(const Bytes& chunk) {
  engine->OnLinkReceive(chunk.data(), static_cast<uint32_t>(chunk.size()));
}

void EngineHarness::Tick(uint32_t ms) {
  clock.now += ms;
  engine->TimerTimer();
}

uint32_t EngineHarness::RunFor(uint32_t ms) {
  uint32_t elapsed = 0;
  for (;;) {
    Pump();
    if (ended != RunEnd::None) {
      ++progressClosed;
      engine->Finish();
      return elapsed;
    }
    if (elapsed >= ms || !engine->Running()) return elapsed;
    elapsed += 100;
    Tick(100);
  }
}

std::vector<Bytes> EngineHarness::SentWithCode(uint8_t code) const {
  std::vector<Bytes> out;
  for (const Bytes& b : serial.sent) {
    if (b.size() >= 2 && b[0] == 0xB0 && b[1] == code) out.push_back(b);
  }
  return out;
}

std::vector<uint32_t> EngineHarness::WriteAddresses() const {
  std::vector<uint32_t> out;
  for (const Bytes& b : SentWithCode(4)) {
    out.push_back(b[6] | b[7] << 8 | b[8] << 16 | static_cast<uint32_t>(b[9]) << 24);
  }
  return out;
}

bool EngineHarness::LogHas(const std::string& line) const {
  return LogCount(line) > 0;
}

int EngineHarness::LogCount(const std::string& line) const {
  return static_cast<int>(std::count(log.Lines().begin(), log.Lines().end(), line));
}

}  // namespace quorvel::test
