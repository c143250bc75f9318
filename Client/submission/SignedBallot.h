// The signed ballot: the signed content made from the posted form, and its CMS SignedData.
#pragma once
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <vector>

namespace kovrax::submission {

struct CmsFree {
  void operator()(CMS_ContentInfo* p) const { CMS_ContentInfo_free(p); }
};
using CmsPtr = std::unique_ptr<CMS_ContentInfo, CmsFree>;

struct ReceiptRequestFree {
  void operator()(CMS_ReceiptRequest* p) const { CMS_ReceiptRequest_free(p); }
};
using ReceiptRequestPtr = std::unique_ptr<CMS_ReceiptRequest, ReceiptRequestFree>;

// The profile used when the page names none.
inline constexpr const char* kDefaultProfile = "3016";

// True when a form field name (still form-encoded) decodes to one of the names the agent appends
// itself, in any case.
bool IsReservedName(const std::string& encodedName);
// True when any "&"-separated item of the body has a reserved name.
bool HasReservedField(const std::string& body);

// The profile travels in a header line to the server and as an IA5String in the receipt request:
// only printable ASCII fits both.
bool IsUsableProfile(const std::string& profile);

// body + "&Kovra-Streznik=" + enc(server) + "&Kovra-Profil=" + enc(profile), enc being the
// form encoding of the gateway's URLEncode.
std::string BuildSignedContent(const std::string& body, const std::string& server, const std::string& profile);

struct SignedBallot {
  CmsPtr cms;                      // kept for the receipt check
  std::vector<unsigned char> der;  // what is sent and offered for download
};

// Signs content as an encapsulated CMS SignedData with SHA-256, the signing-certificate-v2
// attribute and a receipt request naming profile, and encodes it. Raises KovraException (as
// TActiveXThread::Cmd_TxSIG) on every failure.
SignedBallot SignContent(const std::string& content, EVP_PKEY* key, X509* cert, const std::string& profile);

}  // namespace kovrax::submission
