// Records and BLOBs: a 4D table's current record copied into a BLOB and a BLOB given back to the
// host as a table's current record, for ZUV_Record2Blob and ZUV_Blob2Record. The host does the
// work through its entries -26 and -27; the BLOB holds the host's own image of a record, which
// the plug-in never reads. Nothing is kept between calls.
#pragma once

#include <cstdint>

#include "4DPluginAPI.h"
#include "text/conversion.h"

namespace db {

// ZUV_Record2Blob: the table number's low 16 bits reach the host. `image` then holds the image of
// the table's current record (null when the host gave none); a BLOB with a handle (non-null blob)
// keeps that handle and takes the image's bytes, a BLOB without one is to take the image itself.
// Answers the host's error code, 0 on success; on an error the BLOB ends empty.
int32_t recordToBlob(int32_t table, HostHandle blob, unique_handle& image);
// ZUV_Blob2Record: the BLOB holds the record image. Answers -1 for a null handle (the host is
// not called), else the host's error code, 0 on success. The BLOB is not changed.
int32_t blobToRecord(HostHandle blob, int32_t table);

}  // namespace db
