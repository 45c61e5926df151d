// The TLS layer: the client and server contexts with the protocol options of the open flags,
// cipher lists, and the details and last error of a connection. The connection reads and writes
// through the socket BIO of tcp_tls_bio.cpp; certificates, keys and chains are loaded by
// tcp_certificates.cpp.
//
// A stream's kind is set once, when it becomes TLS. Every library call and every reading of a
// stream's TLS state runs under its TLS guard.

#include <cstdint>
#include <memory>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "network/tcp.h"
#include "network/tcp_internal.h"
#include "text/conversion.h"

namespace tcp {

namespace {

// The options of every context: the bug workarounds of the library's SSL_OP_ALL as it stood when
// this layer was written, legacy renegotiation with servers included (so that servers without
// RFC 5746 support are still reached). OpenSSL 3.0 took SSL_OP_LEGACY_SERVER_CONNECT out of
// SSL_OP_ALL, so the options are named one by one: a context has the same options whichever
// library version defines SSL_OP_ALL.
constexpr uint64_t kOptionsAll = SSL_OP_CRYPTOPRO_TLSEXT_BUG | SSL_OP_DONT_INSERT_EMPTY_FRAGMENTS |
                                 SSL_OP_SAFARI_ECDHE_ECDSA_BUG | SSL_OP_TLSEXT_PADDING |
                                 SSL_OP_LEGACY_SERVER_CONNECT;
static_assert(kOptionsAll == 0x80000854, "every context keeps the options it always had");
// SSL 3 to TLS 1.3: the version options that the open flags select or clear.
constexpr uint64_t kVersionOptions =
    SSL_OP_NO_SSLv3 | SSL_OP_NO_TLSv1 | SSL_OP_NO_TLSv1_1 | SSL_OP_NO_TLSv1_2 | SSL_OP_NO_TLSv1_3;
static_assert(kVersionOptions == 0x3E000000, "the version options are SSL 3 to TLS 1.3");

constexpr int32_t kFlagNoSSLv3 = 0x2000;
constexpr int32_t kFlagMinTLS11 = 0x4000;
constexpr int32_t kFlagMinTLS12 = 0x8000;
constexpr int32_t kFlagNoTLS12 = 0x10000 | 0x80000;
constexpr int32_t kFlagNoTLS13 = 0x20000;
constexpr int32_t kFlagNoTLS10 = 0x40000;

// What read-ahead asks of the socket at once: one piece of the stream's receive.
constexpr size_t kReadAheadBuffer = 32768;

// The version options that the open flags ask for.
uint64_t versionOptions(int32_t flags) {
  uint64_t options = 0;
  if (flags & kFlagMinTLS12) {
    options = SSL_OP_NO_SSLv3 | SSL_OP_NO_TLSv1 | SSL_OP_NO_TLSv1_1;
  } else if (flags & kFlagMinTLS11) {
    options = SSL_OP_NO_SSLv3 | SSL_OP_NO_TLSv1;
  } else if (flags & kFlagNoSSLv3) {
    options = SSL_OP_NO_SSLv3;
  }
  if (flags & kFlagNoTLS12) options |= SSL_OP_NO_TLSv1_2;
  if (flags & kFlagNoTLS13) options |= SSL_OP_NO_TLSv1_3;
  if (flags & kFlagNoTLS10) options |= SSL_OP_NO_TLSv1;
  return options;
}

void applyOptions(SSL_CTX* context, int32_t flags) {
  uint64_t versions = versionOptions(flags);
  SSL_CTX_set_options(context, kOptionsAll | versions);
  SSL_CTX_clear_options(context, kVersionOptions & ~versions);
  SSL_CTX_set_read_ahead(context, 1);
  // Read-ahead fills a buffer of this size per socket read: a piece, several records at once.
  SSL_CTX_set_default_read_buffer_len(context, kReadAheadBuffer);
}

void setText(PA_Unistring* out, const char* utf8) {
  DecodedChars units = convertToUnicode(utf8 != nullptr ? utf8 : "", -1, kCharSetUTF8);
  PA_SetUnistring(out, units.chars);
}

struct OpenSSLFree {
  void operator()(char* text) const { OPENSSL_free(text); }
};

}  // namespace

void ContextFree::operator()(SSL_CTX* context) const { SSL_CTX_free(context); }

void ConnectionFree::operator()(SSL* ssl) const { SSL_free(ssl); }

bool setUpClientTLS(TCPGlob* stream, int32_t flags) {
  stream->kind = kKindTLS;
  stream->ctx.reset(SSL_CTX_new(TLS_client_method()));
  if (stream->ctx == nullptr) return false;
  applyOptions(stream->ctx.get(), flags);
  return attachConnection(stream);
}

bool setUpServerTLS(TCPGlob* stream, int32_t flags, int32_t serverNameKey) {
  stream->kind = kKindTLS;
  stream->listenFlags = flags;
  bool byName = (flags & (kStreamFlagSNI | kStreamFlagSNIStrict)) != 0;
  if (byName) takeServerNameContext(stream, serverNameKey);
  if (stream->ctx == nullptr) stream->ctx.reset(SSL_CTX_new(TLS_server_method()));
  if (stream->ctx == nullptr) return false;
  installServerNameCallback(stream->ctx.get(), byName);
  applyOptions(stream->ctx.get(), flags);
  SSL_CTX_set_cipher_list(stream->ctx.get(), kDefaultCipherList);
  ERR_clear_error();
  SSL_CTX_set_read_ahead(stream->ctx.get(), 1);
  if (!attachConnection(stream)) return false;
  if (!stream->hasCertificate) loadDefaultCertificate(stream);
  return true;
}

void applyErrorQueue(TCPGlob* stream) {
  unsigned long code = ERR_get_error();
  if (code != 0) stream->lastTLSError = static_cast<uint32_t>(code);
  ERR_clear_error();
}

void freeTLSState() {
  freeSocketMethod();
  freeServerNameMap();
}

int32_t sslSetCiphers(TCPGlob* stream, const PA_Unistring& list) {
  TLSGuard guard(stream);
  if (stream->kind != kKindTLS || stream->ssl == nullptr) return -2;
  ERR_clear_error();
  int32_t result = 0;
  if (list.fLength <= 0) {
    SSL_set_cipher_list(stream->ssl.get(), kDefaultCipherList);
  } else {
    EncodedChars names = convertToChars(list.fString, list.fLength, kCharSetUTF8);
    if (names.chars == nullptr || SSL_set_cipher_list(stream->ssl.get(), names.chars) != 1)
      result = -3;
  }
  applyErrorQueue(stream);
  return result;
}

void sslGetVersion(PA_Unistring* out) { setText(out, OpenSSL_version(OPENSSL_VERSION)); }

int32_t sslGetStreamInfo(TCPGlob* stream, PA_Unistring* version, PA_Unistring* cipher,
                         int32_t& bits, PA_Unistring* peer) {
  TLSGuard guard(stream);
  if (stream->kind != kKindTLS) return -2;
  if (mapStatus(stream, kPollOnly) != kStreamEstablished) return -3;
  if (stream->ssl == nullptr) return -3;
  ERR_clear_error();
  setText(version, SSL_get_version(stream->ssl.get()));
  applyErrorQueue(stream);
  const SSL_CIPHER* current = SSL_get_current_cipher(stream->ssl.get());
  setText(cipher, current != nullptr ? SSL_CIPHER_get_name(current) : "");
  bits = current != nullptr ? SSL_CIPHER_get_bits(current, nullptr) : 0;
  unique_x509 certificate(SSL_get1_peer_certificate(stream->ssl.get()));
  std::unique_ptr<char, OpenSSLFree> subject;
  if (certificate) {
    subject.reset(X509_NAME_oneline(X509_get_subject_name(certificate.get()), nullptr, 0));
  }
  setText(peer, subject.get());
  return 0;
}

int32_t sslGetError(TCPGlob* stream, PA_Unistring* out) {
  TLSGuard guard(stream);
  if (stream->kind != kKindTLS || stream->lastTLSError == 0) {
    setText(out, "");
    return 0;
  }
  char text[256];
  ERR_error_string_n(stream->lastTLSError, text, sizeof text);
  setText(out, text);
  return static_cast<int32_t>(stream->lastTLSError);
}

}  // namespace tcp
