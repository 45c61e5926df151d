// Percent-encoding for URLs and forms. Mode 0 writes a space as "+" and escapes everything
// below "0"; mode 1 escapes the space and keeps the punctuation of a path.
ZUV_Text2URL("a b/ü"; 0)
//> a+b%2F%C3%BC
ZUV_Text2URL("a b/ü"; 1)
//> a%20b/%C3%BC
// Decoding in mode 0 turns "+" back into a space.
ZUV_URL2Text("a+b%2F%C3%BC"; 0)
//> a b/ü
