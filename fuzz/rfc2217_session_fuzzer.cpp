// The server side of a COM port served over RFC 2217 on any bytes from a client, in chunks the
// input chooses: it never takes more data for the port than the client sent, and everything it
// sends back is a well-formed telnet stream.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "platform/clock/clock.h"
#include "platform/clock/virtual_clock.h"
#include "platform/net/telnet.h"
#include "platform/win32/inprocess_port.h"
#include "tools/mdmsim/rfc2217_session.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "rfc2217_session_fuzzer: %s\n", what);
  std::abort();
}

// Reads the server's answers as a client would; a broken stream is a fault of the server.
struct ClientSide : platform::net::TelnetSink {
  void OnData(std::span<const BYTE>) override {}
  void OnNegotiation(BYTE, BYTE) override {}
  void OnSubnegotiation(BYTE, std::span<const BYTE>) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  platform::clock::ScopedClock clock(std::make_unique<platform::clock::VirtualClock>());
  platform::clock::ThreadScope thread("fuzz main");
  auto device = platform::win32::InProcessPort::Create("COM3");
  HANDLE port =
      CreateFileA("COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (port == INVALID_HANDLE_VALUE) Fail("the port cannot be opened");
  FuzzedDataProvider input(data, size);
  {
    mdmsim::Rfc2217Session session(port, "mdmsim COM3");
    platform::net::TelnetReader client;
    ClientSide sink;
    std::size_t sent = 0;
    std::vector<BYTE> toPort;
    while (input.remaining_bytes() > 0) {
      device->SetModemStatus(input.ConsumeIntegral<BYTE>() & 0xF0);
      std::vector<BYTE> chunk = input.ConsumeBytes<BYTE>(input.ConsumeIntegralInRange(1, 64));
      sent += chunk.size();
      bool good = session.FromClient(chunk, toPort);
      session.CheckModemState();
      session.FromPort(chunk);  // the modem echoes
      if (!client.Feed(session.TakeForClient(), sink)) Fail("the server broke the stream");
      if (toPort.size() > sent) Fail("more data for the port than the client sent");
      if (!good) break;
    }
  }
  CloseHandle(port);
  return 0;
}
