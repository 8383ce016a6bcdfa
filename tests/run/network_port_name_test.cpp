// Network port names: the two forms taken, and what is refused.
#include "run/network_port_name.h"

#include <gtest/gtest.h>

namespace quorvel {
namespace {

TEST(NetworkPortName, TheTwoFormsAndWhatIsRefused) {
  struct NameCase {
    const char* name;
    bool valid;
    NetworkPortKind kind;
    const char* host;
    uint16_t port;
  };
  const NetworkPortKind rfc = NetworkPortKind::Rfc2217;
  const NetworkPortKind tcp = NetworkPortKind::Tcp;
  for (const NameCase& c : {
           NameCase{"rfc2217://ds-hall3.plant.example:4001", true, rfc, "ds-hall3.plant.example",
                    4001},
           NameCase{"tcp://192.168.10.20:7000", true, tcp, "192.168.10.20", 7000},
           NameCase{"tcp://[fe80::1]:1", true, tcp, "fe80::1", 1},
           NameCase{"rfc2217://localhost:65535", true, rfc, "localhost", 65535},
           NameCase{"rfc2217://localhost:65536", false, rfc, "", 0},
           NameCase{"rfc2217://localhost:0", false, rfc, "", 0},
           NameCase{"tcp://host:", false, tcp, "", 0},
           NameCase{"tcp://host", false, tcp, "", 0},
           NameCase{"tcp://:4001", false, tcp, "", 0},
           NameCase{"tcp://host:40x1", false, tcp, "", 0},
           NameCase{"tcp://host:4001/path", false, tcp, "", 0},
           NameCase{"tcp://host:+401", false, tcp, "", 0},
           NameCase{"tcp://ho st:4001", false, tcp, "", 0},
           NameCase{"tcp://host:4001:5", false, tcp, "", 0},
           NameCase{"tcp://[fe80::1:7000", false, tcp, "", 0},
           NameCase{"tcp://[host]:7000", false, tcp, "", 0},
           NameCase{"telnet://host:23", false, tcp, "", 0},
           NameCase{"TCP://host:23", false, tcp, "", 0},
           NameCase{"/dev/ttyUSB0", false, tcp, "", 0},
       }) {
    SCOPED_TRACE(c.name);
    const std::optional<NetworkPortName> parsed = ParseNetworkPortName(c.name);
    ASSERT_EQ(parsed.has_value(), c.valid);
    if (!parsed) continue;
    EXPECT_EQ(parsed->kind, c.kind);
    EXPECT_EQ(parsed->host, c.host);
    EXPECT_EQ(parsed->port, c.port);
    EXPECT_TRUE(LooksLikeNetworkPortName(c.name));
  }
  EXPECT_TRUE(LooksLikeNetworkPortName("tcp://"));
  EXPECT_FALSE(LooksLikeNetworkPortName("/tmp/tcp://x"));
}

}  // namespace
}  // namespace quorvel
