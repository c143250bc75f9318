#include "platform/PacEngineHelpers.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

namespace kovrax {

namespace {

constexpr size_t kHostBuffer = 254;
constexpr int kDefaultLookupMs = 2000;

struct AddrInfoFree { void operator()(addrinfo* a) const { freeaddrinfo(a); } };
using AddrInfoPtr = std::unique_ptr<addrinfo, AddrInfoFree>;

int LookupIPv4Now(const std::string& host, std::string& dotted) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* raw = nullptr;
  const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &raw);
  if (rc != 0) return rc;
  AddrInfoPtr list(raw);
  for (const addrinfo* a = list.get(); a; a = a->ai_next) {
    if (a->ai_family != AF_INET) continue;
    char text[NI_MAXHOST];
    const int n = getnameinfo(a->ai_addr, a->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST);
    if (n != 0) return n;
    dotted = text;
    return 0;
  }
  return EAI_NONAME;
}

struct PendingLookup {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  int rc = EAI_AGAIN;
  std::string dotted;
};

}  // namespace

int LookupIPv4Bounded(const std::string& host, std::string& dotted, int timeoutMs) {
  auto pending = std::make_shared<PendingLookup>();
  try {
    std::thread([pending, host] {
      std::string answer;
      const int rc = LookupIPv4Now(host, answer);
      std::lock_guard<std::mutex> lock(pending->mutex);
      pending->rc = rc;
      pending->dotted = std::move(answer);
      pending->finished = true;
      pending->done.notify_all();
    }).detach();
  } catch (const std::exception&) {
    return EAI_AGAIN;
  }
  std::unique_lock<std::mutex> lock(pending->mutex);
  if (!pending->done.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return pending->finished; })) {
    return EAI_AGAIN;
  }
  if (pending->rc == 0) dotted = pending->dotted;
  return pending->rc;
}

NameLookup SystemNameLookup(int timeoutMs) {
  return [timeoutMs](const std::string& host, std::string& dotted) { return LookupIPv4Bounded(host, dotted, timeoutMs); };
}

int ResolveHostName(const std::string& host, std::string& buffer, size_t capacity, size_t* needed, const NameLookup& lookup) {
  if (host.empty() || host.size() >= kHostBuffer || host.find('\0') != std::string::npos) return kPacNameNotResolved;
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* raw = nullptr;
  const int numeric = getaddrinfo(host.c_str(), nullptr, &hints, &raw);
  if (numeric == 0) {
    freeaddrinfo(raw);
    if (host.size() + 1 > capacity) {
      if (needed) *needed = host.size() + 1;
      return kPacInsufficientBuffer;
    }
    buffer = host;
    return kPacOk;
  }
  if (numeric != EAI_NONAME) return numeric == EAI_MEMORY ? kPacOutOfMemory : kPacNameNotResolved;

  std::string dotted;
  const int rc = lookup ? lookup(host, dotted) : LookupIPv4Bounded(host, dotted, kDefaultLookupMs);
  if (rc != 0) return rc == EAI_MEMORY ? kPacOutOfMemory : kPacNameNotResolved;
  in_addr check{};
  if (inet_pton(AF_INET, dotted.c_str(), &check) != 1 || dotted.size() + 1 > capacity) return kPacNameNotResolved;
  buffer = dotted;
  return kPacOk;
}

bool IsResolvable(const std::string& host, const NameLookup& lookup) {
  std::string address;
  size_t needed = 0;
  return ResolveHostName(host, address, kHostBuffer, &needed, lookup) == kPacOk;
}

int GetIPAddress(std::string& buffer, size_t capacity, size_t* needed, const NameLookup& lookup) {
  char name[kHostBuffer + 1] = {};
  if (gethostname(name, kHostBuffer) != 0) return kPacInternalError;
  name[kHostBuffer] = '\0';
  return ResolveHostName(name, buffer, capacity, needed, lookup);
}

bool IsInNet(const std::string& address, const std::string& net, const std::string& mask) {
  in_addr a{}, n{}, m{};
  if (inet_pton(AF_INET, address.c_str(), &a) != 1 || inet_pton(AF_INET, net.c_str(), &n) != 1) return false;
  if (inet_pton(AF_INET, mask.c_str(), &m) != 1) m.s_addr = INADDR_NONE;
  return (a.s_addr & m.s_addr) == n.s_addr;
}

}  // namespace kovrax
