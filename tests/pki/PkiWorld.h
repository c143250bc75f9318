// The fixture PKI of the certificate tests: five test authorities in the slots of the real ones,
// voter and server certificates, and a worker site whose stores live in a temporary folder.
#pragma once
#include <array>
#include <map>
#include <string>
#include <vector>

#include "pki/PkiSite.h"
#include "pki/TrustAnchors.h"
#include "platform/CertStore.h"
#include "support/TestPki.h"

namespace kovrax::test {

struct PkiWorld {
  Authority serverRoot;  // slot 0 (ISRG Root X1)
  Authority melsa;       // slot 1 (Melsa CA G2), self-signed
  Authority eid;         // slot 2 (SI-TRUST eID Podpis), under userRoot
  Authority userRoot;    // slot 3 (SI-TRUST Root)
  Authority sigen;       // slot 4 (SIGEN-CA G2), under userRoot
  Authority serverSub;   // an intermediate under serverRoot, no slot of its own
  KeyPtr leafKey;        // one key for all end-entity certificates
  CertPtr voter;         // issued by sigen
  CertPtr expiredVoter;  // issued by sigen, expired yesterday
  CertPtr eidVoter;      // issued by eid
  CertPtr server;        // "localhost", issued by serverSub
  KeyPtr ecKey;          // P-256 end-entity key
  CertPtr ecVoter;       // issued by sigen, EC key
  CertPtr melsaVoter;    // issued by melsa
  AuthorityTable table;
  std::string issuerHashes;  // the built-in list in the default's shape, over the fixture prefixes

  std::string Prefix(std::size_t slot) const { return table.Slots[slot].Prefix; }
  X509* SlotCert(std::size_t slot) const;

  static const PkiWorld& Get();
};

class RecordingNotice : public INoticeBox {
 public:
  void Notice(const std::string& caption, const std::string& text) override {
    captions.push_back(caption);
    texts.push_back(text);
  }
  std::vector<std::string> captions;
  std::vector<std::string> texts;
};

// A worker's view for the pki code, with its stores in a temporary folder.
class SiteHarness {
 public:
  SiteHarness();
  pki::PkiSite& Site() { return site_; }

  // The contents of a directory store, as DER.
  std::vector<Bytes> Contents(const std::string& store, StoreLocation where);
  void Add(const std::string& store, StoreLocation where, X509* cert);
  void AddBytes(const std::string& store, StoreLocation where, const Bytes& der);
  // Every slot certificate in its store of the given location.
  void AddAllAuthorities(StoreLocation where);

  TempDir dir;
  TSettings settings;
  TServices services;
  RecordingNotice notice;
  std::array<bool, 5> flags{};
  std::map<std::string, std::string> params;
  std::vector<std::string> log;

 private:
  pki::PkiSite site_;
};

// Subject common names of the certificates in a trust store.
std::vector<std::string> StoreNames(X509_STORE* store);

}  // namespace kovrax::test
