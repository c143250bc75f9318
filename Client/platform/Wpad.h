// Finding a proxy configuration script on the local network by DNS: wpad.DOMAIN for the
// machine's DNS domain and each parent domain that still has two labels.
#pragma once
#include <functional>
#include <string>
#include <vector>

namespace kovrax {

// "http://wpad.DOMAIN/wpad.dat" from the most specific domain up; none for a domain that is
// empty, a single label or not a valid DNS name.
std::vector<std::string> WpadCandidateUrls(const std::string& domain);

// The machine's DNS domain: the part after the first dot of hostname when it has one,
// otherwise the "domain" (or first "search") entry of resolvConfPath; empty when none.
std::string LocalDnsDomain(const std::string& hostname, const std::string& resolvConfPath);
// The same for this machine (gethostname, /etc/resolv.conf).
std::string LocalDnsDomain();

// True when a name resolves; bounded in time.
using NameExists = std::function<bool(const std::string& name)>;

// The first candidate whose "wpad" name resolves, into url; false when none does.
bool DetectWpadUrl(const std::string& domain, const NameExists& exists, std::string& url);

}  // namespace kovrax
