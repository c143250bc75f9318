// The four operations a proxy auto-configuration script reaches the network through, with the
// result codes the script engine expects, and a name look-up that cannot hang.
#pragma once
#include <cstddef>
#include <functional>
#include <string>

namespace kovrax {

constexpr int kPacOk = 0;
constexpr int kPacOutOfMemory = 8;
constexpr int kPacInsufficientBuffer = 122;
constexpr int kPacInternalError = 12004;
constexpr int kPacNameNotResolved = 12007;

// The first IPv4 address of a name as dotted text: 0, or an EAI_* code (EAI_AGAIN on time-out).
using NameLookup = std::function<int(const std::string& host, std::string& dotted)>;

// The system resolver, giving up on a name after timeoutMs. A look-up that overruns is left to
// finish on its own thread; its answer is dropped.
int LookupIPv4Bounded(const std::string& host, std::string& dotted, int timeoutMs);
NameLookup SystemNameLookup(int timeoutMs);

// A numeric host is returned as it is, a name through lookup. buffer receives the text when it
// fits in capacity bytes with its terminator; otherwise *needed is set and 122 returned.
int ResolveHostName(const std::string& host, std::string& buffer, size_t capacity, size_t* needed, const NameLookup& lookup);
bool IsResolvable(const std::string& host, const NameLookup& lookup);
// The local host name resolved; 12004 when the name cannot be had.
int GetIPAddress(std::string& buffer, size_t capacity, size_t* needed, const NameLookup& lookup);
// address and net must be dotted IPv4 addresses; a mask that is not reads as 255.255.255.255.
bool IsInNet(const std::string& address, const std::string& net, const std::string& mask);

}  // namespace kovrax
