// What a script has besides the plug-in's commands: variables, arrays, BLOBs and the literals
// of 4D. This one needs no command of the plug-in.
$greeting:="tab\tand \"quotes\""
$greeting
//> tab	and "quotes"
Length($greeting)
//> 16
ARRAY TEXT($words; 2)
$words{1}:="first"
$words{2}:=$greeting
$words{1}
//> first
TEXT TO BLOB("héllo"; $bytes)
BLOB size($bytes)
//> 6
BLOB to text($bytes)
//> héllo
!2000-01-31!
//> 2000-01-31
?12:30:00?
//> 12:30:00
