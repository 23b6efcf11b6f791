#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "net/ipv4_address.h"

namespace ketrova {

// The reply record (ICMP_ECHO_REPLY, 64-bit layout) at the start of the reply
// buffer: Address 0-3, Status 4-7, RoundTripTime 8-11, DataSize 12-13,
// Reserved 14-15, Data pointer 16-23, Options 24-39. Fields are in host order.
inline constexpr std::size_t REPLY_RECORD_SIZE = 40;
inline constexpr std::size_t REPLY_ADDRESS_OFFSET = 0;
inline constexpr std::size_t REPLY_STATUS_OFFSET = 4;
inline constexpr std::size_t REPLY_RTT_OFFSET = 8;
inline constexpr std::size_t REPLY_DATA_SIZE_OFFSET = 12;

// Writes one reply record (and as much of `data` as fits after it) at the
// start of `buffer`. Returns false, writing nothing, when the buffer cannot
// hold the record.
bool write_reply_record(std::span<std::uint8_t> buffer, Ipv4Address from, std::uint32_t status,
                        std::uint32_t round_trip_ms, std::span<const std::uint8_t> data);

// Reads a 32-bit field of the first reply record.
std::uint32_t read_reply_field(std::span<const std::uint8_t> buffer, std::size_t offset);

}  // namespace ketrova
