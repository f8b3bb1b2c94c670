#!/usr/bin/env python3
"""The fault matrix: every mode against every fault card-sim injects, at the
first, a middle and the last exchange of the mode's main transfer.

  matrix.py UPDATER CARD-SIM [--quick] [--jobs N] [--only ROW[,ROW]] [--keep DIR]

The cells come from matrix.table (one line a row and fault).  Each cell
starts a fresh card, runs the updater with its input closed, and judges:

  ok    exit 0 and the card's state equal to the files
  fail  exit 1 with a message
  any   either of those (exit 0 with a wrong state is never right)
  limit either, or exit 0 with a wrong state: a fault the protocol gives the
        updater no way to see; counted apart, never as a false success
  operator  either, or still waiting at the limit while using almost no CPU:
        the card alone ends this wait (FPGA's stream has no time limit of its
        own), so the operator does; counted apart, never as a hang

A cell that outlives its limit is killed and counted as a hang; exit 0 with
a wrong state is a false success.  Prints the matrix (one letter a place:
'.' success, 'x' a clean failure, 'F' false success, 'u' undetectable by
the protocol, 'w' waiting for the operator, 'H' hang, '!' another outcome than the table says, ' ' not
run) and one summary line.  Exit 1 on any false success, hang or unexpected
outcome.
"""
import concurrent.futures
import os
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cells  # noqa: E402

PLACES = ("first", "middle", "last")
# Exchanges whose transfer length the card knows: it places first, middle and
# last itself.
SIZED = ("flash-write", "flash-read", "edid-byte", "gamma-value", "length", "echo")


def load_table(path):
    rows = []
    with open(path) as f:
        for n, line in enumerate(f, 1):
            line = line.split("#", 1)[0].split()
            if not line:
                continue
            row, column, expect, limit, quick = line[:5]
            extra = [w for w in line[5:] if w.startswith("--")]
            target = next((w for w in line[5:] if not w.startswith("--")), None)
            if row not in cells.MODES or column not in cells.COLUMNS or \
                    expect not in ("ok", "fail", "any", "limit", "operator"):
                raise SystemExit("matrix.table line %d: bad row, column or outcome" % n)
            rows.append(dict(row=row, column=column, expect=expect, limit=float(limit), quick=quick,
                             target=target, extra=extra))
    return rows


def counts_of(log):
    """Exchanges of each kind a calibration run noted (every exchange of the
    spoiled kinds carries a harmless slow=0 fault)."""
    counts = {}
    for line in (cells.read(log) or b"").decode("latin-1").splitlines():
        if "fault slow=0@" in line and "(" in line:
            kind, nth = line.rsplit("(", 1)[1].split(",")[0].rstrip(")").split()
            counts[kind] = max(counts.get(kind, 0), int(nth))
    return counts


def calibrate(args, row, targets, work):
    """A healthy run of the row's mode: it must succeed with the right state;
    returns the number of exchanges of each target kind."""
    mode = cells.MODES[row]
    d = tempfile.mkdtemp(prefix="cal-%s-" % row, dir=work)
    mode["setup"](d)
    faults = []
    for family, kind in sorted(targets):
        faults += [cells.OPTION[family], "slow=0@" + kind]
    card = cells.Card(args.cardsim, d, mode["card"] + faults)
    try:
        rc, secs, _ = cells.run_updater(args.updater, d, mode["args"], 300)
    finally:
        card.stop()
    check = mode["check"] or cells.verify_check(None)
    why = check(d)
    if rc != 0 or why:
        raise SystemExit("healthy %s run failed (exit %s, %s): see %s" % (row, rc, why, d))
    return counts_of(os.path.join(d, "card.log")), secs


def which(target, place, counts):
    family, kind = target
    if kind in SIZED:
        return "%s:%s" % (kind, place)
    total = counts.get(kind, 0)
    if total == 0:
        return None
    n = {"first": 1, "middle": total // 2 + 1, "last": total}[place]
    return "%s:%d" % (kind, n)


def run_cell(args, cell, work):
    mode = cells.MODES[cell["row"]]
    d = tempfile.mkdtemp(prefix="%s-%s-%s-" % (cell["row"], cell["column"], cell["place"]), dir=work)
    mode["setup"](d)
    check = mode["check"]
    if cell["row"] == "VERIFY":
        # The flash differs from the image in the block the fault hits, so a
        # fault that hides a block's words shows as a false success.
        blocks = cell["blocks"]
        block = {"first": 0, "middle": blocks // 2, "last": blocks - 1}[cell["place"]]
        cells.verify_flash(d, block)
        check = cells.verify_check(block)
    family, _ = cell["target"]
    card = cells.Card(args.cardsim, d, mode["card"] + [cells.OPTION[family], cell["fault"]])
    try:
        rc, secs, cpu = cells.run_updater(args.updater, d, mode["args"] + cell["extra"], cell["limit"])
    finally:
        card.stop()
    why = check(d)
    if rc is None:
        quiet = cpu < 0.05 * max(secs, 0.1)
        verdict = "w" if cell["expect"] == "operator" and quiet else "H"
    elif rc == 0 and why:
        verdict = "u" if cell["expect"] == "limit" else "F"
    elif rc == 0:
        verdict = "." if cell["expect"] in ("ok", "any", "limit", "operator") else "!"
    elif rc == 1 and cells.message_of(d):
        verdict = "x" if cell["expect"] in ("fail", "any", "limit", "operator") else "!"
    else:
        verdict = "!"
    cell.update(verdict=verdict, rc=rc, secs=secs, cpu=cpu, why=why, message=cells.message_of(d), dir=d)
    if verdict in ".xuw" and not args.keep:
        shutil.rmtree(d, ignore_errors=True)
    return cell


def main():
    args = cells.arguments(lambda ap: ap.add_argument("--only", default="", help="rows, comma-separated"))
    only = set(args.only.split(",")) - {""}

    table = [r for r in load_table(os.path.join(cells.HERE, "matrix.table")) if not only or r["row"] in only]
    work = tempfile.mkdtemp(prefix="faults-")
    started = time.monotonic()

    # Rows whose spoiled exchanges the card cannot place by itself get a
    # healthy run first that counts them.
    targets = {}
    for r in table:
        t = tuple(r["target"].split(":")) if r["target"] else cells.MODES[r["row"]]["target"]
        r["target"] = t
        if t[1] not in SIZED:
            targets.setdefault(r["row"], set()).add(t)
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        calibration = dict(zip(targets, pool.map(lambda row: calibrate(args, row, targets[row], work), targets)))

    todo = []
    for r in table:
        counts, _ = calibration.get(r["row"], ({}, 0))
        for place in PLACES:
            quick, _, full = r["quick"].partition("/")
            if place[0] not in (quick if args.quick else full or "fml"):
                continue
            w = which(r["target"], place, counts)
            if w is None:
                continue
            fault = cells.KIND[r["target"][0]].get(r["column"])
            if fault is None:
                raise SystemExit("%s has no %s fault" % (r["target"][0], r["column"]))
            todo.append(dict(r, place=place, fault=fault + "@" + w, blocks=cells.VERIFY_BLOCKS))

    # The longest cells first, so that two runners finish together.
    todo.sort(key=lambda c: -c["limit"])
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        done = list(pool.map(lambda c: run_cell(args, c, work), todo))

    # The matrix: rows by mode, columns by fault, three places a cell.
    grid = {}
    for c in done:
        grid.setdefault(c["row"], {}).setdefault(c["column"], {})[c["place"]] = c["verdict"]
    used = [col for col in cells.COLUMNS if any(col in grid[r] for r in grid)]
    print("%-10s" % "" + "".join("%-9s" % col[:8] for col in used))
    for row in cells.MODES:
        if row in grid:
            print("%-10s" % row + "".join("%-9s" % "".join(grid[row].get(col, {}).get(p, " ") for p in PLACES)
                                          if col in grid[row] else "%-9s" % "" for col in used))
    for row, (counts, secs) in calibration.items():
        print("healthy %-10s %5.1f s" % (row, secs))

    bad = [c for c in done if c["verdict"] in "FH!"]
    for c in bad:
        print("%s %s %s@%s: exit %s after %.1f s, %s; %s  [%s]" % (
            c["verdict"], c["row"], c["column"], c["place"], c["rc"], c["secs"], c["why"] or "state right",
            c["message"], c["dir"]))
    fails = [c for c in done if c["rc"] not in (0, None)]
    slow = max(fails, key=lambda c: c["secs"]) if fails else None
    cpu = max(done, key=lambda c: c["cpu"] / max(c["secs"], 0.1)) if done else None
    print("faults: %d cells, %d false successes, %d hangs, %d unexpected, %d undetectable by the protocol, "
          "%d waiting for the operator; "
          "slowest failure %s; highest CPU %s; %.0f s" % (
              len(done), sum(c["verdict"] == "F" for c in done), sum(c["verdict"] == "H" for c in done),
              sum(c["verdict"] == "!" for c in done), sum(c["verdict"] == "u" for c in done),
              sum(c["verdict"] == "w" for c in done),
              "%.1f s (%s %s@%s)" % (slow["secs"], slow["row"], slow["column"], slow["place"]) if slow else "-",
              "%.0f %% (%s %s@%s)" % (100 * cpu["cpu"] / max(cpu["secs"], 0.1), cpu["row"], cpu["column"],
                                      cpu["place"]) if cpu else "-",
              time.monotonic() - started))
    if not bad and not args.keep:
        shutil.rmtree(work, ignore_errors=True)
    else:
        print("cell folders kept under " + work)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
