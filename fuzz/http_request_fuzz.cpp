// Request header reader and URL codec on arbitrary bytes: no crash, no hang, and the invariants
// the gateway relies on.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "gateway/ActiveXThreadUnit.h"
#include "gateway/GatewayText.h"
#include "gateway/HTTPHeaderUnit.h"

using kovrax::TActiveXThread;

static void Check(bool condition) {
  if (!condition) std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 16 * 1024) return 0;
  const std::string input(reinterpret_cast<const char*>(data), size);

  // The header reader over a real socket: it consumes a prefix and leaves the rest in place.
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
    if (write(fds[1], input.data(), input.size()) == static_cast<ssize_t>(input.size())) {
      shutdown(fds[1], SHUT_WR);
      try {
        kovrax::THTTPHeader h(fds[0], kovrax::THeaderLimits{4096, 1000, -1});
        for (const std::string& line : h.Lines) Check(line.find("\r\n") == std::string::npos);
        Check(h.Params.size() % 2 == 0);
        Check(h.Path.find('?') == std::string::npos);
        std::string rest;
        char buf[4096];
        ssize_t n;
        while ((n = read(fds[0], buf, sizeof buf)) > 0) rest.append(buf, static_cast<size_t>(n));
        Check(input.size() >= rest.size() && input.compare(input.size() - rest.size(), rest.size(), rest) == 0);
      } catch (const kovrax::KovraException&) {
      }
    }
    close(fds[0]);
    close(fds[1]);
  }

  kovrax::http::ParseQuery(input);
  kovrax::http::IsAllowedUrlFor(input, "ballot.test,localhost:8443");
  std::string encoded = TActiveXThread::URLEncode(input);
  Check(encoded.size() <= 3 * input.size());
  // Nothing that could end a query value or a header line survives encoding.
  Check(encoded.find_first_of(" &=?#/\r\n") == std::string::npos);
  std::string decoded = TActiveXThread::URLDecode(encoded);
  Check(decoded == input.substr(0, input.find('\0')));
  return 0;
}
