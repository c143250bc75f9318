// The user's proxy settings, read the way a desktop keeps them and expressed as one connection's
// options: the connection flags, a configuration script address and a manual proxy text.
// Sources, in the order they are asked: the agent's own configuration, GNOME (GSettings), KDE
// (kioslaverc) and the environment. The first source that names a proxy or a script wins.
#pragma once
#include <functional>
#include <optional>
#include <string>

#include "shell/Settings.h"

struct _GSettingsSchemaSource;
struct _GSettingsBackend;

namespace kovrax {

// Connection flags.
constexpr unsigned PROXY_TYPE_DIRECT = 1;
constexpr unsigned PROXY_TYPE_PROXY = 2;           // ProxyServer holds a manual proxy text
constexpr unsigned PROXY_TYPE_AUTO_PROXY_URL = 4;  // AutoConfigUrl holds a script address
constexpr unsigned PROXY_TYPE_AUTO_DETECT = 8;     // find the script address on the network

struct ProxyOptions {
  std::string AutoConfigUrl;
  unsigned AutoDiscoveryFlags = 0;  // kept for completeness; discovery does not use it
  unsigned Flags = PROXY_TYPE_DIRECT;
  std::string ProxyBypass;          // read, never applied
  std::string ProxyServer;          // "host:port" or "https=host:port;socks=host:port"
  std::string Source;               // "config", "gnome", "kde", "environment" or "" (none)
};

// Reads a variable of the environment; nullopt when it is not set.
using EnvLookup = std::function<std::optional<std::string>(const std::string& name)>;
EnvLookup ProcessEnvironment();

// The configuration names ProxyServer, ProxyAutoConfigUrl, ProxyAutoDetect; nullopt when none is set.
std::optional<ProxyOptions> ProxyOptionsFromConfig(const TSettings& settings);

// org.gnome.system.proxy from the default schema source and backend; nullopt when the schema is
// not installed or the mode is "none".
std::optional<ProxyOptions> ProxyOptionsFromGnome();
// The same from a given schema source and backend (null: the defaults).
std::optional<ProxyOptions> ProxyOptionsFromGnome(_GSettingsSchemaSource* source, _GSettingsBackend* backend);

// "[Proxy Settings]" of a kioslaverc file; nullopt when the file is missing or sets no proxy.
std::optional<ProxyOptions> ProxyOptionsFromKde(const std::string& kioslavercPath);
// $XDG_CONFIG_HOME/kioslaverc, else $HOME/.config/kioslaverc.
std::string KdeConfigPath(const EnvLookup& env);

// https_proxy/HTTPS_PROXY and a SOCKS all_proxy/ALL_PROXY; nullopt when neither is usable.
std::optional<ProxyOptions> ProxyOptionsFromEnvironment(const EnvLookup& env);

// "scheme://host:port/", "scheme://host port" or "host:port" as "host:port" (or "host" when no
// port is written). Empty when the scheme is not one of acceptedSchemes (comma-separated,
// "" standing for a bare entry) or no host is left.
std::string ProxyEntryHostPort(const std::string& entry, const std::string& acceptedSchemes);

// The options of the first source that has settings; direct when none has.
using GnomeSource = std::function<std::optional<ProxyOptions>()>;
ProxyOptions QueryProxyOptions(const TSettings& settings, const EnvLookup& env, const GnomeSource& gnome);

}  // namespace kovrax
