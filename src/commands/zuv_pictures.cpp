// The handlers of the picture commands: the bodies in pictures.cpp read their own parameters.

#include "commands/zuv_commands.h"
#include "services/pictures.h"

void handlePictureInfo(PluginBlock* block) { pictures::getSize(block); }
void handlePicture2File(PluginBlock* block) { pictures::savePict(block); }
void handleFile2Picture(PluginBlock* block) { pictures::readPict(block); }
void handlePicture2Blob(PluginBlock* block) { pictures::pictToBlob(block); }
void handleBlob2Picture(PluginBlock* block) { pictures::blobToPict(block); }
