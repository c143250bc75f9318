#include "shell/Settings.h"

#include <strings.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>

#include "shell/Messages.h"

namespace kovrax {
namespace {

struct Named {
  const char* name;
  std::string TSettings::*slot;
};

// Settings an operator may configure. Run-time slots (ErrorPage, ReceiptDocument, ErrorCode,
// ErrorText) and unused ones (VersionId, SpareSetting) are deliberately absent.
constexpr Named kNames[] = {
    {"Port", &TSettings::Port},
    {"ReceiptPath", &TSettings::ReceiptPath},
    {"BallotPath", &TSettings::BallotPath},
    {"ServerUrl", &TSettings::ServerUrl},
    {"OkUrl", &TSettings::OkUrl},
    {"IssuerHashes", &TSettings::IssuerHashes},
    {"CertHash", &TSettings::CertHash},
    {"Protocol", &TSettings::Protocol},
    {"Cipher", &TSettings::Cipher},
    {"TimeTolerance", &TSettings::TimeTolerance},
    {"VerifyFlags", &TSettings::VerifyFlags},
    {"DetailedErrorCode", &TSettings::DetailedErrorCode},
    {"BallotHost", &TSettings::BallotHost},
    {"ReceiptSignerUnit", &TSettings::ReceiptSignerUnit},
    {"ReceiptSignerOrganization", &TSettings::ReceiptSignerOrganization},
    {"Pkcs11Module", &TSettings::Pkcs11Module},
    {"UserStoreDir", &TSettings::UserStoreDir},
    {"MachineStoreDir", &TSettings::MachineStoreDir},
    {"SystemTrustBundle", &TSettings::SystemTrustBundle},
    {"ProxyServer", &TSettings::ProxyServer},
    {"ProxyAutoConfigUrl", &TSettings::ProxyAutoConfigUrl},
    {"ProxyAutoDetect", &TSettings::ProxyAutoDetect},
};

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

std::string HomeDir() {
  std::string home = Env("HOME");
  return home.empty() ? std::string("/root") : home;
}

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}

}  // namespace

TSettings TSettings::Defaults(const std::string& portArg) {
  TSettings s;
  s.Port = portArg.empty() ? LoadStr(3001) : portArg;
  s.ReceiptPath = LoadStr(3002);
  s.BallotPath = LoadStr(3003);
  s.ServerUrl = LoadStr(3004);
  s.VersionId = LoadStr(3005);
  s.OkUrl = LoadStr(3006);
  s.ErrorPage = LoadTextResource("Error500");
  s.IssuerHashes = LoadStr(3008);
  s.CertHash = LoadStr(3009);
  s.Protocol = LoadStr(3011);
  s.Cipher = LoadStr(3012);
  s.SpareSetting = LoadStr(3013);
  s.TimeTolerance = LoadStr(3014);
  s.VerifyFlags = LoadStr(3015);
  s.DetailedErrorCode = LoadStr(3017);

  s.BallotHost = KOVRAX_BALLOT_HOST;
  s.ReceiptSignerUnit = LoadStr(3010);
  s.ReceiptSignerOrganization = LoadStr(3018);
  s.Pkcs11Module = "p11-kit-proxy.so";
  std::string dataHome = Env("XDG_DATA_HOME");
  if (dataHome.empty()) dataHome = HomeDir() + "/.local/share";
  s.UserStoreDir = dataHome + "/kovrax/stores";
  s.MachineStoreDir = "/etc/kovrax/stores";
  s.SystemTrustBundle = "/etc/ssl/certs/ca-certificates.crt";
  return s;
}

int TSettings::ToInt(const std::string& text, int fallback) {
  if (text.empty()) return fallback;
  errno = 0;
  char* end = nullptr;
  long v = std::strtol(text.c_str(), &end, 10);
  if (end == text.c_str() || *end != '\0' || errno == ERANGE || v < INT_MIN || v > INT_MAX) return fallback;
  return static_cast<int>(v);
}

bool SetSetting(TSettings& settings, const std::string& name, const std::string& value) {
  for (const Named& n : kNames) {
    if (strcasecmp(n.name, name.c_str()) == 0) {
      settings.*(n.slot) = value;
      return true;
    }
  }
  return false;
}

std::vector<std::string> LoadConfigFile(const std::string& path, TSettings& settings, bool* found) {
  std::vector<std::string> report;
  std::ifstream in(path, std::ios::binary);
  if (found) *found = static_cast<bool>(in);
  if (!in) return report;
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string t = Trim(line);
    if (t.empty() || t[0] == '#') continue;
    size_t eq = t.find('=');
    std::string name = eq == std::string::npos ? std::string() : Trim(t.substr(0, eq));
    if (name.empty()) {
      report.push_back(path + ":" + std::to_string(number) + ": malformed line ignored");
      continue;
    }
    if (!SetSetting(settings, name, Trim(t.substr(eq + 1))))
      report.push_back(path + ":" + std::to_string(number) + ": unknown setting \"" + name + "\" ignored");
  }
  return report;
}

std::vector<std::string> ConfigFilePaths() {
  std::vector<std::string> paths{"/etc/kovrax/kovrax.conf"};
  std::string configHome = Env("XDG_CONFIG_HOME");
  if (configHome.empty()) configHome = HomeDir() + "/.config";
  paths.push_back(configHome + "/kovrax/kovrax.conf");
  std::string named = Env("KOVRAX_CONFIG");
  if (!named.empty()) paths.push_back(named);
  return paths;
}

std::vector<std::string> LoadConfig(TSettings& settings, const std::string& portArg) {
  std::vector<std::string> report;
  for (const std::string& path : ConfigFilePaths()) {
    auto lines = LoadConfigFile(path, settings);
    report.insert(report.end(), lines.begin(), lines.end());
  }
  if (!portArg.empty()) settings.Port = portArg;
  return report;
}

}  // namespace kovrax
