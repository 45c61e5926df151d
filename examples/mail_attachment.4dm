// A file sent as a mail attachment in the Base64 form of MIME (RFC 2045): lines of 76
// characters ended by CR LF, the last one padded with "=". The Base64 filter (0x80) writes a
// whole transfer as one line without padding, which an HTTP body, a JSON text or a data URL
// takes but a mail does not (SMTP allows 1000 octets a line). So the method sends the file in
// ranges of 57 bytes, whose Base64 is exactly 76 characters, each under the filter, and sends
// each line end itself, with the padding before the last one. Each step prints what it checks.
// Needs: a mail server on 127.0.0.1; script/run-example starts one and sets $port.
$port:=2525
$crlf:="\r\n"
// The file: an order export, compressed with gzip, so its bytes are binary.
$csv:="item;quantity;price"+$crlf
For ($item; 1; 400)
  $csv:=$csv+"café crème "+String($item)+";"+String($item%7+1)+";"+String(3+($item%5))+".50"+$crlf
End for
TEXT TO BLOB($csv; $plain; UTF8 text without length)
BLOB TO DOCUMENT("orders.csv"; $plain)
"gzip: "+String(ZUV_File2Gzip("orders.csv"; "orders.csv.gz"; 9))
//> gzip: 0
// Its size (in 4D, Get document size gives it without reading the file).
DOCUMENT TO BLOB("orders.csv.gz"; $file)
$size:=BLOB size($file)
// 0x83: Base64 encode (0x80) of the file's own bytes, ISO-8859-1 in (0x2) and out (0x1).
$base64Filter:=131
$boundary:="zuv-part-boundary"
$head:="From: shop@example.org"+$crlf+"To: office@example.org"+$crlf
$head:=$head+"Subject: Orders"+$crlf+"MIME-Version: 1.0"+$crlf
$head:=$head+"Content-Type: multipart/mixed; boundary=\""+$boundary+"\""+$crlf+$crlf
$head:=$head+"--"+$boundary+$crlf+"Content-Type: text/plain; charset=utf-8"+$crlf+$crlf
$head:=$head+"The orders are attached."+$crlf
$head:=$head+"--"+$boundary+$crlf+"Content-Type: application/gzip"+$crlf
$head:=$head+"Content-Disposition: attachment; filename=\"orders.csv.gz\""+$crlf
$head:=$head+"Content-Transfer-Encoding: base64"+$crlf+$crlf
// The conversation up to DATA: what to send and the reply code wanted. A reply may take several
// lines: "250-..." goes on, "250 ..." is its last.
ARRAY TEXT($send; 5)
ARRAY TEXT($wanted; 5)
$wanted{1}:="220"
$send{2}:="HELO zuvhost"
$wanted{2}:="250"
$send{3}:="MAIL FROM:<shop@example.org>"
$wanted{3}:="250"
$send{4}:="RCPT TO:<office@example.org>"
$wanted{4}:="250"
$send{5}:="DATA"
$wanted{5}:="354"
$stream:=ZUV_TCPOpen("127.0.0.1"; $port; 0; 0; 0; 0; 0)
$status:=ZUV_TCPWaitStatus($stream; 8; 10)
$failed:=False
For ($step; 1; Size of array($send))
  If (Not($failed))
    If ($send{$step}#"")
      $sent:=ZUV_TCPSend($stream; $send{$step}+$crlf; 0; 0)
    End if
    Repeat
      $line:=""
      $got:=ZUV_TCPReceive($stream; $line; 1000; 0; 0; $crlf; 600)
    Until ($got<=0) | (Substring($line; 4; 1)#"-")
    $failed:=Substring($line; 1; 3)#$wanted{$step}
  End if
End for
"ready for the message: "+String(Not($failed))
//> ready for the message: True
// The message: no line of it starts with ".", which SMTP would want doubled (Base64 has none).
$errors:=ZUV_TCPSend($stream; $head; 0; 0)
For ($first; 0; $size-1; 57)
  $last:=$first+56
  $end:=$crlf
  If ($last>=$size)
    $last:=$size-1
    $end:=Substring("=="; 1; (3-(($last-$first+1)%3))%3)+$crlf
  End if
  $errors:=$errors+ZUV_TCPSendFile($stream; "orders.csv.gz"; $base64Filter; 0; $first; $last; 0)
  $errors:=$errors+ZUV_TCPSend($stream; $end; 0; 0)
End for
$errors:=$errors+ZUV_TCPSend($stream; "--"+$boundary+"--"+$crlf+"."+$crlf; 0; 0)
"every send went out: "+String($errors=0)
//> every send went out: True
$line:=""
$got:=ZUV_TCPReceive($stream; $line; 1000; 0; 0; $crlf; 600)
"message: "+Substring($line; 1; 3)
//> message: 250
$sent:=ZUV_TCPSend($stream; "QUIT"+$crlf; 0; 0)
$line:=""
$got:=ZUV_TCPReceive($stream; $line; 1000; 0; 0; $crlf; 600)
"QUIT: "+Substring($line; 1; 3)
//> QUIT: 221
"released: "+String(ZUV_TCPRelease($stream; 0))
//> released: 0
