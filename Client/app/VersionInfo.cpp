#include "VersionInfo.h"

namespace kovrax {

const TVersionInfo& ProgramVersion() {
  static const TVersionInfo info{"KovraX", KOVRAX_VERSION, "\xC2\xA9 Melsa, d.o.o."};
  return info;
}

std::string VersionLineForWorker() {
  const auto& v = ProgramVersion();
  std::string line = v.ProductName + " V" + v.FileVersion + " " + v.LegalCopyright;
  if (line.size() > 255) line.resize(255);
  return line;
}

std::string VersionLineForLog() {
  const auto& v = ProgramVersion();
  return v.ProductName + "  V" + v.FileVersion + "  " + v.LegalCopyright;
}

}  // namespace kovrax
