#pragma once

#include <cstdint>
#include <vector>

#include "echo/echo_service.h"
#include "echo/echo_status.h"
#include "echo/reply_record.h"

namespace ketrova::testing {

// One scripted answer of the fake ICMP service.
struct ScriptedEcho {
  std::uint32_t reply_count = 1;
  std::uint32_t status = IP_STATUS_SUCCESS;
  std::uint32_t round_trip_ms = 0;
  std::uint32_t error_code = 0;
};

inline ScriptedEcho reply(std::uint32_t ms) {
  return {1, IP_STATUS_SUCCESS, ms, 0};
}
inline ScriptedEcho reply_status(std::uint32_t status) {
  return {1, status, 7, 0};
}
inline ScriptedEcho failure(std::uint32_t code) {
  return {0, IP_STATUS_SUCCESS, 0, code};
}

// An ICMP service that answers from a script and records how it was used.
class FakeIcmpEchoService final : public IcmpEchoService {
 public:
  explicit FakeIcmpEchoService(std::vector<ScriptedEcho> script, bool opens = true)
      : script_(std::move(script)), opens_(opens) {}

  bool open() override {
    ++open_calls;
    is_open = opens_;
    return opens_;
  }

  EchoOutcome send_echo(Ipv4Address source, Ipv4Address target,
                        std::span<const std::uint8_t> payload, std::span<std::uint8_t> reply_buffer,
                        std::uint32_t timeout_ms) override {
    sources.push_back(source);
    targets.push_back(target);
    payloads.emplace_back(payload.begin(), payload.end());
    buffer_sizes.push_back(reply_buffer.size());
    timeouts.push_back(timeout_ms);
    sent_while_open = sent_while_open && is_open;
    const ScriptedEcho step =
        requests < script_.size() ? script_[requests] : failure(IP_STATUS_REQ_TIMED_OUT);
    ++requests;
    if (step.reply_count == 0) return {0, step.error_code};
    write_reply_record(reply_buffer, target, step.status, step.round_trip_ms, payload);
    return {step.reply_count, 0};
  }

  void close() override {
    ++close_calls;
    is_open = false;
  }

  std::size_t requests = 0;
  int open_calls = 0;
  int close_calls = 0;
  bool is_open = false;
  bool sent_while_open = true;
  std::vector<Ipv4Address> sources;
  std::vector<Ipv4Address> targets;
  std::vector<std::vector<std::uint8_t>> payloads;
  std::vector<std::size_t> buffer_sizes;
  std::vector<std::uint32_t> timeouts;

 private:
  std::vector<ScriptedEcho> script_;
  bool opens_;
};

}  // namespace ketrova::testing
