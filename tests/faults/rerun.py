#!/usr/bin/env python3
"""Cut and run again: an update whose line drops part-way is finished by the
same command on the same card after a power cycle.

  rerun.py UPDATER CARD-SIM [--quick] [--seeds N] [--seed S] [--jobs N] [--keep]

Each case cuts the line (card-sim's `vanish`) at a seeded random exchange of
one mode's run, then stops that card and starts a fresh card-sim on the same
state folder (a power cycle) and runs the same command again.  The cut run
must end within its limit and never claim a success over a wrong state; the
second run must exit 0 with the card's state equal to the files.  A MICRO
cut can leave the microcontroller's flash erased or half-written: the card
then powers on in its boot program and the updater must find it there.
Prints one line a case and a summary line; exit 1 when a case fails.
"""
import concurrent.futures
import os
import random
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cells  # noqa: E402

# Where a cut may land, per mode: (family, exchange kind, how many of them a
# healthy run has).  The counts follow from the files cells.py writes: one
# 4 KiB driver in 16-byte frames, 128 EDID bytes, 3 x 1024 gamma values, ten
# 128-byte micro blocks (1 KiB at 0, 256 bytes at 0x800), 37 XSVF requests.
VIPER_POINTS = [("vxp", "driver-write", 256), ("vxp", "mode", 1), ("vxp", "flash-write", None)]
POINTS = {
    "VIPER1": VIPER_POINTS,
    "VIPER5": VIPER_POINTS,
    "VIPER7": VIPER_POINTS,
    "MICRO": [("channel", "micro", 1), ("boot", "echo", None), ("boot", "erase", 1),
              ("boot", "status", 1), ("boot", "write-kernel", 1), ("boot", "block", 10),
              ("boot", "block", 10)],
    "FPGA": [("channel", "fpga-request", 37)],
    "EDID": [("channel", "edid-byte", 128)],
    "GAMMA": [("channel", "gamma-value", 3072)],
}
LIMIT = {"VIPER1": 90, "VIPER5": 90, "VIPER7": 90, "MICRO": 60, "FPGA": 30, "EDID": 30, "GAMMA": 40}


def cut_point(rng, row):
    family, kind, count = rng.choice(POINTS[row])
    if count is None:  # a transfer the card knows the length of
        return family, "%s:%s" % (kind, rng.choice(("first", "middle", "last")))
    return family, "%s:%d" % (kind, rng.randint(1, count))


def run_case(args, row, seed, work):
    rng = random.Random("%s-%d" % (row, seed))
    family, which = cut_point(rng, row)
    mode = cells.MODES[row]
    d = tempfile.mkdtemp(prefix="rerun-%s-%d-" % (row, seed), dir=work)
    mode["setup"](d)
    case = dict(row=row, seed=seed, cut="%s vanish@%s" % (family, which), dir=d, why=None)

    card = cells.Card(args.cardsim, d, mode["card"] + [cells.OPTION[family], "vanish@" + which])
    try:
        rc1, secs1, _ = cells.run_updater(args.updater, d, mode["args"], LIMIT[row])
    finally:
        card.stop()
    dropped = b"line dropped" in (cells.read(os.path.join(d, "card.log")) or b"")
    os.rename(os.path.join(d, "out"), os.path.join(d, "out.cut"))
    if rc1 is None:
        case["why"] = "the cut run hung"
    elif rc1 == 0 and mode["check"](d):
        case["why"] = "the cut run claimed success over a wrong state"
    elif rc1 != 0 and not dropped:
        case["why"] = "the cut run failed without a cut (exit %s)" % rc1

    # The power cycle: a fresh card on the same state folder.
    card = cells.Card(args.cardsim, d, mode["card"])
    try:
        rc2, secs2, _ = cells.run_updater(args.updater, d, mode["args"], LIMIT[row] + 60)
    finally:
        card.stop()
    if not case["why"]:
        wrong = mode["check"](d)
        if rc2 != 0 or wrong:
            case["why"] = "the second run: exit %s, %s; %s" % (rc2, wrong or "state right", cells.message_of(d))
    case.update(rc1=rc1, rc2=rc2, secs=secs1 + secs2, hit=dropped)
    if not case["why"] and not args.keep:
        shutil.rmtree(d, ignore_errors=True)
    return case


def main():
    def own(ap):
        ap.add_argument("--seeds", type=int, default=3, help="cases a mode (the quick run: one)")
        ap.add_argument("--seed", type=int, default=int(os.environ.get("FAULTS_SEED", "1")))
    args = cells.arguments(own)

    if args.quick:
        # One case a mode; the VIPER device follows the seed.
        viper = "VIPER%d" % (1, 5, 7)[args.seed % 3]
        todo = [(row, args.seed) for row in (viper, "MICRO", "FPGA", "EDID", "GAMMA")]
    else:
        todo = [(row, args.seed + k) for row in POINTS for k in range(args.seeds)]
    todo.sort(key=lambda t: -LIMIT[t[0]])
    work = tempfile.mkdtemp(prefix="rerun-")
    started = time.monotonic()
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        done = list(pool.map(lambda t: run_case(args, t[0], t[1], work), todo))

    for c in done:
        print("%-7s seed %-3d %-34s cut run exit %-4s then exit %-4s %5.1f s  %s" % (
            c["row"], c["seed"], c["cut"], c["rc1"], c["rc2"], c["secs"],
            ("FAILED: %s [%s]" % (c["why"], c["dir"])) if c["why"] else
            ("ok" if c["hit"] else "ok (the cut fell past the end)")))
    bad = [c for c in done if c["why"]]
    print("rerun: %d cases, %d finished by the second run, %d failed; %.0f s" % (
        len(done), len(done) - len(bad), len(bad), time.monotonic() - started))
    if not bad and not args.keep:
        shutil.rmtree(work, ignore_errors=True)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
