#include "os/icmp.h"

namespace ketrova {
namespace {

class PosixIcmpEchoService final : public IcmpEchoService {
 public:
  bool open() override { return false; }
  EchoOutcome send_echo(Ipv4Address, Ipv4Address, std::span<const std::uint8_t>,
                        std::span<std::uint8_t>, std::uint32_t) override {
    return {0, IP_GENERAL_FAILURE};
  }
  void close() override {}
};

}  // namespace

std::unique_ptr<IcmpEchoService> make_icmp_echo_service() {
  return std::make_unique<PosixIcmpEchoService>();
}

}  // namespace ketrova
