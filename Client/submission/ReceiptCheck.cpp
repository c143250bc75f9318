// The receipt check: RFC 2634 receipt against the ballot, the signer's unit and organization,
// and the receipt time against the local clock.
#include "submission/ReceiptCheck.h"

#include <locale.h>
#include <openssl/bio.h>
#include <openssl/objects.h>
#include <time.h>

#include <new>

#include "shell/KovraException.h"

namespace kovrax::submission {
namespace {

constexpr const char* kFunc = "TActiveXThread::Cmd_TxSIG";

struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

// Two decimal digits, or -1.
int TwoDigits(const unsigned char* p) {
  if (p[0] < '0' || p[0] > '9' || p[1] < '0' || p[1] > '9') return -1;
  return (p[0] - '0') * 10 + (p[1] - '0');
}

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

// First organizationalUnitName / organizationName of a subject, at most 255 bytes; empty when
// absent. The length comes from the library, so a NUL inside the value cannot shorten it.
std::string NameText(X509_NAME* name, int nid) {
  char buf[256];
  int n = X509_NAME_get_text_by_NID(name, nid, buf, sizeof buf);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

}  // namespace

ReceiptX509Ptr FirstCertificate(CMS_ContentInfo* cms) {
  if (!cms || OBJ_obj2nid(CMS_get0_type(cms)) != NID_pkcs7_signed) return nullptr;
  STACK_OF(X509)* certs = CMS_get1_certs(cms);
  if (!certs) return nullptr;
  ReceiptX509Ptr first;
  if (sk_X509_num(certs) > 0) {
    first.reset(sk_X509_value(certs, 0));
    X509_up_ref(first.get());
  }
  sk_X509_pop_free(certs, X509_free);
  return first;
}

TimePoint GetSigningTime(CMS_ContentInfo* cms) {
  STACK_OF(CMS_SignerInfo)* signers = cms ? CMS_get0_SignerInfos(cms) : nullptr;
  if (!signers || sk_CMS_SignerInfo_num(signers) < 1) return {};
  CMS_SignerInfo* si = sk_CMS_SignerInfo_value(signers, 0);
  int index = CMS_signed_get_attr_by_NID(si, NID_pkcs9_signingTime, -1);
  if (index < 0) return {};
  ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(CMS_signed_get_attr(si, index), 0);
  if (!value || value->type != V_ASN1_UTCTIME) return {};
  const unsigned char* d = ASN1_STRING_get0_data(value->value.utctime);
  int n = ASN1_STRING_length(value->value.utctime);
  if (!d || n < 12) return {};

  // Digits that make no date or time count as no time at all: the check then fails as any
  // receipt outside the window does.
  int fields[6];
  for (int i = 0; i < 6; ++i)
    if ((fields[i] = TwoDigits(d + 2 * i)) < 0) return {};
  const int year = 2000 + fields[0], month = fields[1], day = fields[2];
  if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month)) return {};
  if (fields[3] > 23 || fields[4] > 59 || fields[5] > 59) return {};

  struct tm tm {};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = fields[3];
  tm.tm_min = fields[4];
  tm.tm_sec = fields[5];
  time_t t;
  if (d[n - 1] == 'Z') {
    t = timegm(&tm);
  } else {
    tm.tm_isdst = -1;
    t = mktime(&tm);
  }
  if (t == static_cast<time_t>(-1)) return {};
  return Clock::from_time_t(t);
}

std::string TimeOfDay(TimePoint t) {
  struct tm tm {};
  if (t != TimePoint{}) {
    time_t tt = Clock::to_time_t(t);
    localtime_r(&tt, &tm);
  }
  locale_t loc = newlocale(LC_TIME_MASK, "", static_cast<locale_t>(0));
  if (!loc) loc = newlocale(LC_TIME_MASK, "C", static_cast<locale_t>(0));
  char buf[128];
  size_t n = loc ? strftime_l(buf, sizeof buf, "%X", &tm, loc) : strftime(buf, sizeof buf, "%X", &tm);
  if (loc) freelocale(loc);
  return std::string(buf, n);
}

void VerifyReceipt(CMS_ContentInfo* receipt, CMS_ContentInfo* ballot, X509_STORE* store, int verifyFlags,
                   const std::string& unit, const std::string& organization) {
  if (!FirstCertificate(receipt)) KOVRA_RAISE(1034, 1540, kFunc);
  const unsigned flags = (verifyFlags & 2) ? 0u : static_cast<unsigned>(CMS_NO_SIGNER_CERT_VERIFY);
  if (CMS_verify_receipt(receipt, ballot, nullptr, store, flags) != 1) KOVRA_RAISE(1019, 1543, kFunc);

  if (unit.empty() && organization.empty()) return;
  std::string signerUnit, signerOrganization;
  STACK_OF(X509)* signers = CMS_get0_signers(receipt);
  if (signers && sk_X509_num(signers) == 1) {
    X509_NAME* subject = X509_get_subject_name(sk_X509_value(signers, 0));
    signerUnit = NameText(subject, NID_organizationalUnitName);
    signerOrganization = NameText(subject, NID_organizationName);
  }
  sk_X509_free(signers);
  if (!unit.empty() && unit != signerUnit) KOVRA_RAISE(1034, 1559, kFunc);
  if (!organization.empty() && organization != signerOrganization) KOVRA_RAISE(1034, 1561, kFunc);
}

void CheckReceiptTime(CMS_ContentInfo* receipt, CMS_ContentInfo* ballot, TimePoint notBefore, int toleranceSeconds) {
  const TimePoint signedAt = GetSigningTime(receipt);
  const TimePoint notAfter = Clock::now() + std::chrono::seconds(toleranceSeconds);
  if (!(signedAt > notBefore) || !(signedAt < notAfter))
    KOVRA_RAISE_ARGS(1025, 1573, kFunc, {TimeOfDay(notBefore), TimeOfDay(signedAt), TimeOfDay(notAfter)});
  if (signedAt < GetSigningTime(ballot)) KOVRA_RAISE(1060, 1576, kFunc);
}

std::vector<unsigned char> EncodeReceipt(CMS_ContentInfo* receipt) {
  BioPtr mem(BIO_new(BIO_s_mem()));
  if (!mem) KOVRA_RAISE_CALL("BIO_new", 1580, kFunc);
  if (i2d_CMS_bio(mem.get(), receipt) != 1) KOVRA_RAISE_CALL("i2d_CMS_bio", 1583, kFunc);
  char* data = nullptr;
  long len = BIO_get_mem_data(mem.get(), &data);
  if (len < 1 || !data) KOVRA_RAISE_CALL("BIO_get_mem_data", 1587, kFunc);
  try {
    return std::vector<unsigned char>(data, data + len);
  } catch (const std::bad_alloc&) {
    KOVRA_RAISE(1008, 1591, kFunc);
  }
}

}  // namespace kovrax::submission
