// GNOME's proxy settings through GIO, on a memory backend and a schema folder made by the test.
#define G_SETTINGS_ENABLE_BACKEND
#include <gio/gio.h>
#include <gio/gsettingsbackend.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "platform/ProxySettings.h"
#include "support/TestPki.h"

namespace kovrax {
namespace {

const std::string kFixtures = std::string(KOVRAX_TEST_FIXTURES) + "/proxy";
const char* const kSystemSchema = "/usr/share/glib-2.0/schemas/org.gnome.system.proxy.gschema.xml";
const char* const kSystemEnums = "/usr/share/glib-2.0/schemas/org.gnome.desktop.enums.xml";

struct SourceUnref { void operator()(GSettingsSchemaSource* s) const { g_settings_schema_source_unref(s); } };
struct ObjectUnref { void operator()(gpointer o) const { g_object_unref(o); } };
using SourcePtr = std::unique_ptr<GSettingsSchemaSource, SourceUnref>;
using BackendPtr = std::unique_ptr<GSettingsBackend, ObjectUnref>;
using SettingsPtr = std::unique_ptr<GSettings, ObjectUnref>;

// A compiled schema folder holding copies of the given schema files.
SourcePtr CompiledSource(const test::TempDir& dir, std::initializer_list<std::string> schemas) {
  for (const std::string& file : schemas) {
    test::WriteFile(dir / file.substr(file.rfind('/') + 1), test::ReadFile(file));
  }
  std::string output;
  if (test::RunCommand("glib-compile-schemas '" + dir.Path() + "'", &output) != 0) {
    ADD_FAILURE() << "glib-compile-schemas: " << output;
    return nullptr;
  }
  GError* error = nullptr;
  SourcePtr source(g_settings_schema_source_new_from_directory(dir.Path().c_str(), nullptr, FALSE, &error));
  if (error) {
    ADD_FAILURE() << error->message;
    g_error_free(error);
  }
  return source;
}

SettingsPtr Open(GSettingsSchemaSource* source, GSettingsBackend* backend, const char* id) {
  GSettingsSchema* schema = g_settings_schema_source_lookup(source, id, FALSE);
  if (!schema) return nullptr;
  SettingsPtr settings(g_settings_new_full(schema, backend, nullptr));
  g_settings_schema_unref(schema);
  return settings;
}

struct Keys {
  const char* mode;
  const char* autoconfigUrl;
  const char* httpsHost;
  int httpsPort;
  const char* socksHost;
  int socksPort;
};

void Apply(GSettingsSchemaSource* source, GSettingsBackend* backend, const Keys& k) {
  SettingsPtr proxy = Open(source, backend, "org.gnome.system.proxy");
  SettingsPtr https = Open(source, backend, "org.gnome.system.proxy.https");
  SettingsPtr socks = Open(source, backend, "org.gnome.system.proxy.socks");
  ASSERT_TRUE(proxy && https && socks);
  g_settings_set_string(proxy.get(), "mode", k.mode);
  g_settings_set_string(proxy.get(), "autoconfig-url", k.autoconfigUrl);
  g_settings_set_string(https.get(), "host", k.httpsHost);
  g_settings_set_int(https.get(), "port", k.httpsPort);
  g_settings_set_string(socks.get(), "host", k.socksHost);
  g_settings_set_int(socks.get(), "port", k.socksPort);
}

constexpr unsigned D = PROXY_TYPE_DIRECT;

TEST(ProxySettingsGnome, ModesAndHosts_MapOntoFlagsAndTexts) {
  test::TempDir dir("kovrax-gschema");
  SourcePtr source = CompiledSource(dir, {kSystemSchema, kSystemEnums});
  ASSERT_TRUE(source);
  struct Case {
    const char* name;
    Keys keys;
    bool present;
    unsigned flags;
    const char* server;
    const char* scriptUrl;
  };
  const Case cases[] = {
      {"none", {"none", "", "h.example", 3128, "", 0}, false, 0, "", ""},
      {"manual https and socks", {"manual", "", "h.example", 3128, "s.example", 1080}, true, D | PROXY_TYPE_PROXY,
       "https=h.example:3128;socks=s.example:1080", ""},
      {"manual socks only", {"manual", "", "", 0, "s.example", 1080}, true, D | PROXY_TYPE_PROXY, "socks=s.example:1080", ""},
      {"manual host without port", {"manual", "", "h.example", 0, "", 0}, false, 0, "", ""},
      {"manual nothing", {"manual", "", "", 0, "", 0}, false, 0, "", ""},
      {"auto with script", {"auto", "http://cfg.example/proxy.pac", "", 0, "", 0}, true, D | PROXY_TYPE_AUTO_PROXY_URL, "",
       "http://cfg.example/proxy.pac"},
      {"auto without script detects", {"auto", "", "h.example", 3128, "", 0}, true, D | PROXY_TYPE_AUTO_DETECT, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BackendPtr backend(g_memory_settings_backend_new());
    Apply(source.get(), backend.get(), c.keys);
    const auto got = ProxyOptionsFromGnome(source.get(), backend.get());
    ASSERT_EQ(got.has_value(), c.present);
    if (!got) continue;
    EXPECT_EQ(got->Flags, c.flags);
    EXPECT_EQ(got->ProxyServer, c.server);
    EXPECT_EQ(got->AutoConfigUrl, c.scriptUrl);
    EXPECT_EQ(got->Source, "gnome");
  }
}

TEST(ProxySettingsGnome, SchemaNotInstalled_MeansNoSettings) {
  test::TempDir dir("kovrax-gschema");
  SourcePtr source = CompiledSource(dir, {kFixtures + "/gnome/org.example.unrelated.gschema.xml"});
  ASSERT_TRUE(source);
  BackendPtr backend(g_memory_settings_backend_new());
  EXPECT_FALSE(ProxyOptionsFromGnome(source.get(), backend.get()));
}

// The default source and backend, as the agent uses them: the variables must be set before GIO
// first looks at them, so they are set when the test program starts.
class GnomeDefaults : public ::testing::Environment {
 public:
  void SetUp() override {
    dir_ = std::make_unique<test::TempDir>("kovrax-gschema-default");
    test::WriteFile(*dir_ / "org.gnome.system.proxy.gschema.xml", test::ReadFile(kSystemSchema));
    test::WriteFile(*dir_ / "org.gnome.desktop.enums.xml", test::ReadFile(kSystemEnums));
    ASSERT_EQ(test::RunCommand("glib-compile-schemas '" + dir_->Path() + "'"), 0);
    setenv("GSETTINGS_SCHEMA_DIR", dir_->Path().c_str(), 1);
    setenv("GSETTINGS_BACKEND", "memory", 1);
  }
  void TearDown() override { dir_.reset(); }

 private:
  std::unique_ptr<test::TempDir> dir_;
};
const auto* const kGnomeDefaults = ::testing::AddGlobalTestEnvironment(new GnomeDefaults);

TEST(ProxySettingsGnome, DefaultSourceAndBackend_ReadManualSettings) {
  // Never write into a real desktop's settings.
  BackendPtr backend(g_settings_backend_get_default());
  if (std::string(G_OBJECT_TYPE_NAME(backend.get())) != "GMemorySettingsBackend") {
    GTEST_SKIP() << "GIO chose its settings backend before the test program could";
  }
  SettingsPtr proxy(g_settings_new("org.gnome.system.proxy"));
  SettingsPtr https(g_settings_new("org.gnome.system.proxy.https"));
  g_settings_set_string(proxy.get(), "mode", "manual");
  g_settings_set_string(https.get(), "host", "default.example");
  g_settings_set_int(https.get(), "port", 8080);
  const auto got = ProxyOptionsFromGnome();
  g_settings_reset(proxy.get(), "mode");
  g_settings_reset(https.get(), "host");
  g_settings_reset(https.get(), "port");
  ASSERT_TRUE(got);
  EXPECT_EQ(got->ProxyServer, "https=default.example:8080");
}

}  // namespace
}  // namespace kovrax
