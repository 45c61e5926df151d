// An HTTP/1.0 GET as a 4D method holds it over a plain stream: send the request, read the status
// line and the headers one line at a time up to the empty line, then the body until the server
// closes the connection.
// Needs: a web server on 127.0.0.1 that serves hello.txt; script/run-example starts one and sets $port.
$port:=8000
$crlf:="\r\n"
$stream:=ZUV_TCPOpen("127.0.0.1"; $port; 0; 0; 0; 0; 0)
If (ZUV_TCPWaitStatus($stream; 8; 10)=8)
  $sent:=ZUV_TCPSend($stream; "GET /hello.txt HTTP/1.0"+$crlf+"Host: 127.0.0.1"+$crlf+$crlf; 0; 0)
  // A line: up to 8192 bytes, ending with CR LF (kept in the text), waiting 10 s (600 ticks) at most.
  $line:=""
  $size:=ZUV_TCPReceive($stream; $line; 8192; 0; 0; $crlf; 600)
  "status: "+Substring($line; 1; Length($line)-2)
//> status: HTTP/1.0 200 OK
  $length:=-1
  Repeat
    $line:=""
    $size:=ZUV_TCPReceive($stream; $line; 8192; 0; 0; $crlf; 600)
    If (Position("Content-Length:"; $line)=1)
      $length:=Num(Substring($line; 16))
    End if
  Until ($size<=2)
  "content length: "+String($length)
//> content length: 28
  // The body: each receive (flag 1) adds what has come to $body and answers its byte count. The
  // server closes after the body; status 14 says it has and every byte has been read.
  $body:=""
  $count:=0
  $start:=Milliseconds
  Repeat
    $total:=ZUV_TCPReceive($stream; $body; 0; 0; 1; ""; 0)
    If ($total=$count)
      DELAY PROCESS(Current process; 1)  // a tick, before asking again
    End if
    $count:=$total
    $status:=ZUV_TCPStatus($stream; 0)
  Until ($status>=14) | ((Milliseconds-$start)>10000)
  "body: "+$body
//> body: Grüße from the web server.
  "bytes: "+String($count)
//> bytes: 28
  "closed by the server: "+String($status=14)
//> closed by the server: True
Else
  "no connection to the web server"
End if
"released: "+String(ZUV_TCPRelease($stream; 0))
//> released: 0
