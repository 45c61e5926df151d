// A client of a line protocol: each request is one line, each reply one line that starts with
// "+OK" or "-ERR". The requests come from an array; the client counts the refusals, and after
// QUIT waits until the server has closed.
// Needs: a line server on 127.0.0.1; script/run-example starts one and sets $port.
$port:=7000
$crlf:="\r\n"
ARRAY TEXT($requests; 4)
$requests{1}:="UPPER Grüße"
$requests{2}:="ADD 19 23"
$requests{3}:="ADD one two"
$requests{4}:="QUIT"
$stream:=ZUV_TCPOpen("127.0.0.1"; $port; 0; 0; 0; 0; 0)
$status:=ZUV_TCPWaitStatus($stream; 8; 10)
// A reply: up to 1000 bytes, ending with CR LF (flag 0 keeps it in the text), 10 s at most.
$reply:=""
$size:=ZUV_TCPReceive($stream; $reply; 1000; 0; 0; $crlf; 600)
"greeting: "+Substring($reply; 1; Length($reply)-2)
//> greeting: +OK ready
$refused:=0
For ($i; 1; Size of array($requests))
  $sent:=ZUV_TCPSend($stream; $requests{$i}+$crlf; 0; 0)
  $reply:=""
  $size:=ZUV_TCPReceive($stream; $reply; 1000; 0; 0; $crlf; 600)
  // The answer counts bytes; the text's length counts characters.
  If ($size<2)
    $reply:="(no reply)"+$crlf
  End if
  $reply:=Substring($reply; 1; Length($reply)-2)
  If (Position("-ERR"; $reply)=1)
    $refused:=$refused+1
  End if
  $requests{$i}+" -> "+$reply
End for
//> UPPER Grüße -> +OK GRÜSSE
//> ADD 19 23 -> +OK 42
//> ADD one two -> -ERR ADD takes whole numbers
//> QUIT -> +OK bye
"refused: "+String($refused)
//> refused: 1
// The server closes after QUIT: the status reaches 14 once every byte has been read.
"closed by the server: "+String(ZUV_TCPWaitStatus($stream; 14; 10)=14)
//> closed by the server: True
"released: "+String(ZUV_TCPRelease($stream; 0))
//> released: 0
