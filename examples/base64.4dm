// Base64 (RFC 2045) with and without padding, and back. Each "//>" line shows what the
// statement above it prints.
ZUV_Text2Base64("hello"; 1)
//> aGVsbG8=
ZUV_Text2Base64("hello"; 0)
//> aGVsbG8
// A text is encoded as its UTF-8 bytes.
$encoded:=ZUV_Text2Base64("Grüße"; 1)
$encoded
//> R3LDvMOfZQ==
ZUV_Base642Text($encoded)
//> Grüße
