#include "pki/X509Util.h"

#include <gtest/gtest.h>

#include "pki/TrustAnchors.h"
#include "shell/KovraException.h"
#include "shell/Messages.h"
#include "support/TestPki.h"

namespace kovrax::pki {
namespace {

using test::Bytes;

int RaisedNumber(const Bytes& der) {
  try {
    X509Ptr c(GetX509(der));
    return 0;
  } catch (const KovraException& e) {
    return e.Message() == LoadStr(1011) ? 1011 : -1;
  }
}

TEST(GetX509, ParsesDerAndRefusesEverythingElse) {
  test::KeyPtr key = test::MakeRsaKey(2048);
  test::CertSpec spec;
  spec.cn = "x";
  test::CertPtr cert = test::IssueCert(spec, key.get());
  const Bytes der = test::ToDer(cert.get());

  X509Ptr parsed(GetX509(der));
  ASSERT_NE(parsed, nullptr);
  EXPECT_EQ(X509_cmp(parsed.get(), cert.get()), 0);

  const std::string pem = test::ToPem(cert.get());
  EXPECT_EQ(RaisedNumber(Bytes(pem.begin(), pem.end())), 1011);
  EXPECT_EQ(RaisedNumber({}), 1011);
  EXPECT_EQ(RaisedNumber(Bytes(der.begin(), der.begin() + der.size() / 2)), 1011);
  EXPECT_EQ(RaisedNumber({0x30, 0x82, 0xff, 0xff}), 1011);
}

TEST(CertThumbprint, IsUppercaseSha1OfTheDer) {
  test::KeyPtr key = test::MakeEcKey();
  test::CertSpec spec;
  spec.cn = "y";
  test::CertPtr cert = test::IssueCert(spec, key.get());
  const std::string t = CertThumbprint(cert.get());
  EXPECT_EQ(t.size(), 40u);
  EXPECT_EQ(t, test::Sha1Hex(cert.get(), true));
  EXPECT_EQ(CertThumbprint(nullptr), "");
}

TEST(NoCaseComparisons, AsciiOnly) {
  EXPECT_TRUE(EqualsNoCase("AbC", "aBc"));
  EXPECT_FALSE(EqualsNoCase("abc", "abcd"));
  EXPECT_TRUE(StartsWithNoCase("CABD2A79ff", "cabd"));
  EXPECT_TRUE(StartsWithNoCase("abc", ""));
  EXPECT_FALSE(StartsWithNoCase("ab", "abc"));
}

// The compiled-in table: each certificate a deployment supplied is the one its slot names.
TEST(DefaultAuthorities, EverySuppliedSlotMatchesItsPrefixAndName) {
  const AuthorityTable& t = DefaultAuthorities();
  const char* names[] = {"ISRG Root X1", "Melsa CA G2", "SI-TRUST eID Podpis", "SI-TRUST Root", "SIGEN-CA G2"};
  const char* prefixes[] = {"cabd2a79", "97df913d", "b82071fa", "3a4979b4", "d3c6c554"};
  const char* stores[] = {"Root", "Root", "CA", "Root", "CA"};
  for (std::size_t i = 0; i < kAuthorityCount; ++i) {
    const AuthoritySlot& s = t.Slots[i];
    EXPECT_EQ(s.Name, names[i]);
    EXPECT_EQ(s.Prefix, prefixes[i]);
    EXPECT_EQ(s.StoreName, stores[i]);
    if (!s.Present()) continue;
    X509Ptr c(GetX509(s.Der));
    EXPECT_EQ(test::Sha1Hex(c.get()).substr(0, 8), s.Prefix) << s.Name;
    char cn[256] = {0};
    X509_NAME_get_text_by_NID(X509_get_subject_name(c.get()), NID_commonName, cn, sizeof cn);
    EXPECT_EQ(std::string(cn), s.Name);
  }
}

TEST(InstallNotice, NamesTheAuthority) {
  EXPECT_EQ(InstallNotice(EmptyAuthorities().Slots[kMelsaCaG2]), "Nameščam 'Melsa CA G2' digitalno potrdilo");
}

}  // namespace
}  // namespace kovrax::pki
