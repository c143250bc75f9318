// The settings block: the agent's named text slots, their built-in defaults and the optional
// configuration files that operators and tests use to override them.
#pragma once
#include <map>
#include <string>
#include <vector>

namespace kovrax {

struct TSettings {
  // The eighteen slots, in their order.
  std::string Port;
  std::string ReceiptPath;
  std::string BallotPath;
  std::string ServerUrl;
  std::string VersionId;
  std::string OkUrl;
  std::string ErrorPage;
  std::string IssuerHashes;
  std::string CertHash;
  std::string Protocol;
  std::string Cipher;
  std::string SpareSetting;
  std::string TimeTolerance;
  std::string VerifyFlags;
  std::string DetailedErrorCode;
  std::string ReceiptDocument;
  std::string ErrorCode;
  std::string ErrorText;

  // Configuration of the Linux stand-ins and of the deployment.
  std::string BallotHost;                 // allowed ballot hosts, comma-separated, "host" or "host:port"
  std::string ReceiptSignerUnit;          // OU the receipt signer must name
  std::string ReceiptSignerOrganization;  // O the receipt signer must name
  std::string Pkcs11Module;               // PKCS#11 module holding the voter's keys
  std::string UserStoreDir;               // current user's certificate stores
  std::string MachineStoreDir;            // local machine's certificate stores
  std::string SystemTrustBundle;          // read-only first part of the machine's ROOT store
  std::string ProxyServer;                // manual proxy, e.g. "https=host:3128;socks=host:1080"
  std::string ProxyAutoConfigUrl;         // PAC script address
  std::string ProxyAutoDetect;            // "true"/"false": WPAD by DNS

  // Built-in defaults; portArg (first command-line argument) wins over the default port when non-empty.
  static TSettings Defaults(const std::string& portArg = {});

  // Integer readings of slots, with the fall-back value when the text is not a number.
  static int ToInt(const std::string& text, int fallback);
};

// Reads one "Name = value" file into the settings. Names are case-insensitive, "#" starts a
// comment line. Returns one line per unknown name or malformed line (for the log). A missing
// file is not an error: *found is set to false and nothing is returned.
std::vector<std::string> LoadConfigFile(const std::string& path, TSettings& settings, bool* found = nullptr);

// The configuration files in the order they apply: /etc/kovrax/kovrax.conf, then
// ${XDG_CONFIG_HOME:-~/.config}/kovrax/kovrax.conf, then $KOVRAX_CONFIG.
std::vector<std::string> ConfigFilePaths();

// Applies every configuration file; a port given on the command line is kept over "Port".
// Returns the lines to log.
std::vector<std::string> LoadConfig(TSettings& settings, const std::string& portArg = {});

// Sets one setting by its configuration name; false for an unknown name.
bool SetSetting(TSettings& settings, const std::string& name, const std::string& value);

}  // namespace kovrax
