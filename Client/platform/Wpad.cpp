#include "platform/Wpad.h"

#include <unistd.h>

#include <fstream>
#include <sstream>

namespace kovrax {

namespace {

constexpr size_t kMaxCandidates = 8;

std::string Lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

// Letters, digits and inner hyphens in labels of 1 to 63; the name must not be able to alter
// the URL it is put into.
bool ValidDomain(const std::string& domain) {
  if (domain.empty() || domain.size() > 253) return false;
  size_t label = 0;
  for (size_t i = 0; i <= domain.size(); ++i) {
    if (i == domain.size() || domain[i] == '.') {
      if (label == 0 || label > 63 || domain[i - 1] == '-') return false;
      label = 0;
      continue;
    }
    const char c = domain[i];
    const bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || (c == '-' && label > 0);
    if (!ok) return false;
    ++label;
  }
  return true;
}

}  // namespace

std::vector<std::string> WpadCandidateUrls(const std::string& domain) {
  std::string d = Lower(domain);
  while (!d.empty() && d.back() == '.') d.pop_back();
  std::vector<std::string> urls;
  if (!ValidDomain(d)) return urls;
  // Stop before the top-level domain: wpad.com would hand the choice of proxy to strangers.
  while (d.find('.') != std::string::npos && urls.size() < kMaxCandidates) {
    urls.push_back("http://wpad." + d + "/wpad.dat");
    d = d.substr(d.find('.') + 1);
  }
  return urls;
}

std::string LocalDnsDomain(const std::string& hostname, const std::string& resolvConfPath) {
  const size_t dot = hostname.find('.');
  if (dot != std::string::npos && dot + 1 < hostname.size()) return hostname.substr(dot + 1);
  std::ifstream in(resolvConfPath);
  std::string line, domain, search;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string key, value;
    if (!(words >> key >> value)) continue;
    if (key == "domain") domain = value;
    if (key == "search" && search.empty()) search = value;
  }
  return domain.empty() ? search : domain;
}

std::string LocalDnsDomain() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) name[0] = '\0';
  return LocalDnsDomain(name, "/etc/resolv.conf");
}

bool DetectWpadUrl(const std::string& domain, const NameExists& exists, std::string& url) {
  for (const std::string& candidate : WpadCandidateUrls(domain)) {
    // "http://" is 7 characters; the name runs to the next "/".
    const std::string name = candidate.substr(7, candidate.find('/', 7) - 7);
    if (exists(name)) {
      url = candidate;
      return true;
    }
  }
  return false;
}

}  // namespace kovrax
