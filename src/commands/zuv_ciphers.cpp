// The handlers of the cipher commands: ZUV_EncryptText, ZUV_DecryptText, ZUV_EncryptBlob,
// ZUV_DecryptBlob, ZUV_Rot13Text and ZUV_Rot13Blob (crypto.h).

#include "commands/zuv_commands.h"
#include "services/crypto.h"

void handleRot13Text(PluginBlock* block) { crypto::rotate13Text(block); }
void handleRot13Blob(PluginBlock* block) { crypto::rotate13Blob(block); }
void handleEncryptText(PluginBlock* block) { crypto::encryptText(block); }
void handleDecryptText(PluginBlock* block) { crypto::decryptText(block); }
void handleEncryptBlob(PluginBlock* block) { crypto::encryptBlob(block); }
void handleDecryptBlob(PluginBlock* block) { crypto::decryptBlob(block); }
