// The handlers of the records and BLOBs commands: ZUV_BlobSearch and ZUV_BlobReplace look for
// the bytes of a text in a BLOB and replace them in place (blobs.h); ZUV_Record2Blob and
// ZUV_Blob2Record pass a table's current record to and from a BLOB through the host (db.h).

#include "commands/zuv_commands.h"
#include "commands/zuv_transfers_common.h"
#include "services/blobs.h"
#include "services/db.h"
#include "text/conversion.h"

namespace {

// Reads the parameters in the order p1, offset, pattern, (replacement), count, switch; writes the
// count parameter (the number of matches found or replacements made) and the result (the offset
// of the last of them, in the BLOB as changed; -1 when there is none; kInexactText for a
// replacement that the character set cannot hold exactly).
void blobSearchAndReplace(PluginBlock* block, bool replace) {
  HostHandle blob = PA_GetBlobHandleParameter(block, 1);
  const int32_t offset = PA_GetLongParameter(block, 2);
  const PA_Unistring* patternText = PA_GetStringParameter(block, 3);
  const PA_Unistring* replacementText = replace ? PA_GetStringParameter(block, 4) : nullptr;
  const int countIndex = replace ? 5 : 4;
  const int32_t countIn = PA_GetLongParameter(block, countIndex);
  const int32_t charsetSwitch = PA_GetLongParameter(block, countIndex + 1);

  const blobs::Found found =
      blobs::searchAndReplace(blob, offset, *patternText, replacementText, countIn, charsetSwitch);
  PA_SetLongParameter(block, countIndex, found.count);
  PA_ReturnLong(block, found.inexact ? kInexactText : static_cast<int32_t>(found.last));
}

}  // namespace

void handleBlobSearch(PluginBlock* block) { blobSearchAndReplace(block, false); }

void handleBlobReplace(PluginBlock* block) { blobSearchAndReplace(block, true); }

void handleRecord2Blob(PluginBlock* block) {
  const int32_t table = PA_GetLongParameter(block, 1);
  HostHandle blob = PA_GetBlobHandleParameter(block, 2);
  unique_handle image;
  const int32_t result = db::recordToBlob(table, blob, image);
  if (blob == nullptr) PA_SetBlobHandleParameter(block, 2, image.release());
  PA_ReturnLong(block, result);
}

void handleBlob2Record(PluginBlock* block) {
  HostHandle blob = PA_GetBlobHandleParameter(block, 1);
  PA_ReturnLong(block, db::blobToRecord(blob, PA_GetLongParameter(block, 2)));
}
