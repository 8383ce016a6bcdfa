// The terminal settings built for each line setting and control flag. Uses
// the kernel's termios2 (custom rates), so no <termios.h> here.
#include <asm/termbits.h>
#include <gtest/gtest.h>

#include <vector>

#include "serial/serial_port_io.h"

namespace quorvel {
namespace {

struct TermiosCase {
  LineSettings line;
  PortControlFlags flags;
  bool ok;
  unsigned set;    // c_cflag bits that must be set
  unsigned clear;  // c_cflag bits that must be clear
  unsigned speed;  // c_ospeed
  unsigned code;   // the CBAUD field
};

TEST(SerialLineTermios, LineSettingsAndFlowBecomeTerminalFlags) {
  const PortControlFlags none;
  PortControlFlags rtsCts;
  rtsCts.FlowRTS_CTS = true;
  PortControlFlags rtsHandshake;
  rtsHandshake.RTSCtrlHandshake = true;
  const std::vector<TermiosCase> cases = {
      {{br009600, pbNone, dbEight, sbOne},
       none,
       true,
       CS8 | CREAD | CLOCAL,
       PARENB | CSTOPB | CRTSCTS,
       9600,
       B9600},
      {{br115200, pbOdd, dbSeven, sbTwo},
       none,
       true,
       CS7 | PARENB | PARODD | CSTOPB,
       CMSPAR,
       115200,
       B115200},
      {{br019200, pbEven, dbSix, sbOne}, none, true, CS6 | PARENB, PARODD | CMSPAR, 19200, B19200},
      {{br009600, pbMark, dbEight, sbOne},
       none,
       true,
       CS8 | PARENB | CMSPAR | PARODD,
       0,
       9600,
       B9600},
      {{br009600, pbSpace, dbEight, sbOne}, none, true, CS8 | PARENB | CMSPAR, PARODD, 9600, B9600},
      {{br000300, pbNone, dbFive, sbOnePointFive}, none, true, CS5 | CSTOPB, 0, 300, B300},
      {{br014400, pbNone, dbEight, sbOne}, none, true, CS8, 0, 14400, BOTHER},
      {{br125000, pbNone, dbEight, sbOne}, none, true, CS8, 0, 125000, BOTHER},
      {{br921600, pbNone, dbEight, sbOne}, rtsCts, true, CS8 | CRTSCTS, 0, 921600, B921600},
      {{br009600, pbNone, dbEight, sbOne}, rtsHandshake, true, CRTSCTS, 0, 9600, B9600},
      {{br009600, pbNone, dbFour, sbOne}, none, false, 0, 0, 0, 0},
      {{br009600, pbNone, dbSeven, sbOnePointFive}, none, false, 0, 0, 0, 0},
      {{15, pbNone, dbEight, sbOne}, none, false, 0, 0, 0, 0},
      {{br009600, 5, dbEight, sbOne}, none, false, 0, 0, 0, 0},
      {{br009600, pbNone, 5, sbOne}, none, false, 0, 0, 0, 0},
      {{br009600, pbNone, dbEight, 3}, none, false, 0, 0, 0, 0},
  };
  for (const TermiosCase& c : cases) {
    SCOPED_TRACE(LineSettingsCaption(c.line) + " ordinals " + std::to_string(c.line.Baud) + "/" +
                 std::to_string(c.line.Parity) + "/" + std::to_string(c.line.DataBits) + "/" +
                 std::to_string(c.line.StopBits));
    struct termios2 tio {};
    // Whatever the driver had before must not survive.
    tio.c_cflag = CS8 | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | B38400;
    tio.c_lflag = ICANON | ECHO | ISIG;
    tio.c_iflag = ICRNL | IXON;
    tio.c_oflag = OPOST;
    ASSERT_EQ(FillTermios(c.line, c.flags, &tio), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(tio.c_cflag & c.set, c.set);
    EXPECT_EQ(tio.c_cflag & c.clear, 0u);
    EXPECT_EQ(tio.c_cflag & CBAUD, c.code);
    EXPECT_EQ(tio.c_ospeed, c.speed);
    EXPECT_EQ(tio.c_ispeed, c.speed);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(tio.c_iflag & (ICRNL | IXON), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ((tio.c_iflag & INPCK) != 0, c.line.Parity != pbNone);
  }
}

// The frame gap chosen from the line: three character times rounded up to
// whole ms, at least 1 ms, plus the transport's latency; at 300 baud it stays
// above the standard 50 ms.
TEST(SerialLineTermios, AutoQuietPeriodFollowsTheLine) {
  struct Case {
    LineSettings line;
    uint32_t latencyMs;
    uint16_t expectedMs;
  };
  const Case cases[] = {
      {{br000300, pbNone, dbEight, sbOne}, 0, 100},
      {{br009600, pbNone, dbEight, sbOne}, 0, 4},    // 3.125 ms
      {{br009600, pbEven, dbEight, sbTwo}, 0, 4},    // 12 bits: 3.75 ms
      {{br057600, pbNone, dbEight, sbOne}, 0, 1},    // 0.52 ms
      {{br115200, pbNone, dbEight, sbOne}, 0, 1},    // 0.26 ms, at least 1
      {{br115200, pbNone, dbEight, sbOne}, 1, 2},    // a USB converter's 1 ms timer
      {{br125000, pbNone, dbEight, sbOne}, 16, 17},  // its default 16 ms
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(LineSettingsCaption(c.line));
    EXPECT_EQ(AutoFrameGapMs(c.line, c.latencyMs), c.expectedMs);
  }
  EXPECT_GT(AutoFrameGapMs({br000300, pbNone, dbEight, sbOne}), kStandardFrameGapMs);
}

}  // namespace
}  // namespace quorvel
