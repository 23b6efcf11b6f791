// The ICMP echo service of Windows: IP Helper's IcmpCreateFile,
// IcmpSendEcho2Ex and IcmpCloseHandle. The service writes the reply records
// into the caller's buffer itself, in the layout the run reads.

// The Windows headers in the order they need: winsock2.h before windows.h,
// iphlpapi.h (IPAddr, IP_OPTION_INFORMATION) before icmpapi.h.
// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <winternl.h>
// Makes the ApcRoutine parameter a PIO_APC_ROUTINE, as documented, rather
// than a FARPROC.
#ifndef PIO_APC_ROUTINE_DEFINED
#define PIO_APC_ROUTINE_DEFINED
#endif
#include <iphlpapi.h>
#include <icmpapi.h>
// clang-format on

#include <cstring>

#include "echo/echo_service.h"

#if defined(__MINGW64_VERSION_MAJOR)
// mingw-w64's icmpapi.h declares no IcmpSendEcho2Ex although its import
// library exports it. This is the documented declaration; should the header
// gain it, this is a redeclaration of the same function and still valid.
extern "C" DWORD WINAPI IcmpSendEcho2Ex(HANDLE IcmpHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                        PVOID ApcContext, IPAddr SourceAddress,
                                        IPAddr DestinationAddress, LPVOID RequestData,
                                        WORD RequestSize, PIP_OPTION_INFORMATION RequestOptions,
                                        LPVOID ReplyBuffer, DWORD ReplySize, DWORD Timeout);
#endif

namespace ketrova {
namespace {

// IPAddr holds the address in network byte order: the first written octet in
// the lowest-addressed byte.
IPAddr to_ip_addr(Ipv4Address address) {
  const std::uint32_t value = to_network_order(address);
  IPAddr result = 0;
  static_assert(sizeof result == sizeof value);
  std::memcpy(&result, &value, sizeof result);
  return result;
}

class WindowsIcmpEchoService final : public IcmpEchoService {
 public:
  WindowsIcmpEchoService() = default;
  WindowsIcmpEchoService(const WindowsIcmpEchoService&) = delete;
  WindowsIcmpEchoService& operator=(const WindowsIcmpEchoService&) = delete;
  ~WindowsIcmpEchoService() override { close(); }

  bool open() override {
    const HANDLE handle = IcmpCreateFile();
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
    handle_ = handle;
    return true;
  }

  EchoOutcome send_echo(Ipv4Address source, Ipv4Address target,
                        std::span<const std::uint8_t> payload, std::span<std::uint8_t> reply_buffer,
                        std::uint32_t timeout_ms) override {
    // No event and no completion routine: the call returns once the reply
    // has arrived or the timeout has passed.
    const DWORD count = IcmpSendEcho2Ex(
        handle_, nullptr, nullptr, nullptr, to_ip_addr(source), to_ip_addr(target),
        const_cast<std::uint8_t*>(payload.data()), static_cast<WORD>(payload.size()), nullptr,
        reply_buffer.data(), static_cast<DWORD>(reply_buffer.size()), timeout_ms);
    if (count == 0) return {0, GetLastError()};
    return {count, 0};
  }

  void close() override {
    if (handle_ == nullptr) return;
    IcmpCloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  HANDLE handle_ = nullptr;
};

}  // namespace

std::unique_ptr<IcmpEchoService> make_icmp_echo_service() {
  return std::make_unique<WindowsIcmpEchoService>();
}

}  // namespace ketrova
