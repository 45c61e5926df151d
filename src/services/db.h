// Records and BLOBs: a 4D table's current record copied into a BLOB and a BLOB given back to the
// host as a table's current record, for ZUV_Record2Blob and ZUV_Blob2Record. The host does the
// work through its entries -26 and -27; the BLOB holds the host's own image of a record, which
// the plug-in never reads. Nothing is kept between calls.
#pragma once

#include "4DPluginAPI.h"

namespace db {

// p1 longint table number (its low 16 bits reach the host), p2 BLOB (in/out): replaced by the
// image of the table's current record; a BLOB that has a handle keeps it. Answers the host's
// error code, 0 on success; on an error p2 ends empty.
void recordToBlob(PluginBlock* block);
// p1 BLOB, the record image; p2 longint table number. Answers -1 when p1 holds no handle (the
// host is not called), else the host's error code, 0 on success. The BLOB is not changed.
void blobToRecord(PluginBlock* block);

}  // namespace db
