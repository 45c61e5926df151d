// An HTTPS GET as a 4D method holds it: a TLS stream (flag 1024), the connection's protocol and
// the server's certificate, then the request and the reply, read as examples/http_get.4dm reads
// a plain one.
// Needs: a secure web server on 127.0.0.1 that serves hello.txt with a certificate for
// alpha.test (openssl s_server -WWW); script/demo starts one and sets $port.
$port:=8443
$stream:=ZUV_TCPOpen("127.0.0.1"; $port; 0; 1024; 0; 0; 0)
ZUV_TCPWaitStatus($stream; 8; 10)
//> 8
$protocol:=""
$cipher:=""
$bits:=0
$subject:=""
ZUV_SSLStreamInfo($stream; $protocol; $cipher; $bits; $subject)
//> 0
$protocol
//> TLSv1.3
// The subject is what the server's certificate claims: the client verifies no certificate, so
// it proves nothing about who answered (see the README).
$subject
//> /CN=alpha.test
ZUV_TCPSend($stream; "GET /hello.txt HTTP/1.0\r\n\r\n"; 0; 0)
//> 0
$status:=""
ZUV_TCPReceive($stream; $status; 1000; 0; 2; "\r\n"; 600)
//> 15
$status
//> HTTP/1.0 200 ok
$headers:=""
$size:=ZUV_TCPReceive($stream; $headers; 65536; 0; 0; "\r\n\r\n"; 600)
// The body, in UTF-8, until the server ends the connection.
$body:=""
ZUV_TCPReceive($stream; $body; 1000000; 0; 0; ""; -1)
//> 28
$body
//> Grüße from the web server.
ZUV_TCPRelease($stream; 0)
//> 0
