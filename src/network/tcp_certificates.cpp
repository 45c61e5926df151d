// Certificate, key and chain files: read whole without blocking, parsed as PEM or DER, loaded
// into a stream's connection and checked against each other, and the default certificate that
// TLS listeners without one of their own load.
//
// The default is process-wide without a lock: it changes only inside ZUV_SSLSetCertificate, which
// does not yield.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include "network/tcp.h"
#include "network/tcp_internal.h"

namespace tcp {

namespace {

// The certificate that TLS listeners without one of their own load: files checked when they were
// set, kept whole (paths and pass phrase of any length).
struct DefaultCertificate {
  std::string certificate;
  std::string privateKey;
  std::string passPhrase;
  std::string chain;
};

DefaultCertificate sDefaults;

void copyCut(char* to, size_t capacity, const char* from) {
  std::snprintf(to, capacity, "%s", from != nullptr ? from : "");
}

bool isEmpty(const char* text) { return text == nullptr || *text == '\0'; }

const char* orEmpty(const char* text) { return text != nullptr ? text : ""; }

struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
using unique_bio = std::unique_ptr<BIO, BioFree>;

unique_bio memoryOf(const std::string& bytes) {
  return unique_bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
}

// Queues a system error as the library does for a file it cannot open.
bool fileRefused(int error) {
  ERR_raise(ERR_LIB_SYS, error);
  return false;
}

// Where the errors of a load go: the stream's last error, or nowhere for the defaults.
void recordErrors(TCPGlob* stream) {
  if (stream != nullptr) {
    applyErrorQueue(stream);
  } else {
    ERR_clear_error();
  }
}

// The key from the key file, or else from the certificate file (one PEM file may hold both), each
// tried as PEM, then DER. A success drops what the failed tries queued, so that only a failed load
// leaves its errors for the stream.
void loadPrivateKey(SSL* ssl, const char* certificate, const char* privateKey,
                    const char* passPhrase) {
  for (const char* path : {privateKey, certificate}) {
    std::string bytes;
    if (!readCertificateFile(path, bytes)) continue;
    unique_pkey key = parsePrivateKey(bytes, true, passPhrase);
    if (key && SSL_use_PrivateKey(ssl, key.get()) == 1) {
      ERR_clear_error();
      return;
    }
  }
}

// The certificate from its file, or else from the key file, put in place with no chain yet; null
// when neither holds one.
unique_x509 loadCertificate(SSL* ssl, const char* certificate, const char* privateKey) {
  for (const char* path : {certificate, privateKey}) {
    std::string bytes;
    if (!readCertificateFile(path, bytes)) continue;
    unique_x509 leaf = parseCertificate(bytes, true);
    if (leaf && SSL_use_certificate(ssl, leaf.get()) == 1) {
      SSL_clear_chain_certs(ssl);
      ERR_clear_error();
      return leaf;
    }
  }
  return nullptr;
}

// The chain file's certificates go after the leaf, the leaf itself left out (a chain file may
// begin with it). Without a leaf, the chain's first certificate is the leaf.
bool loadChain(SSL* ssl, const char* chain, X509* leaf) {
  std::vector<unique_x509> certificates;
  if (!readChain(chain, certificates)) return false;
  if (leaf == nullptr) {
    leaf = certificates.front().get();
    if (SSL_use_certificate(ssl, leaf) != 1) return false;
  }
  SSL_clear_chain_certs(ssl);
  for (const unique_x509& certificate : certificates) {
    if (X509_cmp(certificate.get(), leaf) == 0) continue;
    if (SSL_add1_chain_cert(ssl, certificate.get()) != 1) return false;
  }
  return true;
}

// Loads key, certificate and chain into a connection and checks that they belong together: 0,
// -3 no certificate (or the chain did not load), -4 no key or not the certificate's. The
// library's errors go to the stream, when there is one.
int32_t loadCertificateFiles(SSL* ssl, TCPGlob* stream, const char* certificate,
                             const char* privateKey, const char* passPhrase, const char* chain) {
  PKCS5_PBE_add();
  PKCS12_PBE_add();
  ERR_clear_error();
  loadPrivateKey(ssl, certificate, privateKey, orEmpty(passPhrase));
  recordErrors(stream);
  EVP_PBE_cleanup();
  unique_x509 leaf = loadCertificate(ssl, certificate, privateKey);
  bool loaded = leaf != nullptr;
  // The chain's first certificate is the leaf only when no certificate was named.
  if (!isEmpty(chain))
    loaded = (loaded || isEmpty(certificate)) && loadChain(ssl, chain, leaf.get());
  recordErrors(stream);
  if (!loaded) return -3;
  int check = SSL_check_private_key(ssl);
  recordErrors(stream);
  return check == 1 ? 0 : -4;
}

// A connection of its own, on a new context, where one call's files are loaded and checked
// before any of them reaches a stream or the default: what a call that fails half-way loaded
// stays there. It judges certificates at the security level of the stream's connection (which
// a cipher list may have set), or at the library's for the default.
struct CheckingConnection {
  unique_ctx context;
  unique_ssl ssl;
};

CheckingConnection checkingConnection(const SSL* like) {
  CheckingConnection made;
  made.context.reset(SSL_CTX_new(TLS_server_method()));
  if (made.context) made.ssl.reset(SSL_new(made.context.get()));
  if (made.ssl && like != nullptr)
    SSL_set_security_level(made.ssl.get(), SSL_get_security_level(like));
  return made;
}

// Loads the files into a checking connection: the code of loadCertificateFiles, or -3 when the
// connection cannot be made.
int32_t checkCertificateFiles(CheckingConnection& checking, TCPGlob* stream,
                              const char* certificate, const char* privateKey,
                              const char* passPhrase, const char* chain) {
  if (!checking.ssl) return -3;
  return loadCertificateFiles(checking.ssl.get(), stream, certificate, privateKey, passPhrase,
                              chain);
}

// Puts the certificate, key and chain that a checking connection holds on a stream's connection
// in one step of the library, which changes nothing when it refuses them: they take the place of
// the stream's earlier ones (of the same key type), its earlier chain included.
bool adoptCertificate(SSL* ssl, SSL* checked) {
  X509* leaf = SSL_get_certificate(checked);
  EVP_PKEY* key = SSL_get_privatekey(checked);
  STACK_OF(X509)* chain = nullptr;
  SSL_get0_chain_certs(checked, &chain);
  return leaf != nullptr && key != nullptr && SSL_use_cert_and_key(ssl, leaf, key, chain, 1) == 1;
}

// Loads the files into a connection of their own to check them, and keeps them as the default
// only when they load; an earlier default stays otherwise. No path at all clears the default.
int32_t setDefaultCertificate(const char* certificate, const char* privateKey,
                              const char* passPhrase, const char* chain) {
  if (isEmpty(certificate) && isEmpty(privateKey) && isEmpty(chain)) {
    sDefaults = DefaultCertificate{};
    return 0;
  }
  CheckingConnection checking = checkingConnection(nullptr);
  int32_t result =
      checkCertificateFiles(checking, nullptr, certificate, privateKey, passPhrase, chain);
  ERR_clear_error();
  if (result == 0) {
    sDefaults = DefaultCertificate{orEmpty(certificate), orEmpty(privateKey), orEmpty(passPhrase),
                                   orEmpty(chain)};
  }
  return result;
}

}  // namespace

int sPem_passwd_cb(char* buffer, int size, int, void* userData) {
  if (userData == nullptr || buffer == nullptr || size <= 0) return -1;
  copyCut(buffer, static_cast<size_t>(size), static_cast<const char*>(userData));
  return static_cast<int>(std::strlen(buffer));
}

int32_t sslSetCert(TCPGlob* stream, const char* certificate, const char* privateKey,
                   const char* passPhrase, const char* chain) {
  randAdd();
  if (stream == nullptr) return setDefaultCertificate(certificate, privateKey, passPhrase, chain);
  TLSGuard guard(stream);
  if (stream->kind != kKindTLS || stream->ssl == nullptr) return -2;
  // Checked apart first, so that a call that fails leaves the stream as it was: the certificate,
  // key and chain of an earlier call go on serving, and a file of the failed call never pairs
  // with one of an earlier call.
  CheckingConnection checking = checkingConnection(stream->ssl.get());
  int32_t result =
      checkCertificateFiles(checking, stream, certificate, privateKey, passPhrase, chain);
  if (result != 0) return result;
  ERR_clear_error();
  bool adopted = adoptCertificate(stream->ssl.get(), checking.ssl.get());
  applyErrorQueue(stream);
  if (!adopted) return -3;
  stream->hasCertificate = true;
  return 0;
}

bool readCertificateFile(const char* path, std::string& bytes) {
  bytes.clear();
  if (isEmpty(path)) return false;
  unique_fd file(::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (file.get() < 0) return fileRefused(errno);
  struct stat info {};
  if (fstat(file.get(), &info) != 0) return fileRefused(errno);
  if (S_ISDIR(info.st_mode)) return fileRefused(EISDIR);
  if (!S_ISREG(info.st_mode)) return fileRefused(EINVAL);
  if (info.st_size > kMaxCertificateFile) return fileRefused(EFBIG);
  // The file may grow meanwhile: what it holds past the limit refuses it too.
  char buffer[16384];
  for (;;) {
    ssize_t got = ::read(file.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return fileRefused(errno);
    if (got == 0) return true;
    if (static_cast<int64_t>(bytes.size()) + got > kMaxCertificateFile) {
      bytes.clear();
      return fileRefused(EFBIG);
    }
    bytes.append(buffer, static_cast<size_t>(got));
  }
}

unique_pkey parsePrivateKey(const std::string& bytes, bool derToo, const char* passPhrase) {
  unique_bio pem = memoryOf(bytes);
  if (!pem) return nullptr;
  unique_pkey key(PEM_read_bio_PrivateKey(pem.get(), nullptr, sPem_passwd_cb,
                                          const_cast<char*>(orEmpty(passPhrase))));
  if (key || !derToo) return key;
  unique_bio der = memoryOf(bytes);
  if (der) key.reset(d2i_PrivateKey_bio(der.get(), nullptr));
  return key;
}

unique_x509 parseCertificate(const std::string& bytes, bool derToo) {
  unique_bio pem = memoryOf(bytes);
  if (!pem) return nullptr;
  unique_x509 certificate(PEM_read_bio_X509(pem.get(), nullptr, nullptr, nullptr));
  if (certificate || !derToo) return certificate;
  unique_bio der = memoryOf(bytes);
  if (der) certificate.reset(d2i_X509_bio(der.get(), nullptr));
  return certificate;
}

bool readChain(const char* path, std::vector<unique_x509>& certificates) {
  std::string bytes;
  if (!readCertificateFile(path, bytes)) return false;
  unique_bio pem = memoryOf(bytes);
  if (!pem) return false;
  while (X509* certificate = PEM_read_bio_X509(pem.get(), nullptr, nullptr, nullptr)) {
    certificates.emplace_back(certificate);
  }
  // The end of the file shows as a missing start line; any other error is a certificate that
  // does not read.
  unsigned long error = ERR_peek_last_error();
  bool ended = ERR_GET_LIB(error) == ERR_LIB_PEM && ERR_GET_REASON(error) == PEM_R_NO_START_LINE;
  if (!ended || certificates.empty()) return false;
  ERR_clear_error();
  return true;
}

void loadDefaultCertificate(TCPGlob* stream) {
  sslSetCert(stream, sDefaults.certificate.c_str(), sDefaults.privateKey.c_str(),
             sDefaults.passPhrase.c_str(), sDefaults.chain.c_str());
}

}  // namespace tcp
