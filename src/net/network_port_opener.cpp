#include "net/network_port_opener.h"

#include "app/globals.h"
#include "app/text_utils.h"
#include "net/network_port.h"

namespace quorvel {
namespace {

constexpr TextPair kBadName{
    "%s nie jest poprawną nazwą portu sieciowego (tcp://HOST:PORT lub rfc2217://HOST:PORT)",
    "%s is no valid network port name (tcp://HOST:PORT or rfc2217://HOST:PORT)"};

}  // namespace

TComm32Kx::TPortOpener NetworkPortOpener(std::shared_ptr<NetFailureNote> note) {
  return [note = std::move(note)](const std::string& name, const LineSettings& line, bool rts,
                                  bool dtr) -> std::optional<TComm32Kx::TOpenedPort> {
    if (!IsNetworkPortName(name)) return std::nullopt;
    note->Clear();
    TComm32Kx::TOpenedPort opened;
    const std::optional<NetworkPort> port = ParseNetworkPort(name);
    if (!port) {
      note->Set(FormatText(kBadName.text(), {name}));
      opened.status = TLinkStatus::PortNotFound;
      return opened;
    }
    opened.transport = std::make_unique<NetTransport>(*port, line, rts, dtr, note);
    opened.latencyMs = kNetworkLatencyMs;
    return opened;
  };
}

}  // namespace quorvel
