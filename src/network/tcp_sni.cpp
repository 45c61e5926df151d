// The server-name certificate map: ready server contexts by key, each for one host name, that
// TLS listeners with a server-name flag start with and switch a connection to when the client
// asks for the entry's name.
//
// The map, its listing cursor and the contexts are process-wide without a lock: every change
// runs inside one command that does not yield, and the callback runs inside the handshake step
// of a status poll. A listener holds its own reference to the context it took, so an entry may
// go while listeners still use its context.

#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "network/tcp.h"
#include "network/tcp_internal.h"

namespace tcp {

namespace {

struct ServerNameEntry {
  std::string domain;
  unique_ctx context;
};

using ServerNameMap = std::map<int32_t, ServerNameEntry>;

// Null while no entry exists; made by the first addition, dropped when it empties.
std::unique_ptr<ServerNameMap> sCtxMap;
// Where tcp::sslGetSNIDomain goes on; valid only within one listing, which no change interrupts.
ServerNameMap::const_iterator sCursor;

constexpr int32_t kClearAll = -1;
constexpr int kStrictFlag = kStreamFlagSNIStrict;

bool isEmpty(const char* text) { return text == nullptr || *text == '\0'; }

void dropMapWhenEmpty() {
  if (sCtxMap && sCtxMap->empty()) sCtxMap.reset();
}

// The entry's key from its file (PEM), put in place; false when it does not load.
bool useEntryKey(SSL_CTX* context, const char* privateKey, const char* passPhrase) {
  std::string bytes;
  if (!readCertificateFile(privateKey, bytes)) return false;
  unique_pkey key = parsePrivateKey(bytes, false, passPhrase != nullptr ? passPhrase : "");
  return key && SSL_CTX_use_PrivateKey(context, key.get()) == 1;
}

// The entry's certificate (PEM), then the chain file's certificates after it, the leaf itself
// left out (a chain file may begin with it); false when one of them does not load.
bool useEntryCertificate(SSL_CTX* context, const char* certificate, const char* chain) {
  std::string bytes;
  if (!readCertificateFile(certificate, bytes)) return false;
  unique_x509 leaf = parseCertificate(bytes, false);
  if (!leaf || SSL_CTX_use_certificate(context, leaf.get()) != 1) return false;
  if (isEmpty(chain)) return true;
  std::vector<unique_x509> certificates;
  if (!readChain(chain, certificates)) return false;
  for (const unique_x509& certificate : certificates) {
    if (X509_cmp(certificate.get(), leaf.get()) == 0) continue;
    if (SSL_CTX_add1_chain_cert(context, certificate.get()) != 1) return false;
  }
  return true;
}

// A server context with the entry's key, certificate and optional chain, all read as PEM;
// answers 0, -4 for a key that fails to load or match, -3 for a certificate or chain.
int32_t loadEntryContext(unique_ctx& context, const char* certificate, const char* privateKey,
                         const char* passPhrase, const char* chain) {
  context.reset(SSL_CTX_new(TLS_server_method()));
  if (!context) return -3;
  SSL_CTX* ctx = context.get();
  PKCS5_PBE_add();
  PKCS12_PBE_add();
  int32_t result = 0;
  bool keyLoaded = useEntryKey(ctx, privateKey, passPhrase);
  EVP_PBE_cleanup();
  if (!keyLoaded) {
    result = -4;
  } else if (!useEntryCertificate(ctx, certificate, chain)) {
    result = -3;
  } else if (SSL_CTX_check_private_key(ctx) != 1) {
    result = -4;
  }
  // No stream keeps the codes of a failed load; leave none for the next recorded call.
  ERR_clear_error();
  return result;
}

char asciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Host names are compared without regard to ASCII case (RFC 4343, RFC 6066); every other byte
// compares as it is.
bool sameHostName(const std::string& entry, const char* name) {
  size_t length = std::strlen(name);
  if (entry.size() != length) return false;
  for (size_t i = 0; i < length; ++i) {
    if (asciiLower(entry[i]) != asciiLower(name[i])) return false;
  }
  return true;
}

// The listener whose connection is in the handshake: the stream behind the connection's BIO.
// (A context's callback argument is shared by every listener that took the context, so it
// cannot name one.)
TCPGlob* listenerOf(SSL* connection) {
  BIO* bio = SSL_get_rbio(connection);
  return bio != nullptr ? static_cast<TCPGlob*>(BIO_get_data(bio)) : nullptr;
}

int get_ssl_servername_cb(SSL* connection, int*, void*) {
  if (connection == nullptr || !sCtxMap) return SSL_TLSEXT_ERR_NOACK;
  TCPGlob* stream = listenerOf(connection);
  if (stream == nullptr) return SSL_TLSEXT_ERR_NOACK;
  const char* name = SSL_get_servername(connection, TLSEXT_NAMETYPE_host_name);
  if (isEmpty(name)) return SSL_TLSEXT_ERR_NOACK;
  for (const auto& [key, entry] : *sCtxMap) {
    if (!sameHostName(entry.domain, name)) continue;
    if (key == stream->sniId) return SSL_TLSEXT_ERR_OK;
    if (SSL_set_SSL_CTX(connection, entry.context.get()) == entry.context.get()) {
      return SSL_TLSEXT_ERR_OK;
    }
    break;
  }
  return (stream->listenFlags & kStrictFlag) ? SSL_TLSEXT_ERR_ALERT_FATAL : SSL_TLSEXT_ERR_NOACK;
}

}  // namespace

int32_t sslSetSNICert(int32_t key, const char* domain, const char* certificate,
                      const char* privateKey, const char* passPhrase, const char* chain) {
  randAdd();
  if (key == kClearAll) {
    sCtxMap.reset();
    return 0;
  }
  bool complete = !isEmpty(domain) && !isEmpty(certificate) && !isEmpty(privateKey);
  int32_t result = -1;
  if (sCtxMap && sCtxMap->erase(key) > 0) result = 0;
  if (complete) {
    unique_ctx context;
    result = loadEntryContext(context, certificate, privateKey, passPhrase, chain);
    if (result == 0) {
      if (!sCtxMap) sCtxMap = std::make_unique<ServerNameMap>();
      (*sCtxMap)[key] = ServerNameEntry{domain, std::move(context)};
    }
  }
  dropMapWhenEmpty();
  return result;
}

int32_t sslGetSNIMapSize() { return sCtxMap ? static_cast<int32_t>(sCtxMap->size()) : 0; }

int32_t sslGetSNIDomain(bool first, const char*& domain) {
  if (!sCtxMap) return -1;
  if (first) sCursor = sCtxMap->cbegin();
  if (sCursor == sCtxMap->cend()) return -1;
  domain = sCursor->second.domain.c_str();
  return (sCursor++)->first;
}

void takeServerNameContext(TCPGlob* stream, int32_t key) {
  stream->sniId = -1;
  if (!sCtxMap) return;
  auto found = sCtxMap->find(key);
  if (found == sCtxMap->end()) return;
  SSL_CTX* context = found->second.context.get();
  if (SSL_CTX_up_ref(context) != 1) return;
  stream->ctx.reset(context);
  stream->hasCertificate = true;
  stream->sniId = key;
}

void installServerNameCallback(SSL_CTX* context, bool byName) {
  using Callback = int (*)(SSL*, int*, void*);
  Callback callback = byName ? get_ssl_servername_cb : nullptr;
  SSL_CTX_callback_ctrl(context, SSL_CTRL_SET_TLSEXT_SERVERNAME_CB,
                        reinterpret_cast<void (*)()>(callback));
  SSL_CTX_set_tlsext_servername_arg(context, nullptr);
}

void freeServerNameMap() { sCtxMap.reset(); }

}  // namespace tcp
