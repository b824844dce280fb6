// The client side of a remote COM port on any bytes from a server, in chunks the input
// chooses: its replies are only negotiations, at most one for each the server sent; the data it
// passes on is no more than the server sent; answers land in known slots and modem states carry
// only the lines.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/net/rfc2217_client.h"
#include "platform/net/telnet.h"

namespace {

namespace net = platform::net;
namespace rfc = platform::net::rfc2217;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "rfc2217_client_fuzzer: %s\n", what);
  std::abort();
}

struct Port : rfc::ClientSink {
  std::size_t data = 0;
  void OnData(std::span<const BYTE> bytes) override { data += bytes.size(); }
  void OnAnswer(rfc::Slot slot, std::uint32_t) override {
    if (slot >= rfc::Slot::kCount) Fail("an answer in no slot");
  }
  void OnModemState(BYTE lines) override {
    if ((lines & 0x0F) != 0) Fail("a modem state with change bits as lines");
  }
  void OnLineState(BYTE) override {}
};

// Counts negotiations in a stream, and anything else it holds.
struct Counter : net::TelnetSink {
  std::size_t negotiations = 0;
  std::size_t other = 0;
  void OnData(std::span<const BYTE> bytes) override { other += bytes.size(); }
  void OnNegotiation(BYTE, BYTE) override { ++negotiations; }
  void OnSubnegotiation(BYTE, std::span<const BYTE>) override { ++other; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  rfc::ClientStream stream;
  std::vector<BYTE> greeting;
  stream.Greet(greeting);
  Port port;
  Counter fromServer, replies;
  net::TelnetReader serverReader, replyReader;
  std::size_t sent = 0;
  while (input.remaining_bytes() > 0) {
    std::vector<BYTE> chunk = input.ConsumeBytes<BYTE>(input.ConsumeIntegralInRange(1, 64));
    sent += chunk.size();
    std::vector<BYTE> out;
    bool good = stream.Feed(chunk, port, out);
    serverReader.Feed(chunk, fromServer);
    if (!replyReader.Feed(out, replies)) Fail("a broken reply");
    if (replies.other != 0) Fail("a reply that is no negotiation");
    if (replies.negotiations > fromServer.negotiations) Fail("more replies than negotiations");
    if (port.data > sent) Fail("more data than the server sent");
    if (!good) break;
  }
  return 0;
}
