// The checks of the server's signed receipt: signature against the ballot, signer, time.
#pragma once
#include <openssl/cms.h>
#include <openssl/x509.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace kovrax::submission {

using Clock = std::chrono::system_clock;
// A time of the receipt check; the epoch stands for "no time".
using TimePoint = Clock::time_point;

struct ReceiptX509Free {
  void operator()(X509* c) const { X509_free(c); }
};
using ReceiptX509Ptr = std::unique_ptr<X509, ReceiptX509Free>;

// The first X.509 certificate carried by a SignedData, or null (not SignedData, no certificate).
ReceiptX509Ptr FirstCertificate(CMS_ContentInfo* cms);

// The first signer's signingTime: a UTCTime of at least 12 characters, year 2000 + YY; with a
// final "Z" it is UTC, otherwise local time (an offset is ignored). No such attribute, another
// type, too short or digits that are no valid date and time: the epoch.
TimePoint GetSigningTime(CMS_ContentInfo* cms);

// Time of day in the user's time format (LC_TIME); the epoch shows as midnight.
std::string TimeOfDay(TimePoint t);

// Who signed: the receipt carries a certificate (1034 / 1540), verifies as a receipt for the
// ballot (1019 / 1543; the signer chains to store only when bit 1 of verifyFlags is set), and its
// single signer names unit (1034 / 1559) and organization (1034 / 1561), an empty one not checked.
void VerifyReceipt(CMS_ContentInfo* receipt, CMS_ContentInfo* ballot, X509_STORE* store, int verifyFlags,
                   const std::string& unit, const std::string& organization);

// When: strictly between notBefore and now + tolerance (1025 / 1573) and not before the ballot's
// own signingTime (1060 / 1576).
void CheckReceiptTime(CMS_ContentInfo* receipt, CMS_ContentInfo* ballot, TimePoint notBefore, int toleranceSeconds);

// The receipt's DER, for download (1014 "BIO_new" / 1580, "i2d_CMS_bio" / 1583,
// "BIO_get_mem_data" / 1587, 1008 / 1591).
std::vector<unsigned char> EncodeReceipt(CMS_ContentInfo* receipt);

}  // namespace kovrax::submission
