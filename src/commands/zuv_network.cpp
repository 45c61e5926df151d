// The commands of listening streams, UDP sockets, TLS settings and details, the server-name
// certificate map and the status of many streams at once. Each reads its parameters, looks its
// stream up in the stream table, calls one function of the network layer and stores what comes
// back. A command that may yield while it holds a stream (a UDP wait) keeps it with the busy
// counter, so that a release from another 4D process answers -2 instead of freeing the record
// under it; the status polls and TLS calls keep it too, although they no longer yield (the TLS
// layer never waits inside a library call).

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
constexpr int32_t kStreamBusy = -2;
constexpr int32_t kCertificateNotLoaded = -3;
constexpr int32_t kKeyNotLoaded = -4;
constexpr PA_Unichar kEmptyText[1] = {0};

// A text parameter's UTF-8 bytes (the empty text for a missing one).
std::string utf8Parameter(PluginBlock* block, int index) {
  PA_Unistring* text = PA_GetStringParameter(block, index);
  if (text == nullptr || text->fLength <= 0) return {};
  EncodedChars bytes = convertToChars(text->fString, text->fLength, 7);
  return bytes.chars != nullptr ? std::string(bytes.chars, static_cast<size_t>(bytes.length))
                                : std::string();
}

// A certificate, key or chain file's path parameter as the UTF-8 POSIX path that the TLS layer
// opens, empty for none. False for a path that names no file (U+0000 in it, or one that cannot be
// converted): the command then answers before anything is loaded.
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
  if (bytes.chars != nullptr) utf8.assign(bytes.chars, static_cast<size_t>(bytes.length));
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

PA_Variable* arrayParameter(PluginBlock* block, int index) {
  return static_cast<PA_Variable*>(block->parameters[index - 1]);
}

tcp::TCPGlob* udpStream(tcp::TCPGlob* stream) {
  return stream != nullptr && stream->kind == tcp::kKindUDP ? stream : nullptr;
}

// Stores the sender of a UDP receive, 0 and 0 when none came.
void returnSender(PluginBlock* block, int32_t address, int32_t port) {
  PA_SetLongParameter(block, 3, address);
  PA_SetLongParameter(block, 4, port);
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
    DecodedChars units = convertToUnicode(domain, -1, 7);
    PA_Unistring text = PA_CreateUnistring(units.chars);
    PA_SetStringInArray(*names, i, &text);
  }
}

}  // namespace

// ---- Listening --------------------------------------------------------------------------------

// ZUV_TCPListen: the new listening stream's id; 0 when no stream listens or the table is full.
void handleTCPListen(PluginBlock* block) {
  int16_t port = PA_GetShortParameter(block, 3);
  int32_t bufferSize = PA_GetLongParameter(block, 4);
  int32_t flags = PA_GetLongParameter(block, 5);
  int32_t localAddress = PA_GetLongParameter(block, 7);
  int32_t serverNameKey = PA_GetLongParameter(block, 8);
  PA_ReturnLong(block,
                streams::add(tcp::listen(port, bufferSize, flags, localAddress, serverNameKey)));
}

// ZUV_TCPMultiStatus: the number of the first stream whose status reaches the threshold; -1 when
// none does, for arrays other than longint arrays and for an empty p1. Every stream is polled.
void handleTCPMultiStatus(PluginBlock* block) {
  PA_ReturnLong(block, -1);
  int32_t threshold = PA_GetLongParameter(block, 3);
  if (threshold <= 0) threshold = kStreamEstablished;
  PA_Variable* ids = arrayParameter(block, 1);
  PA_Variable* statuses = arrayParameter(block, 2);
  if (ids->fType != kVariableLongintArray || statuses->fType != kVariableLongintArray) return;
  int32_t count = PA_GetArrayNbElements(*ids);
  int32_t statusCount = PA_GetArrayNbElements(*statuses);
  if (count <= 0) return;
  int32_t answer = -1;
  for (int32_t i = 1; i <= count; ++i) {
    streams::BusyStream held(PA_GetLongintInArray(*ids, i));
    if (held.stream() == nullptr) continue;
    int32_t status = tcp::status(held.stream(), 0);
    if (i <= statusCount) PA_SetLongintInArray(*statuses, i, status);
    if (answer == -1 && status >= threshold) answer = i;
  }
  PA_ReturnLong(block, answer);
}

// ---- UDP --------------------------------------------------------------------------------------

// ZUV_UDPCreate: the new socket's id; 0 when no socket can be bound or the table is full.
void handleUDPCreate(PluginBlock* block) {
  PA_ReturnLong(block, streams::add(tcp::createUDP(PA_GetLongParameter(block, 1))));
}

// ZUV_UDPRelease: -1 for an id that names no UDP socket (a TCP or listening stream is released
// only by ZUV_TCPRelease), -2 while a receive of another process waits on it; else 0 or the
// errno of the close.
void handleUDPRelease(PluginBlock* block) {
  int32_t id = PA_GetLongParameter(block, 1);
  if (udpStream(streams::lookUp(id)) == nullptr) return PA_ReturnLong(block, kBadStream);
  if (streams::busy(id)) return PA_ReturnLong(block, kStreamBusy);
  PA_ReturnLong(block, tcp::releaseUDP(streams::remove(id)));
}

// ZUV_UDPSend: the text's UTF-8 bytes as one datagram: 0, -1 for a bad id or a failed send.
void handleUDPSend(PluginBlock* block) {
  tcp::TCPGlob* stream = udpStream(streams::lookUp(PA_GetLongParameter(block, 1)));
  if (stream == nullptr) return PA_ReturnLong(block, kBadStream);
  std::string bytes = utf8Parameter(block, 2);
  PA_ReturnLong(block, tcp::sendUDP(stream, bytes.data(), static_cast<int32_t>(bytes.size()),
                                    PA_GetLongParameter(block, 3), PA_GetLongParameter(block, 4)));
}

// ZUV_UDPReceive: 0 with a datagram's text and sender, -1 for a bad id, at the time-out or on an
// error (the text then empty, sender 0 and 0).
void handleUDPReceive(PluginBlock* block) {
  PA_Unistring* text = PA_GetStringParameter(block, 2);
  PA_DisposeUnistring(text);
  streams::BusyStream held(PA_GetLongParameter(block, 1));
  int32_t address = 0, port = 0;
  int32_t result = kBadStream;
  if (udpStream(held.stream()) != nullptr) {
    result = tcp::receiveUDP(held.stream(), text, address, port, PA_GetLongParameter(block, 6));
  }
  returnSender(block, address, port);
  PA_ReturnLong(block, result);
}

// ZUV_UDPMaxSize: 576.
void handleUDPMaxSize(PluginBlock* block) { PA_ReturnLong(block, tcp::getUDPMTUSize()); }

// ZUV_UDPSendBlob: the BLOB's bytes as one datagram; 0 without sending for an empty BLOB.
void handleUDPSendBlob(PluginBlock* block) {
  tcp::TCPGlob* stream = udpStream(streams::lookUp(PA_GetLongParameter(block, 1)));
  if (stream == nullptr) return PA_ReturnLong(block, kBadStream);
  HostHandle bytes = PA_GetBlobHandleParameter(block, 2);
  int32_t size = bytes != nullptr ? PA_GetHandleSize(bytes) : 0;
  if (size <= 0) return PA_ReturnLong(block, 0);
  int32_t address = PA_GetLongParameter(block, 3);
  int32_t port = PA_GetLongParameter(block, 4);
  unique_handle_lock locked(bytes);
  PA_ReturnLong(block, tcp::sendUDP(stream, locked.data(), size, address, port));
}

// ZUV_UDPReceiveBlob: as ZUV_UDPReceive, the datagram's bytes in the BLOB (which gets a handle of
// its own first when it has none).
void handleUDPReceiveBlob(PluginBlock* block) {
  HostHandle bytes = PA_GetBlobHandleParameter(block, 2);
  if (bytes == nullptr) {
    PA_SetBlobHandleParameter(block, 2, PA_NewHandle(0));
    bytes = PA_GetBlobHandleParameter(block, 2);
  }
  streams::BusyStream held(PA_GetLongParameter(block, 1));
  int32_t address = 0, port = 0;
  int32_t result = kBadStream;
  if (udpStream(held.stream()) != nullptr && bytes != nullptr) {
    result =
        tcp::receiveUDPBlob(held.stream(), bytes, address, port, PA_GetLongParameter(block, 6));
  }
  returnSender(block, address, port);
  PA_ReturnLong(block, result);
}

// ---- TLS --------------------------------------------------------------------------------------

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
