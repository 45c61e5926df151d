// A mail as a 4D method sends it over SMTP (RFC 5321): a MIME message whose body is
// quoted-printable and whose attachment is Base64, handed to a mail server one step at a time.
// Each step prints the server's reply code; a reply that is not the one wanted stops the steps.
// Needs: a mail server on 127.0.0.1; script/run-example starts one and sets $port.
$port:=2525
$crlf:="\r\n"
// The body: quoted-printable keeps the message 7-bit; text mode (2) keeps the line ends.
$body:=ZUV_Text2QP("Grüße aus Köln,"+$crlf+"the order is attached."+$crlf; 2)
"body, first line: "+Substring($body; 1; Position($crlf; $body)-1)
//> body, first line: Gr=C3=BC=C3=9Fe aus K=C3=B6ln,
// The attachment: a small text file, in Base64 lines of 76 characters at most.
$file:="Order 1042"+$crlf
For ($item; 1; 3)
  $file:=$file+String($item)+" × café crème, "+String($item*2)+" × Brötchen"+$crlf
End for
$encoded:=ZUV_Text2Base64($file; 1)
$attachment:=""
$lines:=0
For ($at; 1; Length($encoded); 76)
  $attachment:=$attachment+Substring($encoded; $at; 76)+$crlf
  $lines:=$lines+1
End for
"attachment: "+String(Length($encoded))+" Base64 characters in "+String($lines)+" lines"
//> attachment: 156 Base64 characters in 3 lines
$boundary:="zuv-part-boundary"
$message:="From: shop@example.org"+$crlf+"To: kitchen@example.org"+$crlf
$message:=$message+"Subject: Order 1042"+$crlf+"MIME-Version: 1.0"+$crlf
$message:=$message+"Content-Type: multipart/mixed; boundary=\""+$boundary+"\""+$crlf+$crlf
$message:=$message+"--"+$boundary+$crlf+"Content-Type: text/plain; charset=utf-8"+$crlf
$message:=$message+"Content-Transfer-Encoding: quoted-printable"+$crlf+$crlf+$body
$message:=$message+"--"+$boundary+$crlf+"Content-Type: text/plain; charset=utf-8"+$crlf
$message:=$message+"Content-Disposition: attachment; filename=\"order.txt\""+$crlf
$message:=$message+"Content-Transfer-Encoding: base64"+$crlf+$crlf+$attachment
// A line of the message that starts with "." gets another in front (RFC 5321, 4.5.2); a line
// with "." alone ends the message.
$message:=$message+"--"+$boundary+"--"
$stuffed:=""
$rest:=$message
Repeat
  $end:=Position($crlf; $rest)
  If ($end=0)
    $end:=Length($rest)+1
  End if
  $line:=Substring($rest; 1; $end-1)
  If (Position("."; $line)=1)
    $line:="."+$line
  End if
  $stuffed:=$stuffed+$line+$crlf
  $rest:=Substring($rest; $end+2)
Until ($rest="")
$stuffed:=$stuffed+"."
// The steps: what to send (nothing for the greeting) and the reply code wanted.
ARRAY TEXT($label; 7)
ARRAY TEXT($send; 7)
ARRAY TEXT($wanted; 7)
$label{1}:="greeting"
$wanted{1}:="220"
$label{2}:="HELO"
$send{2}:="HELO zuvhost"
$wanted{2}:="250"
$label{3}:="MAIL FROM"
$send{3}:="MAIL FROM:<shop@example.org>"
$wanted{3}:="250"
$label{4}:="RCPT TO"
$send{4}:="RCPT TO:<kitchen@example.org>"
$wanted{4}:="250"
$label{5}:="DATA"
$send{5}:="DATA"
$wanted{5}:="354"
$label{6}:="message"
$send{6}:=$stuffed
$wanted{6}:="250"
$label{7}:="QUIT"
$send{7}:="QUIT"
$wanted{7}:="221"
$stream:=ZUV_TCPOpen("127.0.0.1"; $port; 0; 0; 0; 0; 0)
$status:=ZUV_TCPWaitStatus($stream; 8; 10)
$step:=1
$failed:=False
While ($step<=Size of array($label)) & Not($failed)
  If ($send{$step}#"")
    $sent:=ZUV_TCPSend($stream; $send{$step}+$crlf; 0; 0)
  End if
  // A reply may take several lines: "250-..." goes on, "250 ..." is its last.
  Repeat
    $line:=""
    $size:=ZUV_TCPReceive($stream; $line; 1000; 0; 0; $crlf; 600)
  Until ($size<=0) | (Substring($line; 4; 1)#"-")
  $code:=Substring($line; 1; 3)
  $label{$step}+": "+$code
  If ($code#$wanted{$step})
    "the server answered: "+$line
    $failed:=True
  End if
  $step:=$step+1
End while
//> greeting: 220
//> HELO: 250
//> MAIL FROM: 250
//> RCPT TO: 250
//> DATA: 354
//> message: 250
//> QUIT: 221
"sent: "+String(Not($failed))
//> sent: True
"released: "+String(ZUV_TCPRelease($stream; 0))
//> released: 0
