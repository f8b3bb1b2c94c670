#!/usr/bin/env python3
"""Writes a small, valid XSVF stream for the FPGA tests and examples.

What it encodes (a JTAG session against one device with a 6-bit instruction
register, such as a small Xilinx part):

  XCOMMENT     "test"
  XREPEAT      0              no retries on a TDO mismatch
  XRUNTEST     0              no idle clocks after each shift
  XENDIR/XENDDR 0             shifts end in Run-Test/Idle
  XSIR         6 bits 0x09    IDCODE instruction
  XSDRSIZE     32
  XTDOMASK     0x0FFFFFFF     compare all but the version nibble
  XSDRTDO      TDI 0, TDO 0x01414093   read and check the IDCODE
  XSIR         6 bits 0x3F    BYPASS
  XRUNTEST     1000           1000 us in Run-Test/Idle
  XSDRSIZE     8
  XSDR         0xA5           a plain data shift
  XSDRTDO      TDI 0x5A, TDO 0x00 (mask 0xFF)
  with --wide BITS: XSDRSIZE BITS, XTDOMASK, XSDR and XSDRTDO of BITS bits
                    each (BITS over 8000 makes the card ask for operand
                    blocks of more than 1000 bytes)
  XCOMPLETE

Usage: make_xsvf.py OUT [--wide BITS]
"""
import struct
import sys

XCOMPLETE, XTDOMASK, XSIR, XSDR, XRUNTEST = 0x00, 0x01, 0x02, 0x03, 0x04
XREPEAT, XSDRSIZE, XSDRTDO, XENDIR, XENDDR, XCOMMENT = 0x07, 0x08, 0x09, 0x13, 0x14, 0x16


def u32(v):
    return struct.pack(">I", v)


def stream(wide_bits=0):
    out = bytearray()
    out += bytes([XCOMMENT]) + b"test\0"
    out += bytes([XREPEAT, 0])
    out += bytes([XRUNTEST]) + u32(0)
    out += bytes([XENDIR, 0, XENDDR, 0])
    out += bytes([XSIR, 6, 0x09])
    out += bytes([XSDRSIZE]) + u32(32)
    out += bytes([XTDOMASK]) + u32(0x0FFFFFFF)
    out += bytes([XSDRTDO]) + u32(0) + u32(0x01414093)
    out += bytes([XSIR, 6, 0x3F])
    out += bytes([XRUNTEST]) + u32(1000)
    out += bytes([XSDRSIZE]) + u32(8)
    out += bytes([XSDR, 0xA5])
    out += bytes([XTDOMASK, 0xFF])
    out += bytes([XSDRTDO, 0x5A, 0x00])
    if wide_bits:
        n = (wide_bits + 7) // 8
        data = bytes((i * 7 + 3) & 0xFF for i in range(n))
        out += bytes([XSDRSIZE]) + u32(wide_bits)
        out += bytes([XTDOMASK]) + b"\xff" * n
        out += bytes([XSDR]) + data
        out += bytes([XSDRTDO]) + data + bytes(reversed(data))
    out += bytes([XCOMPLETE])
    return bytes(out)


def main(argv):
    if len(argv) not in (2, 4) or (len(argv) == 4 and argv[2] != "--wide"):
        sys.stderr.write(__doc__)
        return 2
    wide = int(argv[3]) if len(argv) == 4 else 0
    with open(argv[1], "wb") as f:
        f.write(stream(wide))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
