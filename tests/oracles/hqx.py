#!/usr/bin/python3
# An independent reader of BinHex 4.0 text for the tests: checks the layout the encoder promises
# (CR line ends, a first line of the colon and 63 characters, then lines of 64, no runs), checks
# the three CRCs with binascii.crc_hqx, and writes the forks it finds.
#   hqx.py check FILE.hqx OUT   prints "name type creator flags dlen rlen" and writes OUT.data,
#                               OUT.rsrc; exits 1 with a reason on the first fault
import binascii
import sys

ALPHABET = "!\"#$%&'()*+,-012345689@ABCDEFGHIJKLMNPQRSTUVXYZ[`abcdefhijklmpqr"
HEADER = b"(This file must be converted with BinHex 4.0)\r:"


def fail(why):
    print("fault:", why)
    sys.exit(1)


def check_layout(text):
    if not text.startswith(HEADER):
        fail("header text")
    if b"\n" in text:
        fail("LF written")
    body = text[len(HEADER) - 1:]
    if not body.endswith(b":\r"):
        fail("no closing colon and CR")
    lines = body[:-2].split(b"\r")
    for i, line in enumerate(lines[:-1]):
        if len(line) != 64:
            fail("line %d has %d characters" % (i, len(line)))
    if len(lines[-1]) > 64:
        fail("last line too long")
    return b"".join(lines)[1:].decode("ascii")


def six_bits(chars):
    bits = 0
    count = 0
    out = bytearray()
    for ch in chars:
        bits = (bits << 6 | ALPHABET.index(ch)) & 0xFFFFFF
        count += 6
        if count >= 8:
            count -= 8
            out.append(bits >> count & 0xFF)
    return bytes(out)


def unescape(stream):
    out = bytearray()
    i = 0
    while i < len(stream):
        b = stream[i]
        if b == 0x90:
            if i + 1 >= len(stream) or stream[i + 1] != 0:
                fail("a run at %d" % i)
            i += 2
        else:
            i += 1
        out.append(b)
    return bytes(out)


def main():
    text = open(sys.argv[2], "rb").read()
    chars = check_layout(text)
    if not chars.endswith("!!"):
        fail("no two '!' before the colon")
    stream = unescape(six_bits(chars))
    n = stream[0]
    p = 1 + n
    name = stream[1:p]
    if stream[p] != 0:
        fail("version")
    fields = stream[p + 1:p + 19]
    typ, creator = fields[0:4], fields[4:8]
    flags = int.from_bytes(fields[8:10], "big")
    dlen = int.from_bytes(fields[10:14], "big")
    rlen = int.from_bytes(fields[14:18], "big")
    hcrc = int.from_bytes(stream[p + 19:p + 21], "big")
    if binascii.crc_hqx(stream[:p + 19], 0) != hcrc:
        fail("header CRC")
    q = p + 21
    data = stream[q:q + dlen]
    if binascii.crc_hqx(data, 0) != int.from_bytes(stream[q + dlen:q + dlen + 2], "big"):
        fail("data CRC")
    q += dlen + 2
    rsrc = stream[q:q + rlen]
    if binascii.crc_hqx(rsrc, 0) != int.from_bytes(stream[q + rlen:q + rlen + 2], "big"):
        fail("resource CRC")
    q += rlen + 2
    if stream[q:] not in (b"\0", b"\0\0"):
        fail("padding %r" % stream[q:])
    open(sys.argv[3] + ".data", "wb").write(data)
    open(sys.argv[3] + ".rsrc", "wb").write(rsrc)
    print(len(name), typ.hex(), creator.hex(), "%04x" % flags, dlen, rlen)


main()
