#include <algorithm>
#include <cstring>

#include "echo/reply_record.h"

namespace ketrova {

bool write_reply_record(std::span<std::uint8_t> buffer, Ipv4Address from, std::uint32_t status,
                        std::uint32_t round_trip_ms, std::span<const std::uint8_t> data) {
  if (buffer.size() < REPLY_RECORD_SIZE) return false;
  std::fill(buffer.begin(), buffer.begin() + REPLY_RECORD_SIZE, std::uint8_t{0});
  const std::uint32_t address = to_network_order(from);
  const std::size_t copied = std::min(data.size(), buffer.size() - REPLY_RECORD_SIZE);
  const auto data_size = static_cast<std::uint16_t>(copied);
  std::memcpy(buffer.data() + REPLY_ADDRESS_OFFSET, &address, sizeof address);
  std::memcpy(buffer.data() + REPLY_STATUS_OFFSET, &status, sizeof status);
  std::memcpy(buffer.data() + REPLY_RTT_OFFSET, &round_trip_ms, sizeof round_trip_ms);
  std::memcpy(buffer.data() + REPLY_DATA_SIZE_OFFSET, &data_size, sizeof data_size);
  if (copied != 0) std::memcpy(buffer.data() + REPLY_RECORD_SIZE, data.data(), copied);
  return true;
}

std::uint32_t read_reply_field(std::span<const std::uint8_t> buffer, std::size_t offset) {
  std::uint32_t value = 0;
  if (offset + sizeof value <= buffer.size()) {
    std::memcpy(&value, buffer.data() + offset, sizeof value);
  }
  return value;
}

}  // namespace ketrova
