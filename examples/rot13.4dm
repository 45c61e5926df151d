// ROT13 rotates ASCII letters by 13 places; applied twice it gives the text back.
$secret:=ZUV_Rot13Text("Hello, World!")
$secret
//> Uryyb, Jbeyq!
ZUV_Rot13Text($secret)
//> Hello, World!
