#!/usr/bin/env python3
"""Test files for the microcontroller reflash.

  micro_image.py srec PART1 PART2 OUT.mot [--record N] [--fault KIND]
      S-records for flash: PART1 (1024 bytes) from address 0, PART2 from
      0x800, then the terminating S3 record at 0xFFFF0000 and an S7 record.
      KIND breaks the image: lowercase, checksum, gap, noterm, straddle.
  micro_image.py flash PART1 PART2 OUT.bin
      The microcontroller flash the image should leave: 0x40800 bytes, erased
      to 0xFF, PART1 at 0 and PART2 at 0x800.
  micro_image.py output MICRO_KERNEL_SIZE SECOND_PART_SIZE OUT.txt|-
      The console output of a whole successful boot-mode programming run,
      progress lines included.
  micro_image.py terminate IN.srec OUT.mot
      Copies the data records of a tool's output and appends the
      terminating S3 record and an S7 end record.
"""
import sys

FLASH_SIZE = 0x40800


def record(kind, addr_bytes, address, data):
    body = bytes([addr_bytes + len(data) + 1]) + address.to_bytes(addr_bytes, "big") + bytes(data)
    checksum = (~sum(body)) & 0xFF
    return "S%s%s%02X" % (kind, body.hex().upper(), checksum)


def s3(address, data):
    return record("3", 4, address, data)


def srec(part1, part2, out, size=16, fault=None):
    lines = [record("0", 2, 0, b"appMain")]
    first_size = 48 if fault == "straddle" else size
    for off in range(0, len(part1), first_size):
        lines.append(s3(off, part1[off:off + first_size]))
    start = 0x810 if fault == "gap" else 0x800
    for off in range(0, len(part2), size):
        lines.append(s3(start + off, part2[off:off + size]))
    if fault != "noterm":
        lines.append(s3(0xFFFF0000, b""))
    lines.append(record("7", 4, 0, b""))
    if fault == "lowercase":
        lines[4] = lines[4][:12] + "ab" + lines[4][14:]
    if fault == "checksum":
        last = lines[9][-2:]
        lines[9] = lines[9][:-2] + ("%02X" % ((int(last, 16) + 1) & 0xFF))
    with open(out, "w") as f:
        f.write("\n".join(lines) + "\n")


def flash(part1, part2, out):
    image = bytearray(b"\xFF" * FLASH_SIZE)
    image[0:len(part1)] = part1
    image[0x800:0x800 + len(part2)] = part2
    with open(out, "wb") as f:
        f.write(image)


def terminate(src, out):
    with open(src) as f:
        lines = [l.strip() for l in f if l.startswith(("S1", "S2", "S3"))]
    lines.append(s3(0xFFFF0000, b""))
    lines.append(record("7", 4, 0, b""))
    with open(out, "w") as f:
        f.write("\n".join(lines) + "\n")


def output(kernel_size, second_size, out):
    text = "\n->CHECKING COMMUNICATION WITH SH2...OK\n->SENDING MICRO KERNEL...\n"
    for i in range(kernel_size):
        text += "\rJob at %0.2f %%" % (i * 100 / kernel_size + 0.05)
    text += "\rJob at 100 %     \n\rOK\n->SET PARAMETERS...OK\n->SENDING MAIN KERNEL...OK"
    text += "\n->Set PARAMETERS...OK\n->WRITING .MOT FILE  TO FLASH MEMORY...\n"
    for i in range(1, (second_size + 127) // 128 * 128 + 1):
        text += " \rJob at %0.2f %%" % min(100.0, i * 100 / second_size - 0.05)
    text += "\rJob at 100 %      \n\rOK\nEND...REBOOT THE DEVICE!\n"
    if out in ("-", "/dev/stdout"):
        sys.stdout.write(text)
        sys.stdout.flush()
        return
    with open(out, "w", newline="") as f:
        f.write(text)


def main(argv):
    cmd = argv[1]
    if cmd == "output":
        output(int(argv[2]), int(argv[3]), argv[4])
        return 0
    if cmd == "terminate":
        terminate(argv[2], argv[3])
        return 0
    part1 = open(argv[2], "rb").read()
    part2 = open(argv[3], "rb").read()
    if cmd == "flash":
        flash(part1, part2, argv[4])
        return 0
    size, fault = 16, None
    rest = argv[5:]
    while rest:
        if rest[0] == "--record":
            size = int(rest[1])
        elif rest[0] == "--fault":
            fault = rest[1]
        rest = rest[2:]
    srec(part1, part2, argv[4], size, fault)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
