// The program's version strings (what the version resource holds on other platforms).
#pragma once
#include <string>

namespace kovrax {

struct TVersionInfo {
  std::string ProductName;
  std::string FileVersion;
  std::string LegalCopyright;
};

const TVersionInfo& ProgramVersion();

// ProductName " V" FileVersion " " LegalCopyright (UTF-8), cut to 255 bytes: the answer to the
// worker's synchronous version request.
std::string VersionLineForWorker();
// The same with two spaces each time: the first line of the message log (UTF-8).
std::string VersionLineForLog();

}  // namespace kovrax
