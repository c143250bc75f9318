#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "shell/Messages.h"
#include "shell/Settings.h"

namespace kovrax {
namespace {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/kovrax-settings-XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~TempDir() { fs::remove_all(path_); }
  std::string Write(const std::string& name, const std::string& text) const {
    fs::create_directories(fs::path(path_ + "/" + name).parent_path());
    std::ofstream(path_ + "/" + name, std::ios::binary) << text;
    return path_ + "/" + name;
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

TEST(Settings, DefaultsFillTheSlots) {
  TSettings s = TSettings::Defaults();
  EXPECT_EQ(s.Port, "81");
  EXPECT_EQ(s.VersionId, "Kovra_V3.0");
  EXPECT_EQ(s.ErrorPage, LoadTextResource("Error500"));
  EXPECT_EQ(s.IssuerHashes, "u3a4979b4,ub82071fa,ud3c6c554,s97df913d,scabd2a79");
  EXPECT_EQ(s.Protocol, "TLSv12");
  EXPECT_EQ(s.TimeTolerance, "30");
  EXPECT_EQ(s.VerifyFlags, "3");
  EXPECT_EQ(s.DetailedErrorCode, "1");
  EXPECT_EQ(s.ReceiptSignerUnit, "Kovra");
  EXPECT_EQ(s.ReceiptSignerOrganization, "Melsa, d.o.o.");
  for (const std::string* empty : {&s.ReceiptPath, &s.BallotPath, &s.ServerUrl, &s.OkUrl, &s.CertHash, &s.Cipher,
                                   &s.SpareSetting, &s.ReceiptDocument, &s.ErrorCode, &s.ErrorText})
    EXPECT_EQ(*empty, "");
  EXPECT_EQ(TSettings::Defaults("8080").Port, "8080");
}

TEST(Settings, ToIntFallsBackWhenNotANumber) {
  struct Case {
    const char* text;
    int fallback;
    int expected;
  } cases[] = {{"30", 30, 30}, {"abc", 30, 30}, {"", 3, 3}, {"2", 3, 2}, {"-5", 0, -5},
               {"1x", 0, 0},   {"99999999999", 7, 7}, {" 4", 0, 4}};
  for (const auto& c : cases) EXPECT_EQ(TSettings::ToInt(c.text, c.fallback), c.expected) << c.text;
}

TEST(Settings, ConfigFileOverridesCaseInsensitivelyAndReportsOddLines) {
  TempDir dir;
  std::string path = dir.Write("k.conf",
                               "# comment\n"
                               "  port = 9001\r\n"
                               "BALLOTHOST=localhost:8443, volitve.example\n"
                               "Cipher =\n"
                               "NoSuchName = 1\n"
                               "just text\n"
                               "= value\n");
  TSettings s = TSettings::Defaults();
  s.Cipher = "X";
  bool found = false;
  auto report = LoadConfigFile(path, s, &found);
  EXPECT_TRUE(found);
  EXPECT_EQ(s.Port, "9001");
  EXPECT_EQ(s.BallotHost, "localhost:8443, volitve.example");
  EXPECT_EQ(s.Cipher, "");
  ASSERT_EQ(report.size(), 3u);
  EXPECT_NE(report[0].find("NoSuchName"), std::string::npos);
  EXPECT_NE(report[1].find(":6:"), std::string::npos);
  EXPECT_NE(report[2].find(":7:"), std::string::npos);
}

TEST(Settings, MissingFileIsNotAnError) {
  TSettings s = TSettings::Defaults();
  bool found = true;
  EXPECT_TRUE(LoadConfigFile("/nonexistent/kovrax.conf", s, &found).empty());
  EXPECT_FALSE(found);
  EXPECT_EQ(s.Port, "81");
}

TEST(Settings, LaterFilesWinAndTheCommandLinePortWinsOverAll) {
  TempDir dir;
  dir.Write("xdg/kovrax/kovrax.conf", "Port = 1111\nCertHash = AA\n");
  std::string named = dir.Write("named.conf", "Port = 2222\n");
  setenv("XDG_CONFIG_HOME", (dir.Path() + "/xdg").c_str(), 1);
  setenv("KOVRAX_CONFIG", named.c_str(), 1);
  TSettings s = TSettings::Defaults();
  LoadConfig(s);
  EXPECT_EQ(s.Port, "2222");
  EXPECT_EQ(s.CertHash, "AA");
  TSettings t = TSettings::Defaults("-8000");
  LoadConfig(t, "-8000");
  EXPECT_EQ(t.Port, "-8000");
  unsetenv("XDG_CONFIG_HOME");
  unsetenv("KOVRAX_CONFIG");
}

}  // namespace
}  // namespace kovrax
