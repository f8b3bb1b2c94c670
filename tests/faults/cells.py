"""The modes the fault runs exercise: for each, the files it needs, the
card it runs against, the command, and how to tell the card's state is
right afterwards.  Shared by the matrix (matrix.py) and the cut-and-rerun
runs (rerun.py).

A cell runs in its own folder: the updater's current directory, with the
card's state in ./state, its exchange log in ./card.log and the console
output in ./out.
"""
import argparse
import os
import re
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
E2E = os.path.join(os.path.dirname(HERE), "e2e")

# Families of card-sim's fault options, and the column names they answer to
# (a column is one way an answer goes wrong, whatever the protocol).
OPTION = {"vxp": "--vxp-fault", "micro": "--micro-fault", "channel": "--channel-fault",
          "boot": "--boot-fault"}
KIND = {
    "vxp": {"silence": "silence", "refuse": "nack", "echo": "echo", "badsum": "badsum",
            "wronglen": "wronglen", "noise": "noise=7", "cut": "cut", "slow": "slow=1500",
            "short": "short=5", "garbled": "garbled", "noprogram": "noprogram=3",
            "stall": "stall", "vanish": "vanish"},
    "micro": {"silence": "silence", "refuse": "unknown", "echo": "echo", "noise": "noise=7",
              "slow": "slow=1500", "stall": "stall", "vanish": "vanish", "wrong": "invalid"},
    "channel": {"silence": "silence", "refuse": "refuse", "echo": "echo", "noise": "noise=7",
                "cut": "cut", "slow": "slow=1500", "stall": "stall", "vanish": "vanish"},
    "boot": {"silence": "silence", "refuse": "refuse", "badsum": "badsum", "noise": "noise=7",
             "slow": "slow=1500", "stall": "stall", "vanish": "vanish", "wrong": "wrong",
             "noprogram": "noprogram=5"},
}
COLUMNS = ["silence", "refuse", "echo", "badsum", "wronglen", "noise", "cut", "slow", "short",
           "garbled", "noprogram", "wrong", "stall", "vanish"]


def arguments(add=None, jobs=True):
    """The command line the runners share: the updater and card-sim to run
    (made absolute), --quick (also FAULTS_QUICK=1), --jobs (where cases run
    side by side) and --keep; ADD puts a runner's own options on the parser."""
    ap = argparse.ArgumentParser()
    ap.add_argument("updater")
    ap.add_argument("cardsim")
    ap.add_argument("--quick", action="store_true", default=bool(os.environ.get("FAULTS_QUICK")))
    if jobs:
        ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--keep", action="store_true", help="keep the work folders")
    if add:
        add(ap)
    args = ap.parse_args()
    args.updater = os.path.abspath(args.updater)
    args.cardsim = os.path.abspath(args.cardsim)
    return args


def py(script, *args):
    subprocess.run([sys.executable, os.path.join(E2E, script)] + [str(a) for a in args],
                   check=True, stdout=subprocess.DEVNULL)


def pattern(size, seed):
    return bytes(((k * 37 + seed) ^ (k >> 8)) & 0xFF for k in range(size))


def driver(tag):
    body = bytearray(((k * 11 + 3) & 0xFF) for k in range(0x1000))
    body[0x800:0x800 + len(tag) + 1] = tag.encode() + b"\0"
    return bytes(body)


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


def padded(data):
    return data + b"\xff" * (-len(data) % 32)


# --- the modes ---------------------------------------------------------------
# Each: args (the updater's command line after COM7), card (card-sim's
# options), setup(dir) writing the files, check(dir) -> None when the card's
# state is right or a text saying what is wrong, and `target`: the family and
# exchange kind whose first, middle and last exchanges the matrix spoils.


def setup_viper(device):
    def setup(d):
        write(os.path.join(d, "FDriver.bin"), driver("FDRIVER"))
        write(os.path.join(d, "SFDriver.bin"), driver("SFDRIVER"))
        # Device 1 in two blocks; devices 5 and 7: the 256-byte header and
        # three data blocks, the last one short (padded on the card).
        size = 0x40 if device == 1 else 0x100 + 0x50
        write(os.path.join(d, "Device%d.bin" % device), pattern(size, device))
    return setup


def check_same(state_name, want):
    def check(d):
        have = read(os.path.join(d, "state", state_name))
        expected = want(d)
        if have == expected:
            return None
        return "%s %s" % (state_name, "missing" if have is None else "differs")
    return check


def viper_want(device):
    return lambda d: padded(read(os.path.join(d, "Device%d.bin" % device)))


VERIFY_BLOCKS = 11  # 0x160 bytes read back in 32-byte blocks


def setup_verify(d):
    # The image has a zero word at the end of every block; the flash differs
    # from it in exactly one of them (set per cell by `verify_flash`).
    img = bytearray(pattern(VERIFY_BLOCKS * 32, 5))
    for off in range(30, len(img), 32):
        img[off:off + 2] = b"\0\0"
    write(os.path.join(d, "Device5.bin"), bytes(img))
    os.makedirs(os.path.join(d, "state"), exist_ok=True)
    write(os.path.join(d, "state", "flash5.bin"), bytes(img))


def setup_fpga(d):
    py("make_xsvf.py", os.path.join(d, "fpga.xsvf"))


def setup_edid(d):
    write(os.path.join(d, "EDID.bin"), pattern(128, 9))


def gamma_lines():
    return ["%d,%d,%d" % (i, 1023 - i, (i * 7) % 1024) for i in range(1024)]


def setup_gamma(d):
    with open(os.path.join(d, "gamma.csv"), "w") as f:
        f.write("\r\n".join(gamma_lines()) + "\r\n")


def check_gamma(d):
    have = read(os.path.join(d, "state", "gamma.txt"))
    if have is None:
        return "gamma.txt missing"
    values = [int(v) for v in re.findall(rb"\d+", have)]
    want = [int(v) for line in gamma_lines() for v in line.split(",")]
    return None if values == want else "gamma.txt differs"


REMOTE_LINES = ["#OUTPUT 1", "#FORMAT 2", "#MUTE 0", "#INPUT 3", "#LEVEL 4"]


def setup_remote(d):
    with open(os.path.join(d, "remote.txt"), "w") as f:
        f.write("\n".join(REMOTE_LINES) + "\n@Done\n")


def check_remote(d):
    have = read(os.path.join(d, "state", "remote.log"))
    want = "".join("ACK %s\n" % line[1:] for line in REMOTE_LINES).encode()
    if have is None:
        return "remote.log missing"
    return None if have.endswith(want) else "remote.log lacks a command"


def setup_micro(d):
    write(os.path.join(d, "uGen7144.cde"), pattern(120, 1))
    write(os.path.join(d, "Genm7144.cde"), pattern(90, 2))
    write(os.path.join(d, "Genw7144.cde"), pattern(70, 3))
    write(os.path.join(d, "part1.bin"), pattern(1024, 4))
    write(os.path.join(d, "part2.bin"), pattern(256, 5))
    py("micro_image.py", "srec", os.path.join(d, "part1.bin"), os.path.join(d, "part2.bin"),
       os.path.join(d, "appMain.mot"), "--record", "32")
    py("micro_image.py", "flash", os.path.join(d, "part1.bin"), os.path.join(d, "part2.bin"),
       os.path.join(d, "expected_flash.bin"))


def check_micro(d):
    for name, src in (("micro_flash.bin", "expected_flash.bin"), ("boot_micro_kernel.bin", "uGen7144.cde"),
                      ("boot_main_kernel.bin", "Genm7144.cde"), ("boot_write_kernel.bin", "Genw7144.cde")):
        if read(os.path.join(d, "state", name)) != read(os.path.join(d, src)):
            return name + " differs"
    return None


def check_status(d):
    out = read(os.path.join(d, "out")) or b""
    return None if b"VXP STATUS" in out else "no status report"


def setup_all(d):
    setup_viper(5)(d)
    setup_viper(1)(d)
    setup_fpga(d)
    setup_edid(d)


def check_all(d):
    for check in (check_same("flash5.bin", viper_want(5)), check_same("flash1.bin", viper_want(1)),
                  check_same("fpga.xsvf", lambda d: read(os.path.join(d, "fpga.xsvf"))),
                  check_same("edid.bin", lambda d: read(os.path.join(d, "EDID.bin")))):
        why = check(d)
        if why:
            return why
    return None


def file_in(name):
    return lambda d: read(os.path.join(d, name))


MODES = {
    "FPGA": dict(args=["FPGA", "fpga.xsvf"], card=["--model", "HDMITOSDI"], setup=setup_fpga,
                 check=check_same("fpga.xsvf", file_in("fpga.xsvf")), target=("channel", "fpga-request")),
    "VIPER1": dict(args=["VIPER", "Device1.bin"], card=["--model", "HDMITOSDI"], setup=setup_viper(1),
                   check=check_same("flash1.bin", viper_want(1)), target=("vxp", "flash-write")),
    "VIPER5": dict(args=["VIPER", "Device5.bin"], card=["--model", "HDMITOSDI"], setup=setup_viper(5),
                   check=check_same("flash5.bin", viper_want(5)), target=("vxp", "flash-write")),
    "VIPER7": dict(args=["VIPER", "Device7.bin"], card=["--model", "HDMITOSDI"], setup=setup_viper(7),
                   check=check_same("flash7.bin", viper_want(7)), target=("vxp", "flash-write")),
    "VERIFY": dict(args=["VERIFY", "Device5.bin"], card=["--model", "HDMITOSDI"], setup=setup_verify,
                   check=None, target=("vxp", "flash-read")),
    "STATUS": dict(args=["STATUS"], card=["--model", "HDMITOSDI"], setup=lambda d: None,
                   check=check_status, target=("vxp", "status")),
    "MICRO": dict(args=["MICRO"], card=["--model", "HDMITOSDI"], setup=setup_micro, check=check_micro,
                  target=("boot", "block")),
    "MICROBOOT": dict(args=["MICRO"], card=["--boot-mode"], setup=setup_micro, check=check_micro,
                      target=("boot", "block")),
    "EDID": dict(args=["EDID", "EDID.bin"], card=["--model", "HDMITOSDI"], setup=setup_edid,
                 check=check_same("edid.bin", file_in("EDID.bin")), target=("channel", "edid-byte")),
    "GAMMA": dict(args=["GAMMA", "gamma.csv"], card=["--model", "SDITOHDMI"], setup=setup_gamma,
                  check=check_gamma, target=("channel", "gamma-value")),
    "REMOTE": dict(args=["REMOTE", "remote.txt"], card=["--model", "SDITODVI"], setup=setup_remote,
                   check=check_remote, target=("channel", "remote")),
    "ALL": dict(args=["ALL"], card=["--model", "HDMITOSDI"], setup=setup_all, check=check_all,
                target=("vxp", "flash-write")),
}


def verify_check(block):
    """VERIFY's state is right when its verdict matches the flash: the flash
    differs from the image in the last word of block `block` (None: equal),
    so exit 0 is right only when nothing differs."""
    def check(d):
        return None if block is None else "the flash differs from the image (block %d)" % block
    return check


def verify_flash(d, block):
    if block is None:
        return
    path = os.path.join(d, "state", "flash5.bin")
    flash = bytearray(read(path))
    # Blocks in the order VERIFY reads them: the image from 0 in 32-byte blocks.
    flash[block * 32 + 30] ^= 0x5A
    write(path, bytes(flash))


# --- running -------------------------------------------------------------------


class Card:
    """card-sim on a pseudo-terminal linked at DIR/com7."""

    def __init__(self, cardsim, d, options):
        self.link = os.path.join(d, "com7")
        try:
            os.unlink(self.link)
        except OSError:
            pass
        self.err = open(os.path.join(d, "card.err"), "ab")
        self.proc = subprocess.Popen([cardsim, "--link", self.link, "--state", os.path.join(d, "state"),
                                      "--log", os.path.join(d, "card.log")] + options,
                                     stdout=subprocess.DEVNULL, stderr=self.err)
        for _ in range(500):
            if os.path.islink(self.link):
                return
            if self.proc.poll() is not None:
                break
            time.sleep(0.01)
        raise RuntimeError("card-sim did not start: " + open(os.path.join(d, "card.err")).read())

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.err.close()


def run_updater(updater, d, args, limit, stdin=subprocess.DEVNULL):
    """Runs the updater in `d` for at most `limit` s.  Returns (status, or
    None when it had to be killed; seconds; user+system CPU seconds)."""
    env = dict(os.environ, UPDATER_PORT_COM7=os.path.join(d, "com7"))
    start = time.monotonic()
    with open(os.path.join(d, "out"), "wb") as out, open(os.path.join(d, "err"), "wb") as err:
        proc = subprocess.Popen([updater, "COM7"] + args, cwd=d, env=env, stdin=stdin, stdout=out,
                                stderr=err, start_new_session=True)
        rc = None
        while True:
            pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
            if pid:
                break
            if time.monotonic() - start > limit:
                os.killpg(proc.pid, signal.SIGKILL)
                pid, status, usage = os.wait4(proc.pid, 0)
                status = None
                break
            time.sleep(0.05)
        proc.returncode = -1  # reaped here
        if status is not None:
            rc = os.waitstatus_to_exitcode(status)
    return rc, time.monotonic() - start, usage.ru_utime + usage.ru_stime


def message_of(d):
    """The run's last words: the last non-empty line of its output or errors."""
    text = (read(os.path.join(d, "err")) or b"") + b"\n" + (read(os.path.join(d, "out")) or b"")
    lines = [l.strip() for l in re.split(rb"[\r\n]+", text) if l.strip() and l.strip() != b"Exit updater"]
    return lines[-1].decode("latin-1")[:60] if lines else ""
