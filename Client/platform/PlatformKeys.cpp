// OpenSSL key methods whose private operations run on the token, and the TLS stream's line reader.
#include "platform/PlatformKeys.h"

#include <openssl/err.h>

#include <cstring>
#include <vector>

#include "shell/KovraException.h"

namespace kovrax {
namespace {

RSA_METHOD* g_rsaMethod = nullptr;
EC_KEY_METHOD* g_ecdsaMethod = nullptr;

// Error records name the unit the signing methods have always belonged to.
void PutError(int lib, int reason, int line, const char* func) {
  ERR_new();
  ERR_set_debug("Client/ServerUnit", line, func);
  ERR_set_error(lib, reason, nullptr);
}

void PutRsaError(int line) {
  PutError(ERR_LIB_RSA, RSA_R_RSA_OPERATIONS_NOT_SUPPORTED, line, "PlatformRsaPrivateEncrypt");
}

// ---- the line reader filter ----

int LineReaderWrite(BIO* b, const char* data, int len) {
  BIO* next = BIO_next(b);
  if (!next) return 0;
  BIO_clear_retry_flags(b);
  int r = BIO_write(next, data, len);
  BIO_copy_next_retry(b);
  return r;
}

int LineReaderRead(BIO* b, char* data, int len) {
  BIO* next = BIO_next(b);
  if (!next) return 0;
  BIO_clear_retry_flags(b);
  int r = BIO_read(next, data, len);
  BIO_copy_next_retry(b);
  return r;
}

int LineReaderPuts(BIO* b, const char* text) { return LineReaderWrite(b, text, static_cast<int>(std::strlen(text))); }

int LineReaderGets(BIO* b, char* buf, int size) {
  BIO* next = BIO_next(b);
  if (!next) return -1;
  BIO_clear_retry_flags(b);
  int r = SslBioGets(next, buf, size);
  BIO_copy_next_retry(b);
  return r;
}

long LineReaderCtrl(BIO* b, int cmd, long num, void* ptr) {
  switch (cmd) {
    case BIO_CTRL_PUSH:
    case BIO_CTRL_POP:
      return 0;  // about this filter's place in the chain, not for the TLS BIO below
    case BIO_CTRL_DUP:
      return 1;
    default: {
      BIO* next = BIO_next(b);
      if (!next) return 0;
      BIO_clear_retry_flags(b);
      long r = BIO_ctrl(next, cmd, num, ptr);
      BIO_copy_next_retry(b);
      return r;
    }
  }
}

long LineReaderCallbackCtrl(BIO* b, int cmd, BIO_info_cb* fp) {
  BIO* next = BIO_next(b);
  return next ? BIO_callback_ctrl(next, cmd, fp) : 0;
}

int LineReaderCreate(BIO* b) {
  BIO_set_init(b, 1);
  return 1;
}

int LineReaderDestroy(BIO*) { return 1; }

// Made once and kept for the life of the process: BIOs of it may outlive any owner.
BIO_METHOD* LineReaderMethod() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_FILTER, "kovrax line reader");
    if (m && (!BIO_meth_set_write(m, LineReaderWrite) || !BIO_meth_set_read(m, LineReaderRead) ||
              !BIO_meth_set_puts(m, LineReaderPuts) || !BIO_meth_set_gets(m, LineReaderGets) ||
              !BIO_meth_set_ctrl(m, LineReaderCtrl) || !BIO_meth_set_callback_ctrl(m, LineReaderCallbackCtrl) ||
              !BIO_meth_set_create(m, LineReaderCreate) || !BIO_meth_set_destroy(m, LineReaderDestroy))) {
      BIO_meth_free(m);
      m = nullptr;
    }
    return m;
  }();
  return method;
}

PlatformKeyContext* ContextOf(EVP_PKEY* key) {
  switch (EVP_PKEY_get_base_id(key)) {
    case EVP_PKEY_RSA:
      if (const RSA* rsa = EVP_PKEY_get0_RSA(key)) return static_cast<PlatformKeyContext*>(RSA_get_ex_data(rsa, 0));
      break;
    case EVP_PKEY_EC:
      if (const EC_KEY* ec = EVP_PKEY_get0_EC_KEY(key))
        return static_cast<PlatformKeyContext*>(EC_KEY_get_ex_data(ec, 0));
      break;
    default:
      break;
  }
  return nullptr;
}

}  // namespace

void RegisterPlatformMethods() {
  if (!g_rsaMethod) {
    RSA_METHOD* rsa = RSA_meth_dup(RSA_get_default_method());
    if (!rsa || !RSA_meth_set1_name(rsa, "MS RSA CAPI") || !RSA_meth_set_priv_enc(rsa, PlatformRsaPrivateEncrypt)) {
      RSA_meth_free(rsa);
      KOVRA_RAISE(1008, 1163, "TMainForm::AfterCreate");
    }
    g_rsaMethod = rsa;
  }
  if (!g_ecdsaMethod) {
    // Signing set-up and the outer sign stay OpenSSL's: they end in sign_sig, which is ours.
    EC_KEY_METHOD* ec = EC_KEY_METHOD_new(EC_KEY_OpenSSL());
    if (!ec) KOVRA_RAISE(1008, 1171, "TMainForm::AfterCreate");
    int (*sign)(int, const unsigned char*, int, unsigned char*, unsigned int*, const BIGNUM*, const BIGNUM*,
                EC_KEY*) = nullptr;
    int (*setup)(EC_KEY*, BN_CTX*, BIGNUM**, BIGNUM**) = nullptr;
    ECDSA_SIG* (*sig)(const unsigned char*, int, const BIGNUM*, const BIGNUM*, EC_KEY*) = nullptr;
    EC_KEY_METHOD_get_sign(ec, &sign, &setup, &sig);
    EC_KEY_METHOD_set_sign(ec, sign, setup, PlatformEcdsaSign);
    g_ecdsaMethod = ec;
  }
  if (!LineReaderMethod()) KOVRA_RAISE(1008, 1178, "TMainForm::AfterCreate");
}

void ReleasePlatformMethods() {
  RSA_meth_free(g_rsaMethod);
  g_rsaMethod = nullptr;
  EC_KEY_METHOD_free(g_ecdsaMethod);
  g_ecdsaMethod = nullptr;
}

const RSA_METHOD* RsaPlatformMethod() { return g_rsaMethod; }
const EC_KEY_METHOD* EcdsaPlatformMethod() { return g_ecdsaMethod; }

int PlatformRsaPrivateEncrypt(int flen, const unsigned char* from, unsigned char* to, RSA* rsa, int padding) {
  try {
    if (padding != RSA_PKCS1_PADDING) {
      PutRsaError(__LINE__);
      return 0;
    }
    auto* ctx = rsa ? static_cast<PlatformKeyContext*>(RSA_get_ex_data(rsa, 0)) : nullptr;
    int size = rsa ? RSA_size(rsa) : 0;
    if (!ctx || !ctx->KeyHandle || ctx->KeyHandle->Type() != TokenKeyType::Rsa || flen < 0 || !from || !to ||
        size <= 0) {
      PutRsaError(__LINE__);
      return 0;
    }
    std::vector<unsigned char> sig;
    if (!ctx->KeyHandle->Sign(from, static_cast<size_t>(flen), sig) || sig.size() != static_cast<size_t>(size)) {
      PutRsaError(__LINE__);
      return 0;
    }
    std::memcpy(to, sig.data(), sig.size());
    return size;
  } catch (...) {
    PutRsaError(__LINE__);
    return 0;
  }
}

ECDSA_SIG* PlatformEcdsaSign(const unsigned char* dgst, int dgstLen, const BIGNUM*, const BIGNUM*, EC_KEY* eckey) {
  ECDSA_SIG* result = nullptr;
  try {
    result = ECDSA_SIG_new();
    if (!result) {
      PutError(ERR_LIB_EC, ERR_R_MALLOC_FAILURE, __LINE__, "PlatformEcdsaSign");
      return nullptr;
    }
    auto* ctx = eckey ? static_cast<PlatformKeyContext*>(EC_KEY_get_ex_data(eckey, 0)) : nullptr;
    std::vector<unsigned char> rs;
    if (!ctx || !ctx->KeyHandle || ctx->KeyHandle->Type() != TokenKeyType::Ec || !dgst || dgstLen < 0 ||
        !ctx->KeyHandle->Sign(dgst, static_cast<size_t>(dgstLen), rs) || rs.empty() || rs.size() % 2 != 0) {
      PutError(ERR_LIB_EC, ERR_R_EC_LIB, __LINE__, "PlatformEcdsaSign");
      ECDSA_SIG_free(result);
      return nullptr;
    }
    const int half = static_cast<int>(rs.size() / 2);
    BIGNUM* r = BN_bin2bn(rs.data(), half, nullptr);
    BIGNUM* s = BN_bin2bn(rs.data() + half, half, nullptr);
    if (!r || !s || !ECDSA_SIG_set0(result, r, s)) {
      BN_free(r);
      BN_free(s);
      PutError(ERR_LIB_EC, ERR_R_MALLOC_FAILURE, __LINE__, "PlatformEcdsaSign");
      ECDSA_SIG_free(result);
      return nullptr;
    }
    return result;
  } catch (...) {
    ECDSA_SIG_free(result);
    PutError(ERR_LIB_EC, ERR_R_EC_LIB, __LINE__, "PlatformEcdsaSign");
    return nullptr;
  }
}

void FreePlatformKeyContext(PlatformKeyContext* ctx) {
  if (!ctx) return;
  ctx->Certificate.reset();
  if (ctx->OwnsKey) {
    // Before the handle is copied, only AcquiredKey holds it.
    TokenKey* key = ctx->KeyHandle ? ctx->KeyHandle : ctx->AcquiredKey;
    delete key;
  }
  delete ctx;
}

void ReleaseSignerKey(EVP_PKEY*& key) {
  if (!key) return;
  if (PlatformKeyContext* ctx = ContextOf(key)) {
    // The key object must not point at the context once it is gone.
    if (EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA)
      RSA_set_ex_data(const_cast<RSA*>(EVP_PKEY_get0_RSA(key)), 0, nullptr);
    else
      EC_KEY_set_ex_data(const_cast<EC_KEY*>(EVP_PKEY_get0_EC_KEY(key)), 0, nullptr);
    FreePlatformKeyContext(ctx);
  }
  EVP_PKEY_free(key);
  key = nullptr;
}

int SslBioGets(BIO* bio, char* buf, int size) {
  if (!bio || !buf) return -1;
  int i = 0;
  while (i < size) {
    if (BIO_read(bio, buf + i, 1) != 1) return -1;
    if (buf[i] == '\n') break;
    ++i;
  }
  buf[i] = '\0';
  return i;
}

BIO* NewLineReaderBio() {
  BIO_METHOD* method = LineReaderMethod();
  return method ? BIO_new(method) : nullptr;
}

}  // namespace kovrax
