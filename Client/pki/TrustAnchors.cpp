#include "pki/TrustAnchors.h"

namespace kovrax::pki {

AuthorityTable EmptyAuthorities() {
  AuthorityTable t;
  t.Slots[kIsrgRootX1] = {"ISRG Root X1", "cabd2a79", "Root", {}};
  t.Slots[kMelsaCaG2] = {"Melsa CA G2", "97df913d", "Root", {}};
  t.Slots[kSiTrustEidPodpis] = {"SI-TRUST eID Podpis", "b82071fa", "CA", {}};
  t.Slots[kSiTrustRoot] = {"SI-TRUST Root", "3a4979b4", "Root", {}};
  t.Slots[kSigenCaG2] = {"SIGEN-CA G2", "d3c6c554", "CA", {}};
  return t;
}

const AuthorityTable& DefaultAuthorities() {
  static const AuthorityTable table = [] {
    AuthorityTable t = EmptyAuthorities();
    for (std::size_t i = 0; i < kAuthorityCount; ++i) {
      const EmbeddedDer& e = kEmbeddedAuthorities[i];
      if (e.Data != nullptr && e.Size > 0) t.Slots[i].Der.assign(e.Data, e.Data + e.Size);
    }
    return t;
  }();
  return table;
}

std::string InstallNotice(const AuthoritySlot& slot) {
  return "Nameščam '" + slot.Name + "' digitalno potrdilo";
}

}  // namespace kovrax::pki
