// Digests and checksums over texts and BLOBs, in lower-case hexadecimal. Algorithms: 1 SHA-1,
// 4 MD4, 5 MD5, 10 RIPEMD-160, 100 CRC-32, 101 Adler-32. The vectors are RFC 1321's and
// FIPS 180's for "abc".
$id:=ZUV_DigestInit(5)
ZUV_DigestAddText($id; "abc"; 1)
ZUV_DigestFinal($id; 1)
//> 900150983cd24fb0d6963f7d28e17f72
// Data may come in pieces, texts and BLOBs mixed: the digest is that of all bytes in order.
$id:=ZUV_DigestInit(1)
ZUV_DigestAddText($id; "a"; 1)
TEXT TO BLOB("bc"; $blob)
ZUV_DigestAddBlob($id; $blob)
ZUV_DigestFinal($id; 1)
//> a9993e364706816aba3e25717850c26c9cd0d89d
$id:=ZUV_DigestInit(100)
ZUV_DigestAddText($id; "abc"; 1)
ZUV_DigestFinal($id; 1)
//> 352441c2
