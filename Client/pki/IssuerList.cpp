#include "pki/IssuerList.h"

#include <algorithm>

#include "pki/X509Util.h"
#include "shell/KovraException.h"

namespace kovrax::pki {

std::vector<std::string> SplitIssuerList(const std::string& text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find_first_of(",\r\n", start);
    if (end == std::string::npos) end = text.size();
    std::size_t b = start, e = end;
    while (b < e && static_cast<unsigned char>(text[b]) <= ' ') ++b;
    while (e > b && static_cast<unsigned char>(text[e - 1]) <= ' ') --e;
    if (e > b) out.push_back(text.substr(b, e - b));
    start = end + 1;
  }
  return out;
}

std::vector<std::string> GetIssuerFPs(const std::string& builtIn, const std::string& param, char kind) {
  std::vector<std::string> permitted;
  for (const std::string& entry : SplitIssuerList(builtIn)) {
    if (entry[0] == kind || entry[0] == '*') permitted.push_back(entry.substr(1));
  }

  std::vector<std::string> requested;
  for (const std::string& entry : SplitIssuerList(param)) {
    const char c = entry[0];
    if (c == 'u' || c == 's' || c == '*') {
      if (c == kind || c == '*') requested.push_back(entry.substr(1));
    } else if (kind == 'u') {
      requested.push_back(entry);
    }
  }

  if (!requested.empty()) {
    if (permitted.empty()) {
      permitted = requested;
    } else {
      std::erase_if(permitted, [&](const std::string& p) {
        return std::none_of(requested.begin(), requested.end(),
                            [&](const std::string& r) { return EqualsNoCase(p, r); });
      });
    }
    if (permitted.empty()) KOVRA_RAISE(1061, 1962, "GetIssuerFPs");
  }
  return permitted;
}

}  // namespace kovrax::pki
