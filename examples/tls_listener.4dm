// A TLS listener that picks its certificate by the name the client asks for: the server-name
// map holds beta.test's certificate under key 1, the listener (flags 1024 + 1048576) has
// alpha.test's as its own, and a client asking for beta.test is given beta.test's.
// Needs: a secure client: once the listener waits on $port, openssl s_client
// -servername beta.test sends "hello beta" and prints the certificate it was given; alpha.pem,
// alpha.key, beta.pem and beta.key in the working folder. script/demo sets both up.
$port:=8444
ZUV_SSLSetSNICertificate(1; "beta.test"; "beta.pem"; "beta.key"; ""; "")
//> 0
ARRAY LONGINT($keys; 0)
ARRAY TEXT($names; 0)
ZUV_SSLSNIList($keys; $names)
//> 1
$names{1}
//> beta.test
$listener:=ZUV_TCPListen(0; 0; $port; 0; 1049600; 0; 0; 7)
ZUV_SSLSetCertificate($listener; "alpha.pem"; "alpha.key"; ""; "")
//> 0
ZUV_TCPWaitStatus($listener; 8; 30)
//> 8
$line:=""
ZUV_TCPReceive($listener; $line; 1000; 0; 2; "\n"; 600)
//> 10
$line
//> hello beta
ZUV_TCPSend($listener; "hello from the listener\n"; 0; 0)
//> 0
ZUV_TCPClose($listener)
//> 0
ZUV_TCPRelease($listener; 0)
//> 0
ZUV_SSLSetSNICertificate(-1; ""; ""; ""; ""; "")
//> 0
