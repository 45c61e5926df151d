// BLOB search and replace, for ZUV_BlobSearch and ZUV_BlobReplace: the bytes of a text, in UTF-8
// or host character set 100, looked for in a BLOB and replaced in place. Nothing is kept between
// calls and nothing here yields.
//
// The BLOB is searched as a zero-terminated byte string, from the offset up to its first zero
// byte: the scan is bounded by the BLOB's size and that zero byte, so no terminator is added to
// it and a BLOB of 2,147,483,647 bytes is searched as any other. A pattern whose bytes are empty
// or hold a zero byte can never match under that rule and matches nothing.
//
// Every operation is one pass over the BLOB, whatever the number of matches: a replacement of
// the same length writes over each match; a shorter one moves the bytes between matches towards
// the start as it goes and shrinks the BLOB once; a longer one marks the matches, grows the BLOB
// once and fills it from the end backwards.
#pragma once

#include <cstdint>

#include "4DPluginAPI.h"
#include "text/conversion.h"

namespace blobs {

// What a search or a replacement found: the number of matches (or replacements made) and the
// offset of the last one, in the BLOB as it is afterwards; -1 when there is none. Inexact: a
// replacement that the character set cannot hold exactly, for which nothing was replaced.
struct Found {
  int32_t count = 0;
  int64_t last = -1;
  bool inexact = false;
};

// Looks for up to `count` matches of the pattern's bytes (one for a count of 0) from the offset
// on, left to right and never overlapping, and replaces each by the replacement's bytes unless
// the replacement is null (a search). The bytes are UTF-8 when charsetSwitch is not 0, else host
// character set 100. Nothing is searched, and the BLOB stays as it is, for an offset outside the
// BLOB, an empty pattern, a pattern whose bytes are empty or hold a zero byte, a pattern or
// replacement that the character set cannot hold exactly, a negative count, a replacement whose
// conversion the host refused, or memory that runs out.
Found searchAndReplace(HostHandle blob, int32_t offset, const PA_Unistring& pattern,
                       const PA_Unistring* replacement, int32_t count, int32_t charsetSwitch);

}  // namespace blobs
