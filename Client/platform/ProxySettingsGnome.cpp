// GNOME's proxy settings through GIO: org.gnome.system.proxy and its https and socks children.
#include <gio/gio.h>

#include <memory>

#include "platform/ProxySettings.h"
#include "platform/ProxySettingsInternal.h"

namespace kovrax {

namespace {

struct SchemaUnref { void operator()(GSettingsSchema* s) const { g_settings_schema_unref(s); } };
struct ObjectUnref { void operator()(gpointer o) const { g_object_unref(o); } };
struct VariantUnref { void operator()(GVariant* v) const { g_variant_unref(v); } };
using SchemaPtr = std::unique_ptr<GSettingsSchema, SchemaUnref>;
using SettingsPtr = std::unique_ptr<GSettings, ObjectUnref>;
using VariantPtr = std::unique_ptr<GVariant, VariantUnref>;

// One schema with its settings object. Keys are checked against the schema first because
// GSettings aborts the process on a key the schema lacks.
struct Node {
  SchemaPtr schema;
  SettingsPtr settings;

  VariantPtr Get(const char* key, const GVariantType* type) const {
    if (!settings || !g_settings_schema_has_key(schema.get(), key)) return nullptr;
    VariantPtr v(g_settings_get_value(settings.get(), key));
    if (!v || !g_variant_is_of_type(v.get(), type)) return nullptr;
    return v;
  }
  std::string String(const char* key) const {
    VariantPtr v = Get(key, G_VARIANT_TYPE_STRING);
    return v ? std::string(g_variant_get_string(v.get(), nullptr)) : std::string();
  }
  int Int(const char* key) const {
    VariantPtr v = Get(key, G_VARIANT_TYPE_INT32);
    return v ? g_variant_get_int32(v.get()) : 0;
  }
  std::string JoinedStrings(const char* key) const {
    VariantPtr v = Get(key, G_VARIANT_TYPE_STRING_ARRAY);
    std::string text;
    if (!v) return text;
    gsize n = 0;
    const gchar** items = g_variant_get_strv(v.get(), &n);
    for (gsize i = 0; i < n; ++i) text += (i ? ";" : "") + std::string(items[i]);
    g_free(items);
    return text;
  }
};

Node Open(GSettingsSchemaSource* source, GSettingsBackend* backend, const char* id) {
  Node node;
  node.schema.reset(g_settings_schema_source_lookup(source, id, TRUE));
  if (node.schema && g_settings_schema_get_path(node.schema.get())) {
    node.settings.reset(g_settings_new_full(node.schema.get(), backend, nullptr));
  }
  return node;
}

// "host:port" of a child schema, or empty when it names no host or no valid port.
std::string HostPort(const Node& node) {
  const std::string host = node.String("host");
  const int port = node.Int("port");
  if (host.empty() || port < 1 || port > 65535) return {};
  return ProxyEntryHostPort(host + ":" + std::to_string(port), "");
}

}  // namespace

std::optional<ProxyOptions> ProxyOptionsFromGnome() { return ProxyOptionsFromGnome(nullptr, nullptr); }

std::optional<ProxyOptions> ProxyOptionsFromGnome(GSettingsSchemaSource* source, GSettingsBackend* backend) {
  if (!source) source = g_settings_schema_source_get_default();
  if (!source) return std::nullopt;
  const Node proxy = Open(source, backend, "org.gnome.system.proxy");
  if (!proxy.settings) return std::nullopt;

  ProxyOptions o;
  o.Source = "gnome";
  o.ProxyBypass = proxy.JoinedStrings("ignore-hosts");
  const std::string mode = proxy.String("mode");
  if (mode == "auto") {
    // An automatic mode without a script address means: look for one on the network.
    o.AutoConfigUrl = proxysettings::Trim(proxy.String("autoconfig-url"));
    o.Flags |= o.AutoConfigUrl.empty() ? PROXY_TYPE_AUTO_DETECT : PROXY_TYPE_AUTO_PROXY_URL;
    return o;
  }
  if (mode == "manual") {
    const std::string https = HostPort(Open(source, backend, "org.gnome.system.proxy.https"));
    const std::string socks = HostPort(Open(source, backend, "org.gnome.system.proxy.socks"));
    o.ProxyServer = proxysettings::ManualProxyText(https, socks);
    if (o.ProxyServer.empty()) return std::nullopt;
    o.Flags |= PROXY_TYPE_PROXY;
    return o;
  }
  return std::nullopt;
}

}  // namespace kovrax
