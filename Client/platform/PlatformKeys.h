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

// Creates the two method objects (copies of OpenSSL's defaults: RSA with private-encrypt, EC with
// sign_sig replaced; an EC_KEY_METHOD carries no name) and the line reader's BIO method; raises
// KovraException 1008 when they cannot be made. Calling it again is harmless. Loading the key
// storage module (KeyStorage::Load) is the caller's step before it.
//
// A signer key gets the method and the context before EVP_PKEY_assign_RSA/EC_KEY (OpenSSL
// decides at assign time that the key is not its own); such keys take OpenSSL's legacy path,
// where CMS and EVP signing reach the callbacks.
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

// Line reader reading one byte per BIO_read of bio: stores the bytes up to a line feed, which
// becomes NUL (a CR before it stays), or size bytes followed by NUL, so buf holds size + 1
// bytes; returns the count stored before the NUL, or -1 as soon as a read does not return
// exactly one byte (end of stream, error, retry; what was read is lost to the caller).
// Through NewLineReaderBio it is BIO_gets of a filter whose BIO_read, BIO_write and BIO_ctrl
// pass through to the next BIO unbuffered (BIO_get_ssl, BIO_do_handshake work through it).
int SslBioGets(BIO* bio, char* buf, int size);
BIO* NewLineReaderBio();  // push it over the TLS BIO: BIO_push(NewLineReaderBio(), sslBio)

}  // namespace kovrax
