// The part of 4D's language zuvhost runs: operators read from left to right, the blocks of
// control flow, declarations and the one kind each variable holds, the functions on texts,
// numbers, dates and times, and texts in BLOBs in 4D's formats; and that a fault of kinds stops
// a script before anything of it runs.

#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "support/zuvhost_run.h"
#include "zuvhost/parser.h"

namespace {

using zuvtest::ScriptCase;
using ZuvhostLanguageTest = zuvtest::ZuvhostRun;

const ScriptCase kOperatorCases[] = {
    // No precedence: 4D reads an expression from left to right; parentheses group.
    {"3+4*5", "35\n"},
    {"3+(4*5)", "23\n"},
    {"10-2-3", "5\n"},
    {"7/2", "3.5\n"},
    {"7%3", "1\n"},
    {"2-3", "-1\n"},
    {"-(2+3)", "-5\n"},
    {"$x:=5\n-$x\n$x-1", "-5\n4\n"},
    {"0.1+0.2", "0.3\n"},
    {"(0.1+0.2)=0.3\n1.0000001=1\n1.00001=1\n1.00001>1", "True\nTrue\nFalse\nTrue\n"},
    {"1.5*2", "3\n"},
    {"2147483647+1", "2147483648\n"},
    {"$x:=2147483647\n$x:=$x+1\n$x", "-2147483648\n"},
    {"1/0", "1:2: division by zero"},
    {"5%0", "1:2: division by zero"},
    // Texts join with +; compare without regard to case, as 4D does.
    {"\"a\"+\"b\"+\"c\"", "abc\n"},
    {"\"abc\"=\"ABC\"", "True\n"},
    {"\"\u00e9t\u00e9\"=\"\u00c9T\u00c9\"", "True\n"},
    {"\"a\"#\"b\"", "True\n"},
    {"\"a\"<\"B\"", "True\n"},
    {"1<2\n2<=2\n3>=4\n3>2.5\n1=1.0", "True\nTrue\nFalse\nTrue\nTrue\n"},
    {"True & False\nTrue | False\n(1<2) & (2<3)\nNot(True)", "False\nTrue\nTrue\nFalse\n"},
    {"True=False\nTrue#False", "False\nTrue\n"},
    // In = and #, "@" in the right-hand text stands for any run of characters, as in 4D.
    {"\"abcdef\"=\"abc@\"\n\"ABCDEF\"=\"abc@\"\n\"abc\"=\"abc@\"\n\"\"=\"@\"",
     "True\nTrue\nTrue\nTrue\n"},
    {"\"abcdef\"=\"@def\"\n\"abcdef\"=\"@CD@\"\n\"abcdef\"=\"a@f\"\n\"abcdef\"=\"a@c@@f\"",
     "True\nTrue\nTrue\nTrue\n"},
    {"\"abcdef\"=\"@abc\"\n\"abcdef\"=\"a@e\"\n\"ab\"=\"abc@\"\n\"a\"=\"a@a\"\n\"aba\"=\"@ab@ba\"",
     "False\nFalse\nFalse\nFalse\nFalse\n"},
    {"\"250 OK\"#\"2@\"\n\"550 no\"#\"2@\"", "False\nTrue\n"},
    {"$code:=\"250\"\nIf ($code=\"2@\")\n\"accepted\"\nEnd if", "accepted\n"},
    // On the left, and in the other comparisons, "@" is a character like any other.
    {"\"abc@\"=\"abcdef\"\n\"a@\"=\"a@\"\n\"b\"<\"a@\"\n\"a@\">=\"a@\"",
     "False\nTrue\nFalse\nTrue\n"},
    // Dates move by days and subtract to days; the empty date stays empty.
    {"!2000-02-28!+1\n!2000-01-01!-1", "2000-02-29\n1999-12-31\n"},
    {"!2000-03-01!-!2000-02-01!\n!2000-01-01!<!2000-01-02!", "29\nTrue\n"},
    {"!0000-00-00!+1", "0000-00-00\n"},
    {"?01:00:00?+60\n?01:00:00?-?00:30:00?", "01:01:00\n00:30:00\n"},
    // Kinds an operator does not take.
    {"\"a\"+1", "1:4: '+' does not take a Text and a Longint"},
    {"1 | 2", "1:3: '|' does not take a Longint and a Longint"},
    {"$x:=1\n$y:=$x=1 | $x=2", "2:10: '|' does not take a Boolean and a Longint"},
    {"True<False", "1:5: '<' does not take a Boolean and a Boolean"},
    {"!2000-01-01!*2", "1:13: '*' does not take a Date and a Longint"},
    {"-\"a\"", "1:1: '-' takes a number, not a Text"},
};

TEST_F(ZuvhostLanguageTest, OperatorsReadFromLeftToRight) {
  runTable(std::begin(kOperatorCases), std::end(kOperatorCases));
}

const ScriptCase kControlFlowCases[] = {
    {"$x:=2\nIf ($x>1)\n\"big\"\nElse\n\"small\"\nEnd if", "big\n"},
    {"$x:=0\nIf ($x>1)\n\"big\"\nElse\n\"small\"\nEnd if", "small\n"},
    {"If (False)\n\"no\"\nEnd if\n\"after\"", "after\n"},
    {"$a:=1\n$b:=2\nIf ($a=1)\nIf ($b=3)\n\"x\"\nElse\n\"y\"\nEnd if\nEnd if", "y\n"},
    {"if (true)\n\"any case\"\nEND IF", "any case\n"},
    // Case of runs the first branch that holds, or the Else.
    {"$n:=2\nCase of\n: ($n=1)\n\"one\"\n: ($n>1)\n\"more\"\n: ($n=2)\n\"two\"\nEnd case",
     "more\n"},
    {"$n:=9\nCase of\n: ($n=1)\n\"one\"\nElse\n\"other\"\nEnd case", "other\n"},
    {"$n:=9\nCase of\n: ($n=1)\n\"one\"\nEnd case\n\"done\"", "done\n"},
    // While tests first, Repeat after.
    {"$n:=0\nWhile ($n<3)\n$n:=$n+1\nEnd while\n$n", "3\n"},
    {"$n:=5\nWhile ($n<3)\n$n:=$n+1\nEnd while\n$n", "5\n"},
    {"$n:=5\nRepeat\n$n:=$n+1\nUntil ($n>3)\n$n", "6\n"},
    // For: the bounds are computed once; after the loop the counter is past the end.
    {"For ($i; 1; 3)\n$i\nEnd for\n$i", "1\n2\n3\n4\n"},
    {"For ($i; 3; 1; -1)\n$i\nEnd for", "3\n2\n1\n"},
    {"For ($i; 1; 6; 2)\n$i\nEnd for", "1\n3\n5\n"},
    {"For ($i; 1; 0)\n$i\nEnd for\n$i", "1\n"},
    {"$end:=2\nFor ($i; 1; $end)\n$end:=10\nEnd for\n$i", "3\n"},
    {"$s:=\"\"\nFor ($i; 1; 3)\nFor ($j; 1; $i)\n$s:=$s+String($j)\nEnd for\nEnd for\n$s",
     "112123\n"},
    {"For ($i; 1; 2; 0)\nEnd for", "1:16: the step of For is 0"},
    // Blocks that do not close, and closers without their block.
    {"If (True)\n\"a\"", "1:1: If has no End if"},
    {"If (True)\n\"a\"\nEnd iff",
     "3:1: 'End iff' is no block word: the If of line 1 has no End if"},
    {"While (False)\nEndwhile",
     "2:1: 'Endwhile' is no block word: the While of line 1 has no End while"},
    {"If (True)\nEnd iff\nEnd if", "2:1: unknown command or constant 'End iff'"},
    {"While (True)\nEnd if", "2:1: End if without If"},
    {"Repeat\n1", "1:1: Repeat has no Until"},
    {"For ($i; 1; 2)\n1", "1:1: For has no End for"},
    {"Case of\n: (True)\n1", "1:1: Case of has no End case"},
    {"Case of\n\"a\"\nEnd case", "2:1: a statement of Case of comes after a ':'"},
    {"Case of\nIf (True)\nEnd if\nEnd case", "2:1: a statement of Case of comes after a ':'"},
    {"End while", "1:1: End while without While"},
    {"Until (True)", "1:1: Until without Repeat"},
    {"Else", "1:1: Else without If or Case of"},
    {": (True)", "1:1: ':' without Case of"},
    {"If (True) 1\nEnd if", "1:11: expected the end of the line, found the number 1"},
    {"For (1; 1; 2)\nEnd for", "1:6: expected the counter variable, found the number 1"},
    {"For ($i; 1)\nEnd for", "1:11: expected ';', found ')'"},
    // Conditions are Booleans.
    {"If (1)\nEnd if", "1:5: the condition of If must be a Boolean, not a Longint"},
    {"While (\"a\")\nEnd while", "1:8: the condition of While must be a Boolean, not a Text"},
    {"Repeat\nUntil (0)", "2:8: the condition of Until must be a Boolean, not a Longint"},
    {"Case of\n: (1)\nEnd case", "2:4: the condition of Case of must be a Boolean, not a Longint"},
    {"For ($i; 1; \"a\")\nEnd for", "1:13: For counts with numbers, not a Text"},
};

TEST_F(ZuvhostLanguageTest, RunsTheBlocksOfControlFlow) {
  runTable(std::begin(kControlFlowCases), std::end(kControlFlowCases));
}

const ScriptCase kDeclarationCases[] = {
    // A declared variable starts with the empty value of its kind.
    {"var $t : Text\n\"[\"+$t+\"]\"", "[]\n"},
    {"var $a, $b : Integer\n$a+$b", "0\n"},
    {"var $r : Real\n$r:=1\n$r/4", "0.25\n"},
    {"var $ok : Boolean\n$ok", "False\n"},
    {"var $d : Date\n$d\nvar $h : Time\n$h", "0000-00-00\n00:00:00\n"},
    {"var $b : Blob\nBLOB size($b)", "0\n"},
    {"C_TEXT($a; $b)\nC_LONGINT($n)\nC_REAL($r)\nC_BOOLEAN($f)\n$a+$b+String($n)+String($f)",
     "0False\n"},
    {"c_date($d)\nC_TIME($t)\nC_BLOB($b)\nC_PICTURE($p)\nC_INTEGER($i)\n$i", "0\n"},
    // Numbers: a declared whole number rounds a real; one set by a real anywhere is a real.
    {"var $i : Integer\n$i:=2.5\n$i\n$i:=-2.5\n$i", "3\n-3\n"},
    {"$x:=1\n$x:=1.5\n$x", "1.5\n"},
    {"var $x : Integer\n$x:=1.5\n$x", "2\n"},
    {"$x:=1\nvar $x : Real\n$x:=0.5\n$x", "0.5\n"},
    // One kind a variable, as 4D's compiler has it.
    {"$x:=1\n$x:=\"a\"", "2:5: $x holds a Longint, it cannot take a Text"},
    {"var $t : Text\n$t:=1", "2:5: $t holds a Text, it cannot take a Longint"},
    {"$b:=True\n$b:=2", "2:5: $b holds a Boolean, it cannot take a Longint"},
    {"var $x : Text\nvar $x : Date",
     "2:5: $x is already declared a Text, it cannot be declared a Date"},
    {"$x:=1\nC_TEXT($x)", "2:8: $x holds a Longint, it cannot be declared a Text"},
    {"ARRAY TEXT($a; 1)\nARRAY LONGINT($a; 1)",
     "2:15: $a holds a Text array, a Longint array is wanted here"},
    {"var $x : Longint",
     "1:10: unknown kind 'Longint': write Text, Integer, Real, Boolean, Date, Time, Blob or "
     "Picture (a var Integer holds a Longint)"},
    {"var $o : Object", "1:10: zuvhost has no Object variables"},
    {"C_POINTER($p)", "1:1: zuvhost has no C_POINTER variables"},
    {"C_FOO($x)", "1:1: unknown declaration C_FOO"},
    {"var $x", "1:7: expected ':' and a kind, found the end of the line"},
    {"var $x;$y : Text", "1:7: expected ':' and a kind, found ';'"},
    {"C_TEXT(\"a\")", "1:8: only a variable can be declared"},
    // A variable that is read must be set somewhere; a loop may set it further down.
    {"$n", "1:1: the variable $n has no value yet"},
    {"$n:=$n+1", "1:5: the variable $n has no value yet"},
    {"For ($i; 1; 2)\nIf ($i=2)\n$last\nEnd if\n$last:=$i*10\nEnd for", "10\n"},
};

TEST_F(ZuvhostLanguageTest, ChecksDeclarationsAsFourDDoes) {
  runTable(std::begin(kDeclarationCases), std::end(kDeclarationCases));
}

const ScriptCase kFunctionCases[] = {
    {"String(12)\nString(-1.25)\nString(True)\nString(!2000-01-02!)\nString(?00:01:02?)",
     "12\n-1.25\nTrue\n2000-01-02\n00:01:02\n"},
    {"String(\"a\")+String(1)", "a1\n"},
    {"Num(\"12\")\nNum(\"a1b2\")\nNum(\"-3.5x\")\nNum(\"\")\nNum(True)\nNum(7)",
     "12\n12\n-3.5\n0\n1\n7\n"},
    {"Char(65)+Char(233)\nCharacter code(\"A\")", "A\u00e9\n65\n"},
    {"Char(70000)", "1:6: a character code is 0 to 65535, not 70000"},
    {"Character code(\"\")", "1:16: Character code of an empty text"},
    {"Substring(\"hello\"; 2; 3)\nSubstring(\"hello\"; 4)\nSubstring(\"hello\"; 0; 2)",
     "ell\nlo\nhe\n"},
    {"\"[\"+Substring(\"hello\"; 9)+Substring(\"hello\"; 2; 0)+\"]\"", "[]\n"},
    {"Position(\"LL\"; \"hello\")\nPosition(\"z\"; \"hello\")\nPosition(\"l\"; \"hello\"; 4)",
     "3\n0\n4\n"},
    {"Position(\"\"; \"x\")\nPosition(\"x\"; \"x\"; 5)", "0\n0\n"},
    // Replace string, without regard to case unless 4D's "*" asks for the character codes.
    {"Replace string(\"Hello hello HELLO\"; \"hello\"; \"bye\")", "bye bye bye\n"},
    {"Replace string(\"Hello hello HELLO\"; \"hello\"; \"bye\"; *)", "Hello bye HELLO\n"},
    {"Replace string(\"aaaa\"; \"A\"; \"b\"; 2)\nReplace string(\"aAaA\"; \"a\"; \"\"; 3; *)",
     "bbaa\nAA\n"},
    {"Replace string(\"aaa\"; \"aa\"; \"b\")\nReplace string(\"abab\"; \"b\"; \"bb\")",
     "ba\nabbabb\n"},
    {"Replace string(\"abc\"; \"\"; \"x\")\nReplace string(\"x\"; \"x\"; \"y\"; 0)", "abc\nx\n"},
    {"Replace string(\"CAF\u00c9 caf\u00e9\"; \"\u00e9\"; \"e\")", "CAFe cafe\n"},
    // Lowercase and Uppercase take accents off unless "*" keeps them.
    {"Lowercase(\"D\u00c9J\u00c0 Vu\")\nLowercase(\"D\u00c9J\u00c0 Vu\"; *)",
     "deja vu\nd\u00e9j\u00e0 vu\n"},
    {"Uppercase(\"\u00e9l\u00e8ve \u00f8\")\nUppercase(\"\u00e9l\u00e8ve\"; "
     "*)\nUppercase(\"stra\u00dfe\"; *)",
     "ELEVE \u00d8\n\u00c9L\u00c8VE\nSTRASSE\n"},
    {"Length(\"a\"; *)", "1:13: Length takes no '*'"},
    {"ZUV_Text2Base64(\"a\"; *)",
     "1:22: '*' is no value: it ends the call of a command that takes it"},
    {"ARRAY TEXT($a; 3)\nSize of array($a)\nARRAY LONGINT($n; 0)\nSize of array($n)", "3\n0\n"},
    // APPEND TO ARRAY adds an element of the array's kind.
    {"ARRAY TEXT($a; 0)\nAPPEND TO ARRAY($a; \"x\")\nAPPEND TO ARRAY($a; \"y\")\nSize of "
     "array($a)\n$a",
     "2\nx\ny\n"},
    {"ARRAY INTEGER($i; 1)\nAPPEND TO ARRAY($i; 70000)\n$i\nARRAY LONGINT($n; 0)\nAPPEND TO "
     "ARRAY($n; 2.5)\n$n{1}",
     "0\n4464\n3\n"},
    {"ARRAY TEXT($a; 0)\nAPPEND TO ARRAY($a; 1)", "2:21: a Text is wanted here, not a Longint"},
    {"$t:=\"x\"\nAPPEND TO ARRAY($t; 1)", "2:17: APPEND TO ARRAY takes an array, $t holds a Text"},
    {"$t:=\"x\"\nSize of array($t)", "2:15: Size of array takes an array, $t holds a Text"},
    {"Size of array(\"x\")", "1:15: parameter 1 of Size of array must be a variable"},
    {"$d:=Current date\n$d>!2020-01-01!\n$h:=Current time\n$h<?24:00:00?", "True\nTrue\n"},
    {"$m:=Milliseconds\n(Milliseconds-$m)>=0", "True\n"},
    {"DELAY PROCESS(Current process; 1)\nDELAY PROCESS(0)\nCurrent process", "1\n"},
    {"DELAY PROCESS(2; 1)", "1:15: a script can delay only its own process (1)"},
    {"Substring(\"a\")", "1:1: Substring takes 2 to 3 parameters"},
    {"Num(\"1\"; 2)", "1:1: Num takes 1 parameter"},
    {"Length(1.5)", "1:8: a Text is wanted here, not a Real"},
    {"$q:=\"a\"+ZUV_Text2URL(\"b c\"; 1)\n$q", "ab%20c\n"},
    {"ZUV_Text2Base64(\"x\"; 1.4)", "eA==\n"},
    {"ZUV_Text2Base64(\"x\"; True)",
     "1:22: parameter 2 (options) of ZUV_Text2Base64 takes a Longint, not a Boolean"},
};

TEST_F(ZuvhostLanguageTest, RunsTheFunctionsOfTheLanguage) {
  runTable(std::begin(kFunctionCases), std::end(kFunctionCases));
}

// The constants of 4D's ASCII codes theme, under the names 4D gives them.
struct CharacterConstant {
  const char* name;
  int code;
};

const CharacterConstant kAsciiCodes[] = {
    {"Home key", 1},         {"Enter", 3},         {"End key", 4},
    {"Help key", 5},         {"Backspace", 8},     {"Tab", 9},
    {"Line feed", 10},       {"Page up key", 11},  {"Page down key", 12},
    {"Carriage return", 13}, {"Escape", 27},       {"Left arrow key", 28},
    {"Right arrow key", 29}, {"Up arrow key", 30}, {"Down arrow key", 31},
    {"Space", 32},           {"Double quote", 34}, {"Quote", 39},
    {"Period", 46},          {"Delete key", 127},  {"NUL ASCII", 0},
    {"SOH ASCII", 1},        {"STX ASCII", 2},     {"ETX ASCII", 3},
    {"EOT ASCII", 4},        {"ENQ ASCII", 5},     {"ACK ASCII", 6},
    {"BEL ASCII", 7},        {"BS ASCII", 8},      {"HT ASCII", 9},
    {"LF ASCII", 10},        {"VT ASCII", 11},     {"FF ASCII", 12},
    {"CR ASCII", 13},        {"SO ASCII", 14},     {"SI ASCII", 15},
    {"DLE ASCII", 16},       {"DC1 ASCII", 17},    {"DC2 ASCII", 18},
    {"DC3 ASCII", 19},       {"DC4 ASCII", 20},    {"NAK ASCII", 21},
    {"SYN ASCII", 22},       {"ETB ASCII", 23},    {"CAN ASCII", 24},
    {"EM ASCII", 25},        {"SUB ASCII", 26},    {"ESC ASCII", 27},
    {"FS ASCII", 28},        {"GS ASCII", 29},     {"RS ASCII", 30},
    {"US ASCII", 31},        {"DEL ASCII", 127},
};

TEST_F(ZuvhostLanguageTest, NamesTheCharactersOfTheAsciiCodesTheme) {
  for (const CharacterConstant& c : kAsciiCodes) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(run(std::string("Character code(Char(") + c.name + "))"),
              std::to_string(c.code) + "\n");
  }
}

const ScriptCase kCharacterConstantCases[] = {
    {"$crlf:=Char(Carriage return)+Char(Line feed)\nLength($crlf)\n$crlf=\"\\r\\n\"", "2\nTrue\n"},
    // Constants' names ignore case, as 4D's do.
    {"carriage RETURN+tab\nCharacter code(Char(dc1 ascii))", "22\n17\n"},
    {"$x:=Tab\n$x:=\"a\"", "2:5: $x holds a Longint, it cannot take a Text"},
    {"Char(Carriage retrun)", "1:6: unknown command or constant 'Carriage retrun'"},
    {"Tab(1)", "1:1: unknown command 'Tab'"},
};

TEST_F(ZuvhostLanguageTest, ReadsCharacterConstantsAsFourDNamesThem) {
  runTable(std::begin(kCharacterConstantCases), std::end(kCharacterConstantCases));
}

// What TEXT TO BLOB writes for "é" in each format, and that BLOB to text reads it back.
struct FormatCase {
  const char* format;
  std::string bytes;
  int bothSize;  // the bytes of "é" and then "x"
};

const FormatCase kFormatCases[] = {
    {"Mac C string", std::string("\x8E\0", 2), 4},
    {"Mac Pascal string", "\x01\x8E", 4},
    {"Mac text with length", std::string("\x01\0\x8E", 3), 6},
    {"Mac text without length", "\x8E", 2},
    {"UTF8 C string", std::string("\xC3\xA9\0", 3), 5},
    {"UTF8 text with length", std::string("\x02\0\0\0\xC3\xA9", 6), 11},
    {"UTF8 text without length", "\xC3\xA9", 3},
    {"C string", std::string("\x8E\0", 2), 4},
    {"Text without length", "\x8E", 2},
};

TEST_F(ZuvhostLanguageTest, WritesAndReadsTextsInEachFormatOfFourD) {
  for (const FormatCase& c : kFormatCases) {
    SCOPED_TRACE(c.format);
    std::string format = c.format;
    EXPECT_EQ(run("TEXT TO BLOB(\"\u00e9\"; $b; " + format + ")\n$b"), c.bytes);
    // Two texts one after the other, through an offset that moves past each.
    EXPECT_EQ(run("$at:=0\nTEXT TO BLOB(\"\u00e9\"; $b; " + format + "; $at)\nTEXT TO BLOB(\"" +
                  "x\"; $b; " + format + "; $at)\n$at\n$from:=0\nBLOB to text($b; " + format +
                  "; $from; 1)+\"|\"+BLOB to text($b; " + format + "; $from; 1)\n$from=$at"),
              std::to_string(c.bothSize) + "\n\u00e9|x\nTrue\n");
  }
}

const ScriptCase kBlobTextCases[] = {
    // The short forms: UTF-8 without length, the BLOB replaced.
    {"TEXT TO BLOB(\"h\u00e9\"; $b)\nBLOB size($b)\nBLOB to text($b)", "3\nh\u00e9\n"},
    {"TEXT TO BLOB(\"long text\"; $b)\nTEXT TO BLOB(\"ab\"; $b)\nBLOB to text($b)", "ab\n"},
    {"TEXT TO BLOB(\"a\"; $b; 7)",
     "1:23: no text format 7 (0 to 6, e.g. UTF8 text without length)"},
    {"TEXT TO BLOB(\"a\"; $b; UTF8 text without length; 5)",
     "1:49: parameter 4 of TEXT TO BLOB must be a variable"},
    {"$at:=9\nTEXT TO BLOB(\"a\"; $b; UTF8 C string; $at)",
     "2:38: the offset 9 is outside the BLOB (0 to 0)"},
    {"TEXT TO BLOB(\"a\"; $b; Mac Pascal string)\nBLOB to text($b; UTF8 text with length)",
     "2:1: the BLOB ends before the text's length"},
    {"TEXT TO BLOB(\"abc\"; $b; Mac Pascal string)\n$at:=0\nTEXT TO BLOB(\"\"; $b; Mac text "
     "without "
     "length; $at)\nBLOB to text($b; Mac Pascal string)",
     "abc\n"},
    {"$n:=Length(\"x\")\nTEXT TO BLOB(\"\\u\"; $b)",
     "2:15: unknown escape '\\u' (use \\r \\n \\t \\\" \\\\)"},
    {"TEXT TO BLOB(\"abc\"; $b; UTF8 text without length)\nBLOB to text($b; UTF8 text without "
     "length; $at; 2)",
     "ab\n"},
};

TEST_F(ZuvhostLanguageTest, KeepsTheShortFormsOfTextsInBlobs) {
  runTable(std::begin(kBlobTextCases), std::end(kBlobTextCases));
}

// Nesting is bounded, so that no script can exhaust the stack of the parser, the checker or the
// interpreter.
TEST_F(ZuvhostLanguageTest, RefusesNestingBeyondItsLimit) {
  EXPECT_EQ(run(std::string(199, '(') + "1" + std::string(199, ')')), "1\n");
  EXPECT_EQ(run(std::string(100000, '(')), "1:201: nested more than 200 levels deep");
  EXPECT_EQ(run(std::string(100000, '-') + "1"), "1:200: nested more than 200 levels deep");
  std::string sum = "1";
  for (int i = 0; i < 100000; ++i) sum += "+1";
  EXPECT_EQ(run(sum), "1:400: nested more than 200 levels deep");
  std::string longest = "1";
  for (int i = 0; i < 199; ++i) longest += "+1";
  EXPECT_EQ(run(longest), "200\n");
  std::string blocks;
  for (int i = 0; i < 100000; ++i) blocks += "If (True)\n";
  EXPECT_EQ(run(blocks), "201:1: nested more than 200 levels deep");
}

TEST_F(ZuvhostLanguageTest, AScriptWithAFaultOfKindsRunsNothing) {
  EXPECT_EQ(run("\"first\"\nFor ($i; 1; 2)\n$i\nEnd for\n$x:=1\n$x:=\"a\""),
            "6:5: $x holds a Longint, it cannot take a Text");
  EXPECT_EQ(run("\"first\"\nIf (False)\nZUV_Text2Base64(1; 1)\nEnd if"),
            "3:17: parameter 1 (text) of ZUV_Text2Base64 takes a Text, not a Longint");
}

}  // namespace
