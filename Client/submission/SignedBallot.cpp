// The signed content, the reserved field names, the receipt request and the CMS SignedData of a
// ballot.
#include "submission/SignedBallot.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ess.h>
#include <openssl/objects.h>
#include <openssl/x509v3.h>
#include <strings.h>

#include <new>

#include "gateway/ActiveXThreadUnit.h"
#include "shell/KovraException.h"
#include "submission/my_CMS.h"

namespace kovrax {
namespace submission {
namespace {

constexpr const char* kFunc = "TActiveXThread::Cmd_TxSIG";
// Partial so that the signer and its attributes can be added before the content is digested;
// binary so that the form text is signed byte for byte.
constexpr unsigned kSignFlags = CMS_PARTIAL | CMS_NOSMIMECAP | CMS_BINARY;
constexpr unsigned kSignerFlags = CMS_NOSMIMECAP | CMS_BINARY;

struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

}  // namespace

bool IsReservedName(const std::string& encodedName) {
  const std::string name = TActiveXThread::URLDecode(encodedName);
  // Compared as a C text: a name cut short by a decoded zero byte reads as the reserved name to
  // anyone who parses the content as text, so it is refused too.
  return strcasecmp(name.c_str(), "Kovra-Streznik") == 0 || strcasecmp(name.c_str(), "Kovra-Profil") == 0;
}

bool HasReservedField(const std::string& body) {
  size_t start = 0;
  while (true) {
    size_t end = body.find('&', start);
    std::string item = body.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (IsReservedName(item.substr(0, item.find('=')))) return true;
    if (end == std::string::npos) return false;
    start = end + 1;
  }
}

bool IsUsableProfile(const std::string& profile) {
  for (unsigned char c : profile)
    if (c < 0x20 || c > 0x7E) return false;
  return true;
}

std::string BuildSignedContent(const std::string& body, const std::string& server, const std::string& profile) {
  std::string content;
  content.reserve(body.size() + server.size() * 3 + profile.size() * 3 + 32);
  content += body;
  content += "&Kovra-Streznik=";
  content += TActiveXThread::URLEncode(server);
  content += "&Kovra-Profil=";
  content += TActiveXThread::URLEncode(profile);
  return content;
}

SignedBallot SignContent(const std::string& content, EVP_PKEY* key, X509* cert, const std::string& profile) {
  BioPtr data(BIO_new(BIO_s_mem()));
  if (!data) KOVRA_RAISE_CALL("BIO_new", 1413, kFunc);
  // BIO_write takes an int; a form that large never reaches here (the gateway caps the body).
  if (content.size() > 0x7FFFFFFF) KOVRA_RAISE_CALL("BIO_write", 1416, kFunc);
  if (!content.empty()) {
    int n = BIO_write(data.get(), content.data(), static_cast<int>(content.size()));
    if (n < 0 || static_cast<size_t>(n) < content.size()) KOVRA_RAISE_CALL("BIO_write", 1416, kFunc);
  }

  CmsPtr cms(CMS_sign(nullptr, nullptr, nullptr, data.get(), kSignFlags));
  if (!cms) KOVRA_RAISE(1015, 1422, kFunc);

  CMS_SignerInfo* si = CMS_add1_signer(cms.get(), cert, key, EVP_sha256(), kSignerFlags);
  if (si == nullptr) KOVRA_RAISE_CALL("CMS_add1_signer", 1426, kFunc);

  {
    EssSigningCertV2Ptr scv2(OSSL_ESS_signing_cert_v2_new_init(EVP_sha256(), cert, nullptr, 1));
    if (!scv2) KOVRA_RAISE_CALL("OSSL_ESS_signing_cert_v2_new_init", 1429, kFunc);
    int added = ossl_cms_add1_signing_cert_v2(si, scv2.get());
    scv2.reset();
    if (added == 0) KOVRA_RAISE_CALL("ossl_cms_add1_signing_cert_v2", 1433, kFunc);
  }

  ReceiptRequestPtr rr(TActiveXThread::GetReceiptRequest(profile));
  if (!rr) KOVRA_RAISE_CALL("GetReceiptRequest", 1437, kFunc);
  if (CMS_add1_ReceiptRequest(si, rr.get()) <= 0) KOVRA_RAISE_CALL("CMS_add1_ReceiptRequest", 1439, kFunc);

  // Digests the content, adds contentType, signingTime and messageDigest, and signs.
  if (CMS_final(cms.get(), data.get(), nullptr, kSignFlags) != 1) KOVRA_RAISE(1015, 1442, kFunc);
  data.reset();

  // Encoded straight into the ballot's buffer: going through a memory stream costs several
  // times more for a large form.
  const int len = i2d_CMS_ContentInfo(cms.get(), nullptr);
  if (len < 1) KOVRA_RAISE_CALL("i2d_CMS_ContentInfo", 1452, kFunc);
  SignedBallot result;
  try {
    result.der.resize(static_cast<size_t>(len));
  } catch (const std::bad_alloc&) {
    KOVRA_RAISE(1008, 1463, kFunc);
  }
  unsigned char* p = result.der.data();
  if (i2d_CMS_ContentInfo(cms.get(), &p) != len) KOVRA_RAISE_CALL("i2d_CMS_ContentInfo", 1452, kFunc);
  rr.reset();
  result.cms = std::move(cms);
  return result;
}

}  // namespace submission

// receiptsTo: one GeneralNames holding one otherName (commonName, IA5String profile), so the
// server knows which profile the receipt is for; receipts from all recipients; a fresh random
// 32-byte identifier.
CMS_ReceiptRequest* TActiveXThread::GetReceiptRequest(const std::string& profile) {
  struct TypeFree {
    void operator()(ASN1_TYPE* p) const { ASN1_TYPE_free(p); }
  };
  struct NameFree {
    void operator()(GENERAL_NAME* p) const { GENERAL_NAME_free(p); }
  };
  struct NamesFree {
    void operator()(GENERAL_NAMES* p) const { GENERAL_NAMES_free(p); }
  };
  struct NamesStackFree {
    void operator()(STACK_OF(GENERAL_NAMES) * p) const { sk_GENERAL_NAMES_pop_free(p, GENERAL_NAMES_free); }
  };
  struct StrFree {
    void operator()(ASN1_STRING* p) const { ASN1_STRING_free(p); }
  };

  if (profile.size() > 0x7FFFFFFF) return nullptr;
  std::unique_ptr<ASN1_STRING, StrFree> ia5(ASN1_STRING_type_new(V_ASN1_IA5STRING));
  if (!ia5 || !ASN1_STRING_set(ia5.get(), profile.data(), static_cast<int>(profile.size()))) return nullptr;
  std::unique_ptr<ASN1_TYPE, TypeFree> value(ASN1_TYPE_new());
  if (!value) return nullptr;
  ASN1_TYPE_set(value.get(), V_ASN1_IA5STRING, ia5.release());

  std::unique_ptr<GENERAL_NAME, NameFree> name(GENERAL_NAME_new());
  ASN1_OBJECT* cn = OBJ_nid2obj(NID_commonName);
  if (!name || cn == nullptr || !GENERAL_NAME_set0_othername(name.get(), cn, value.get())) return nullptr;
  value.release();

  std::unique_ptr<GENERAL_NAMES, NamesFree> names(GENERAL_NAMES_new());
  if (!names || !sk_GENERAL_NAME_push(names.get(), name.get())) return nullptr;
  name.release();
  std::unique_ptr<STACK_OF(GENERAL_NAMES), NamesStackFree> receiptsTo(sk_GENERAL_NAMES_new_null());
  if (!receiptsTo || !sk_GENERAL_NAMES_push(receiptsTo.get(), names.get())) return nullptr;
  names.release();

  CMS_ReceiptRequest* rr = CMS_ReceiptRequest_create0(nullptr, 32, 0, nullptr, receiptsTo.get());
  if (rr != nullptr) receiptsTo.release();  // the request owns it now
  return rr;
}

}  // namespace kovrax
