// Quoted-printable (RFC 2045): bytes outside printable ASCII become "=" and two hex digits.
$mail:=ZUV_Text2QP("café"; 0)
$mail
//> caf=C3=A9
ZUV_QP2Text($mail)
//> café
