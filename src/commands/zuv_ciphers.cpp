// The handlers of the cipher commands: ZUV_EncryptText, ZUV_DecryptText, ZUV_EncryptBlob,
// ZUV_DecryptBlob, ZUV_Rot13Text and ZUV_Rot13Blob (crypto.h).

#include "commands/zuv_commands.h"
#include "plugin/parameters.h"
#include "services/crypto.h"

namespace {

using crypto::CipherParameters;
using crypto::EEncryptDecrypt;

// Parameters 2 to 5 of every cipher command: key, algorithm, mode and IV.
CipherParameters readCipherParameters(PluginBlock* block) {
  CipherParameters p;
  p.key = PA_GetStringParameter(block, 2);
  p.algorithm = PA_GetLongParameter(block, 3);
  p.mode = PA_GetLongParameter(block, 4);
  p.iv = PA_GetStringParameter(block, 5);
  return p;
}

PA_4DCharSet charsetOf(int32_t flag) { return flag != 0 ? kCharSetUTF8 : kCharSet100; }

int cryptBlob(PluginBlock* block, EEncryptDecrypt direction) {
  HostHandle handle = PA_GetBlobHandleParameter(block, 1);
  CipherParameters p = readCipherParameters(block);
  PA_4DCharSet charset = charsetOf(PA_GetLongParameter(block, 6));
  return crypto::doCryptBlob(handle, *p.key, *p.iv, p.algorithm, p.mode, direction, charset, false);
}

// The handle of BLOB parameter index, made empty; a new empty handle when the cell has none.
// Null when the host has no memory.
HostHandle emptyBlobParameter(PluginBlock* block, int index) {
  HostHandle handle = PA_GetBlobHandleParameter(block, index);
  if (handle != nullptr) return PA_SetHandleSize(handle, 0) ? handle : nullptr;
  HostHandle fresh = PA_NewHandle(0);
  if (fresh == nullptr) return nullptr;
  PA_SetBlobHandleParameter(block, index, fresh);
  return PA_GetBlobHandleParameter(block, index);
}

}  // namespace

void handleRot13Text(PluginBlock* block) {
  crypto::rotate13Text(*PA_GetStringParameter(block, 1), *resultText(block));
}

void handleRot13Blob(PluginBlock* block) {
  crypto::rotate13Blob(PA_GetBlobHandleParameter(block, 1));
}

void handleEncryptText(PluginBlock* block) {
  const PA_Unistring& text = *PA_GetStringParameter(block, 1);
  CipherParameters p = readCipherParameters(block);
  PA_4DCharSet charset = charsetOf(PA_GetLongParameter(block, 7));
  HostHandle out = emptyBlobParameter(block, 6);
  if (out == nullptr) return PA_ReturnLong(block, crypto::kNoMemory);
  PA_ReturnLong(block, crypto::encryptText(text, p, charset, out));
}

void handleDecryptText(PluginBlock* block) {
  HostHandle in = PA_GetBlobHandleParameter(block, 1);
  CipherParameters p = readCipherParameters(block);
  PA_Unistring* out = PA_GetStringParameter(block, 6);
  PA_4DCharSet charset = charsetOf(PA_GetLongParameter(block, 7));
  PA_ReturnLong(block, crypto::decryptText(in, p, charset, *out));
}

void handleEncryptBlob(PluginBlock* block) {
  PA_ReturnLong(block, cryptBlob(block, crypto::kEncrypt));
}

void handleDecryptBlob(PluginBlock* block) {
  PA_ReturnLong(block, cryptBlob(block, crypto::kDecrypt));
}
