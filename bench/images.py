"""Update files for the benchmark jobs, made from repeatable patterns.

The XSVF and S-record writers of the end-to-end tests are reused; this adds
the sizes the benchmark needs: a ~100 KiB XSVF stream of 1000-byte shifts,
full-size boot kernels, flash images of 256 KiB to 2 MiB.
"""
import importlib.util
import os
import struct

E2E = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e")


def _load(name):
    found = importlib.util.spec_from_file_location(name, os.path.join(E2E, name + ".py"))
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


xsvf = _load("make_xsvf")
srecords = _load("micro_image")


def pattern(size, seed):
    """SIZE bytes that repeat every 251 bytes, shifted by SEED."""
    period = bytes((k * 37 + seed) & 0xFF for k in range(251))
    return (period * (size // 251 + 1))[:size]


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def fpga_stream(shifts):
    """The tests' small stream, then SHIFTS data shifts of 1000 bytes: the card
    asks for each instruction's opcode and then for its 1000-byte operand."""
    body = xsvf.stream()[:-1]  # without its XCOMPLETE
    body += bytes([xsvf.XSDRSIZE]) + struct.pack(">I", 8000)
    for k in range(shifts):
        body += bytes([xsvf.XSDR]) + pattern(1000, k)
    return body + bytes([xsvf.XCOMPLETE])


def driver(tag):
    """An ISP driver of 8 KiB: 384 driver blocks from 0x800; the card knows a
    driver by the tag at its entry address."""
    body = bytearray(pattern(0x2000, 3))
    body[0x800:0x800 + len(tag) + 1] = tag.encode() + b"\0"
    return bytes(body)


def gamma_csv():
    return "".join("%d,%d,%d\n" % (i, 1023 - i, (i * 7) % 1024) for i in range(1024)).encode()


def remote_script(commands):
    lines = ["@benchmark script"] + ["#OUTPUT %d" % (k % 4) for k in range(commands)]
    return ("\n".join(lines) + "\n").encode()


def micro_files(folder, kernel_size, image_size):
    """Three boot kernels of KERNEL_SIZE bytes and an appMain.mot of
    IMAGE_SIZE data bytes: 1024 from address 0, the rest from 0x800."""
    write(os.path.join(folder, "uGen7144.cde"), pattern(kernel_size, 1))
    write(os.path.join(folder, "Genm7144.cde"), pattern(kernel_size, 2))
    write(os.path.join(folder, "Genw7144.cde"), pattern(kernel_size, 3))
    image = pattern(image_size, 4)
    srecords.srec(image[:1024], image[1024:], os.path.join(folder, "appMain.mot"), 32)
