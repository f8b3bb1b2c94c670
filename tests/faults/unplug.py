#!/usr/bin/env python3
"""Unplug and Ctrl-C in every mode.

  unplug.py UPDATER CARD-SIM [--quick] [--keep]

unplug  the line vanishes mid-run (card-sim's `vanish`): exit 1 with a
        message within 15 s, the updater's CPU time under 5 % of the wall
        time.  When the card drops the line at every identification, the
        updater repeats it (output near a pass a second, CPU low, Ctrl-C
        ends it) or ends with exit 1 and a message.
ctrl-c  the updater runs on a pseudo-terminal and gets SIGINT mid-run
        (while the card answers late): it must end by the signal or with
        status 130 within 1 s, leave the terminal's settings as they were,
        and let the next run open the port.
Prints one line a case and a summary line; exit 1 when a case fails.
"""
import os
import pty
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import termios
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cells  # noqa: E402

# A point in the middle of each mode's run: (family, exchange).
MIDDLE = {
    "VIPER5": ("vxp", "driver-write:100"),
    "VERIFY": ("vxp", "flash-read:middle"),
    "STATUS": ("vxp", "status:1"),
    "MICRO": ("boot", "block:5"),
    "MICROBOOT": ("boot", "block:5"),
    "FPGA": ("channel", "fpga-request:17"),
    "EDID": ("channel", "edid-byte:middle"),
    "GAMMA": ("channel", "gamma-value:middle"),
    "REMOTE": ("channel", "remote:3"),
    "ALL": ("vxp", "driver-write:100"),
}
QUICK = ("VIPER5", "FPGA", "EDID")
MAX_CPU = 0.05


def cell(mode_name, work, faults):
    mode = cells.MODES[mode_name]
    d = tempfile.mkdtemp(prefix="unplug-%s-" % mode_name, dir=work)
    mode["setup"](d)
    if mode_name == "VERIFY":
        cells.verify_flash(d, None)
    return d, mode, cells.Card(cells.CARDSIM, d, mode["card"] + faults)


def unplugged(mode_name, work):
    family, which = MIDDLE[mode_name]
    d, mode, card = cell(mode_name, work, [cells.OPTION[family], "vanish@" + which])
    try:
        rc, secs, cpu = cells.run_updater(cells.UPDATER, d, mode["args"], 15)
    finally:
        card.stop()
    why = []
    if rc != 1 or not cells.message_of(d):
        why.append("exit %s, %r" % (rc, cells.message_of(d)))
    if cpu > MAX_CPU * max(secs, 1):
        why.append("CPU %.2f s of %.1f s" % (cpu, secs))
    return d, "exit %s after %.1f s, CPU %.0f %%: %s" % (rc, secs, 100 * cpu / max(secs, 0.1),
                                                        cells.message_of(d)), why


def identification_repeats(work):
    """The card is gone before it answers: the port no longer opens."""
    d, mode, card = cell("STATUS", work, [])
    card.stop()
    watch = 6.0
    try:
        env = dict(os.environ, UPDATER_PORT_COM7=os.path.join(d, "com7"))
        with open(os.path.join(d, "out"), "wb") as out:
            proc = subprocess.Popen([cells.UPDATER, "COM7", "STATUS"], cwd=d, env=env,
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
            time.sleep(watch)
            got, status, usage = os.wait4(proc.pid, os.WNOHANG)
            alive = not got
            start = time.monotonic()
            if alive:
                proc.send_signal(signal.SIGINT)
                usage = _wait(proc.pid, 3)
            stop = time.monotonic() - start
            proc.returncode = -1
    finally:
        card.stop()
    text = cells.read(os.path.join(d, "out")) or b""
    lines = text.count(b"\n") + text.count(b"\r")
    cpu = usage.ru_utime + usage.ru_stime if usage else -1
    why = []
    if not alive and (os.waitstatus_to_exitcode(status) != 1 or not text.strip()):
        why.append("ended with status %s" % os.waitstatus_to_exitcode(status))
    if lines > 4 * watch or len(text) > 400 * watch:
        why.append("%d lines, %d bytes in %.0f s" % (lines, len(text), watch))
    if usage is None or cpu > MAX_CPU * watch:
        why.append("CPU %.2f s, stopped %s" % (cpu, "in %.1f s" % stop if usage else "only by force"))
    return d, "%d lines, %d bytes in %.0f s, CPU %.2f s, %s" % (
        lines, len(text), watch, cpu, "Ctrl-C ended it in %.1f s" % stop if alive else "exit 1 at open"), why


def _wait(pid, limit):
    """The child's resource use once it ends within `limit` s; None when it
    had to be killed."""
    end = time.monotonic() + limit
    while time.monotonic() < end:
        got, _, usage = os.wait4(pid, os.WNOHANG)
        if got:
            return usage
        time.sleep(0.02)
    os.kill(pid, signal.SIGKILL)
    os.wait4(pid, 0)
    return None


def ctrl_c(mode_name, work):
    family, which = MIDDLE[mode_name]
    # The card answers late at the middle point: Ctrl-C comes while the
    # updater waits for it.
    d, mode, card = cell(mode_name, work, [cells.OPTION[family], "slow=5000@" + which])
    log = os.path.join(d, "card.log")
    why = []
    try:
        pid, master = pty.fork()
        if pid == 0:
            os.chdir(d)
            os.environ["UPDATER_PORT_COM7"] = os.path.join(d, "com7")
            os.execv(cells.UPDATER, [cells.UPDATER, "COM7"] + mode["args"])
        before = termios.tcgetattr(master)
        out = bytearray()
        start = time.monotonic()
        while b"fault slow" not in (cells.read(log) or b"") and time.monotonic() - start < 30:
            out += _drain(master, 0.1)
        time.sleep(0.3)
        out += _drain(master, 0)
        os.kill(pid, signal.SIGINT)
        sent = time.monotonic()
        status = None
        while time.monotonic() - sent < 3:
            out += _drain(master, 0.02)
            got, st = os.waitpid(pid, os.WNOHANG)
            if got:
                status = st
                break
        took = time.monotonic() - sent
        if status is None:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
        after = termios.tcgetattr(master)
        os.close(master)
        code = None if status is None else os.waitstatus_to_exitcode(status)
        if code not in (130, -signal.SIGINT) or took > 1.0:
            why.append("exit %s after %.1f s" % (code, took))
        if after != before:
            why.append("the terminal's settings changed")
        # The next run must open the port.
        rc, _, _ = cells.run_updater(cells.UPDATER, d, mode["args"], 3)
        again = (cells.read(os.path.join(d, "out")) or b"") + (cells.read(os.path.join(d, "err")) or b"")
        if b"already open" in again.lower() or b"busy" in again.lower():
            why.append("the next run: " + cells.message_of(d))
    finally:
        card.stop()
    with open(os.path.join(d, "out.ctrl-c"), "wb") as f:
        f.write(bytes(out))
    return d, "exit %s %.2f s after SIGINT, terminal %s" % (
        code, took, "as before" if after == before else "changed"), why


def _drain(fd, timeout):
    data = bytearray()
    while select.select([fd], [], [], timeout)[0]:
        try:
            chunk = os.read(fd, 4096)
        except OSError:
            break
        if not chunk:
            break
        data += chunk
        timeout = 0
    return bytes(data)


def main():
    args = cells.arguments(jobs=False)  # one case at a time
    cells.UPDATER = args.updater
    cells.CARDSIM = args.cardsim
    work = tempfile.mkdtemp(prefix="unplug-")
    started = time.monotonic()
    modes = QUICK if args.quick else tuple(MIDDLE)
    cases = [("unplug", m, lambda m=m: unplugged(m, work)) for m in modes]
    cases.append(("unplug", "identification", lambda: identification_repeats(work)))
    cases += [("ctrl-c", m, lambda m=m: ctrl_c(m, work)) for m in modes]
    bad = 0
    for kind, name, run in cases:
        d, what, why = run()
        print("%-7s %-15s %s%s" % (kind, name, what, ("  FAILED: %s [%s]" % ("; ".join(why), d)) if why else ""))
        bad += bool(why)
        if not why and not args.keep:
            shutil.rmtree(d, ignore_errors=True)
    print("unplug: %d cases, %d failed; %.0f s" % (len(cases), bad, time.monotonic() - started))
    if not bad and not args.keep:
        shutil.rmtree(work, ignore_errors=True)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
