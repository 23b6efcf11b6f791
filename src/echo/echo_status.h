#pragma once

#include <cstdint>

namespace ketrova {

// Error codes a failed echo request answers with. They are the platform
// codes of the Windows ICMP echo service; the other platforms answer with the
// same values so that the run reads them the same way everywhere.
inline constexpr std::uint32_t ERROR_INVALID_NETNAME_CODE = 1214;      // source not usable
inline constexpr std::uint32_t ERROR_NETWORK_UNREACHABLE_CODE = 1231;  // no route from source
inline constexpr std::uint32_t ERROR_HOST_UNREACHABLE_CODE = 1232;
inline constexpr std::uint32_t ERROR_ACCESS_DENIED_CODE = 5;
inline constexpr std::uint32_t ERROR_INVALID_PARAMETER_CODE = 87;
inline constexpr std::uint32_t ERROR_INSUFFICIENT_BUFFER_CODE = 122;

// Reply record statuses: the IP_STATUS values of the Windows ICMP echo
// service. Its headers define these names without the IP_STATUS_ prefix as
// macros (IP_SUCCESS, IP_REQ_TIMED_OUT), and the error codes without the
// _CODE suffix, hence the prefix and the suffix here.
inline constexpr std::uint32_t IP_STATUS_SUCCESS = 0;
inline constexpr std::uint32_t IP_STATUS_BUF_TOO_SMALL = 11001;
inline constexpr std::uint32_t IP_STATUS_DEST_NET_UNREACHABLE = 11002;
inline constexpr std::uint32_t IP_STATUS_DEST_HOST_UNREACHABLE = 11003;
inline constexpr std::uint32_t IP_STATUS_DEST_PROT_UNREACHABLE = 11004;
inline constexpr std::uint32_t IP_STATUS_DEST_PORT_UNREACHABLE = 11005;
inline constexpr std::uint32_t IP_STATUS_PACKET_TOO_BIG = 11009;
inline constexpr std::uint32_t IP_STATUS_REQ_TIMED_OUT = 11010;
inline constexpr std::uint32_t IP_STATUS_BAD_ROUTE = 11012;
inline constexpr std::uint32_t IP_STATUS_TTL_EXPIRED_TRANSIT = 11013;
inline constexpr std::uint32_t IP_STATUS_TTL_EXPIRED_REASSEM = 11014;
inline constexpr std::uint32_t IP_STATUS_PARAM_PROBLEM = 11015;
inline constexpr std::uint32_t IP_STATUS_SOURCE_QUENCH = 11016;
inline constexpr std::uint32_t IP_STATUS_GENERAL_FAILURE = 11050;

}  // namespace ketrova
