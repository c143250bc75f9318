// OpenSSL key objects whose private operations are delegated to a token key: the RSA method
// "MS RSA CAPI" and the ECDSA method "MS ECDSA CAPI", and the TLS stream's line reader.
#pragma once
#include <openssl/bio.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include "platform/CertStore.h"
#include "platform/KeyStorage.h"

namespace kovrax {

constexpr int AT_SIGNATURE = 2;
constexpr int CERT_NCRYPT_KEY_SPEC = -1;  // 0xFFFFFFFF

// Attached to the RSA or EC part of a signer key at ex-data index 0; owns the certificate
// context and, when OwnsKey, the token key.
struct PlatformKeyContext {
  CertContextPtr Certificate;
  int KeySpec = 0;
  bool OwnsKey = false;
  TokenKey* AcquiredKey = nullptr;
  TokenKey* KeyHandle = nullptr;
};

// Creates the two method objects; raises KovraException when they cannot be made.
void RegisterPlatformMethods();
// Frees them (at shutdown, after every signer key is gone).
void ReleasePlatformMethods();
const RSA_METHOD* RsaPlatformMethod();
const EC_KEY_METHOD* EcdsaPlatformMethod();

// The callbacks (never throw; failures go to OpenSSL's error queue).
int PlatformRsaPrivateEncrypt(int flen, const unsigned char* from, unsigned char* to, RSA* rsa, int padding);
ECDSA_SIG* PlatformEcdsaSign(const unsigned char* dgst, int dgstLen, const BIGNUM* inv, const BIGNUM* r, EC_KEY* eckey);

// Releases a signer key: first its PlatformKeyContext (certificate context, then the token key
// when OwnsKey), then the key object. Sets key to null; null is fine.
void ReleaseSignerKey(EVP_PKEY*& key);
// Frees a context that was never attached to a key (failure paths).
void FreePlatformKeyContext(PlatformKeyContext* ctx);

// One-byte-per-read line reader over the next BIO in a chain: BIO_gets stores the bytes up to
// a line feed (replaced by NUL, CR kept) or size bytes; returns that count, or -1 when a read
// does not return exactly one byte. BIO_read passes through unbuffered.
int SslBioGets(BIO* bio, char* buf, int size);
BIO* NewLineReaderBio();  // push it over the TLS BIO: BIO_push(NewLineReaderBio(), sslBio)

}  // namespace kovrax
