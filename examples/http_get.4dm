// An HTTP/1.0 GET as a 4D method holds it over a plain stream: send the request, read the status
// line, then the headers up to the empty line, then the body until the server closes.
// Needs: a web server on 127.0.0.1 that serves hello.txt; script/demo starts one and sets $port.
$port:=8000
$stream:=ZUV_TCPOpen("127.0.0.1"; $port; 0; 0; 0; 0; 0)
ZUV_TCPWaitStatus($stream; 8; 10)
//> 8
ZUV_TCPSend($stream; "GET /hello.txt HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"; 0; 0)
//> 0
// The status line ends before its CR LF (flag 2 leaves the delimiter in the stream).
$status:=""
ZUV_TCPReceive($stream; $status; 1000; 0; 2; "\r\n"; 600)
//> 15
$status
//> HTTP/1.0 200 OK
// The headers, CR LF included, up to the empty line; the server's date and name vary.
$headers:=""
$size:=ZUV_TCPReceive($stream; $headers; 65536; 0; 0; "\r\n\r\n"; 600)
// The body, in UTF-8: with a limit and no time-out the receive ends once the server has closed.
$body:=""
ZUV_TCPReceive($stream; $body; 1000000; 0; 0; ""; -1)
//> 28
$body
//> Grüße from the web server.
ZUV_TCPRelease($stream; 0)
//> 0
