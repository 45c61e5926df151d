// The TLS commands: a stream's TLS details and last error, its certificate and ciphers, the
// default certificate of the TLS listeners made later, and the server-name certificate map. Each
// reads its parameters, looks its stream up in the stream table, calls one function of the TLS
// layer and stores what comes back. The commands that work on a stream hold it with the busy
// counter, although the TLS layer never waits inside a library call, so that no release from
// another 4D process can free the record under them.

#include <initializer_list>
#include <string>

#include <unicode/unistr.h>

#include "4DPluginAPI.h"
#include "4DPluginAPI_variables.h"
#include "commands/zuv_commands.h"
#include "files/file_io.h"
#include "network/tcp.h"
#include "plugin/parameters.h"
#include "plugin/streams.h"
#include "text/conversion.h"

namespace {

constexpr int32_t kBadStream = -1;
constexpr int32_t kCertificateNotLoaded = -3;
constexpr int32_t kKeyNotLoaded = -4;
constexpr PA_Unichar kEmptyText[1] = {0};

// A certificate, key or chain file's path parameter as the UTF-8 POSIX path that the TLS layer
// opens, empty for none. False for a path that names no file (U+0000 in it, one that cannot be
// converted, or one whose UTF-8 bytes the host could not make): the command then answers before
// anything is loaded.
bool pathParameter(PluginBlock* block, int index, std::string& utf8) {
  icu::UnicodeString path;
  utf8.clear();
  switch (platformPathParameter(block, index, path)) {
    case PathParameter::kEmpty:
      return true;
    case PathParameter::kRefused:
      return false;
    case PathParameter::kRead:
      break;
  }
  EncodedChars bytes = utf8Path(path);
  // An empty path here would read as no path: the chain left out, the key taken from the
  // certificate file.
  if (bytes.chars == nullptr || bytes.length <= 0) return false;
  utf8.assign(bytes.chars, static_cast<size_t>(bytes.length));
  return true;
}

// A path parameter of a certificate, key or chain, where its UTF-8 path goes, and what the
// command answers when it is refused: what it answers when that file does not load.
struct CertificatePath {
  int index;
  std::string* utf8;
  int32_t refused;
};

// Reads the paths in the order given, the order in which the command loads its files: 0, or the
// code of the first path refused.
int32_t readCertificatePaths(PluginBlock* block, std::initializer_list<CertificatePath> paths) {
  for (const CertificatePath& path : paths) {
    if (!pathParameter(block, path.index, *path.utf8)) return path.refused;
  }
  return 0;
}

// The texts of a server-name list: only the elements the resize made are filled (a refused
// resize leaves fewer), and a text the array did not take is disposed.
void fillServerNames(PA_Variable* keys, PA_Variable* names, int32_t n) {
  int32_t keyCount = PA_GetArrayNbElements(*keys);
  int32_t nameCount = PA_GetArrayNbElements(*names);
  const char* domain = nullptr;
  for (int32_t i = 1; i <= n; ++i) {
    int32_t key = tcp::sslGetSNIDomain(i == 1, domain);
    if (key == -1) break;
    if (i <= keyCount && keys->fType == kVariableLongintArray) {
      PA_SetLongintInArray(*keys, i, key);
    } else if (i <= keyCount) {
      PA_SetIntegerInArray(*keys, i, static_cast<int16_t>(key));
    }
    if (i > nameCount) continue;
    DecodedChars units = convertToUnicode(domain, -1, kCharSetUTF8);
    PA_Unistring text = PA_CreateUnistring(units.chars);
    PA_SetStringInArray(*names, i, &text);
  }
}

}  // namespace

// ZUV_SSLStreamInfo: the library's version for stream 0; else a TLS connection's protocol,
// cipher, secret bits and peer subject: 0, -1 bad id, -2 not TLS, -3 not established.
void handleSSLStreamInfo(PluginBlock* block) {
  int32_t id = PA_GetLongParameter(block, 1);
  if (id == 0) {
    tcp::sslGetVersion(PA_GetStringParameter(block, 2));
    PA_SetUnistring(PA_GetStringParameter(block, 3), kEmptyText);
    PA_SetUnistring(PA_GetStringParameter(block, 5), kEmptyText);
    PA_SetLongParameter(block, 4, 0);
    return PA_ReturnLong(block, 0);
  }
  streams::BusyStream held(id);
  int32_t bits = 0;
  int32_t result = kBadStream;
  if (held.stream() != nullptr) {
    result = tcp::sslGetStreamInfo(held.stream(), PA_GetStringParameter(block, 2),
                                   PA_GetStringParameter(block, 3), bits,
                                   PA_GetStringParameter(block, 5));
  }
  PA_SetLongParameter(block, 4, bits);
  PA_ReturnLong(block, result);
}

// ZUV_SSLSetCertificate: a stream's certificate, key, pass phrase and chain, or (stream 0) the
// default of TLS listeners made later, checked as a stream's: 0, -1 bad id, -2 not TLS, -3
// certificate or chain not loaded, -4 key not loaded or not matching (a default that fails
// leaves the earlier one).
void handleSSLSetCertificate(PluginBlock* block) {
  int32_t id = PA_GetLongParameter(block, 1);
  streams::BusyStream held(id);
  if (id != 0 && held.stream() == nullptr) return PA_ReturnLong(block, kBadStream);
  std::string certificate;
  std::string privateKey;
  std::string chain;
  // Without a certificate nothing else counts, so a refused certificate or chain answers first.
  if (int32_t refused = readCertificatePaths(block, {{2, &certificate, kCertificateNotLoaded},
                                                     {5, &chain, kCertificateNotLoaded},
                                                     {3, &privateKey, kKeyNotLoaded}})) {
    return PA_ReturnLong(block, refused);
  }
  std::string passPhrase = utf8Parameter(block, 4);
  PA_ReturnLong(block, tcp::sslSetCert(held.stream(), certificate.c_str(), privateKey.c_str(),
                                       passPhrase.c_str(), chain.c_str()));
}

// ZUV_SSLLastError: the stream's last TLS library error and its text, or 0 and the empty text.
void handleSSLLastError(PluginBlock* block) {
  tcp::TCPGlob* stream = streams::lookUp(PA_GetLongParameter(block, 1));
  if (stream == nullptr) return PA_ReturnLong(block, kBadStream);
  PA_ReturnLong(block, tcp::sslGetError(stream, PA_GetStringParameter(block, 2)));
}

// ZUV_SSLSetCiphers: 0, -1 bad id, -2 not TLS, -3 a list the library refuses.
void handleSSLSetCiphers(PluginBlock* block) {
  streams::BusyStream held(PA_GetLongParameter(block, 1));
  if (held.stream() == nullptr) return PA_ReturnLong(block, kBadStream);
  PA_Unistring* list = PA_GetStringParameter(block, 2);
  PA_Unistring none{};
  PA_ReturnLong(block, tcp::sslSetCiphers(held.stream(), list != nullptr ? *list : none));
}

// ZUV_SSLSetSNICertificate: adds, replaces or removes the server-name entry of key p1 (-1 empties
// the map).
void handleSSLSetSNICertificate(PluginBlock* block) {
  std::string domain = utf8Parameter(block, 2);
  std::string certificate;
  std::string privateKey;
  std::string chain;
  // An entry loads its key first. A refused path leaves the map as it was.
  if (int32_t refused = readCertificatePaths(block, {{4, &privateKey, kKeyNotLoaded},
                                                     {3, &certificate, kCertificateNotLoaded},
                                                     {6, &chain, kCertificateNotLoaded}})) {
    return PA_ReturnLong(block, refused);
  }
  std::string passPhrase = utf8Parameter(block, 5);
  PA_ReturnLong(
      block, tcp::sslSetSNICert(PA_GetLongParameter(block, 1), domain.c_str(), certificate.c_str(),
                                privateKey.c_str(), passPhrase.c_str(), chain.c_str()));
}

// ZUV_SSLSNIList: the map's keys (integer or longint array) and names in ascending key order;
// the number of entries, or -1 for arrays of other kinds (both then unchanged).
void handleSSLSNIList(PluginBlock* block) {
  PA_Variable* keys = arrayParameter(block, 1);
  PA_Variable* names = arrayParameter(block, 2);
  bool keyKind = keys->fType == kVariableIntegerArray || keys->fType == kVariableLongintArray;
  if (!keyKind || names->fType != kVariableTextArray) return PA_ReturnLong(block, -1);
  int32_t n = tcp::sslGetSNIMapSize();
  PA_ResizeArray(keys, n);
  PA_ResizeArray(names, n);
  if (n > 0) fillServerNames(keys, names, n);
  PA_ReturnLong(block, n);
}
