// The build's own check of the authority files: run a configure of the project against a folder
// of certificates and look at what it makes of it.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/TestPki.h"

namespace kovrax {
namespace {

std::string SourceDir() { return std::filesystem::canonical(std::string(KOVRAX_TEST_FIXTURES) + "/../..").string(); }

int Configure(const test::TempDir& dir, std::string* output) {
  return test::RunCommand("timeout 240 cmake -S '" + SourceDir() + "' -B '" + dir / "build" +
                              "' -G Ninja -DKOVRAX_CERTS_DIR='" + dir / "certs" +
                              "' -DKOVRAX_BUILD_TESTS=OFF -DKOVRAX_BUILD_GUI=OFF -DKOVRAX_BUILD_BENCH=OFF",
                          output);
}

TEST(EmbeddedAuthoritiesBuild, FileOfAnotherAuthorityInASlotStopsConfiguration) {
  test::TempDir dir("kovrax-certs");
  test::KeyPtr key = test::MakeEcKey();
  test::CertSpec spec;
  spec.cn = "Melsa CA G2";
  spec.ca = true;
  test::CertPtr impostor = test::IssueCert(spec, key.get());
  test::WriteFile(dir / "certs/melsa-ca-g2.der", test::ToDer(impostor.get()));
  std::string out;
  EXPECT_NE(Configure(dir, &out), 0);
  EXPECT_NE(out.find("does not begin with 97df913d"), std::string::npos) << out;
}

TEST(EmbeddedAuthoritiesBuild, MissingFilesLeaveTheirSlotsEmpty) {
  test::TempDir dir("kovrax-certs");
  const std::string root = test::ReadFile(SourceDir() + "/certs/si-trust-root.der");
  ASSERT_FALSE(root.empty());
  test::WriteFile(dir / "certs/si-trust-root.der", root);
  std::string out;
  ASSERT_EQ(Configure(dir, &out), 0) << out;
  const std::string table = test::ReadFile(dir / "build/Client/gen/authorities.cpp");
  EXPECT_NE(table.find("{kovrax_authority_3, kovrax_authority_3_size},  // si-trust-root.der"), std::string::npos)
      << table;
  for (const char* absent : {"isrg-root-x1.der", "melsa-ca-g2.der", "si-trust-eid-podpis.der", "sigen-ca-g2.der"})
    EXPECT_NE(table.find(std::string("{nullptr, 0},  // ") + absent + " not supplied"), std::string::npos) << table;
}

}  // namespace
}  // namespace kovrax
