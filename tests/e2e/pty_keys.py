#!/usr/bin/env python3
"""pty_keys.py KEYS_FILE COMMAND...: runs COMMAND with a pseudo-terminal as
its standard input and types the bytes of KEYS_FILE into it.

The end-to-end scripts press keys only this way, for the native updater and
for updater.exe under Wine alike: Wine's _getch reads nothing from a pipe or
a file (it returns -1 at once), only a terminal reaches the program's
console.  Keys typed before the program asks for them wait in the
terminal's (or the console's) input queue.  Standard output and error stay
as given, so the program's output is not mixed with the terminal's echo.
A terminal has no end of input: the keys must cover every key the run
waits for.  The exit status is the command's (128 + N when a signal N ended
it); SIGTERM is passed on to the command, which then ends as it does on its
own.
"""
import os
import pty
import select
import signal
import subprocess
import sys
import tty


def main():
    with open(sys.argv[1], "rb") as f:
        keys = f.read()
    master, slave = pty.openpty()
    tty.setraw(slave)
    proc = subprocess.Popen(sys.argv[2:], stdin=slave)
    os.close(slave)
    signal.signal(signal.SIGTERM, lambda *_: proc.terminate())
    os.write(master, keys)
    while proc.poll() is None:
        # Drain what the program writes back to the terminal.
        try:
            ready, _, _ = select.select([master], [], [], 0.1)
            if ready:
                os.read(master, 4096)
        except InterruptedError:
            continue
        except OSError:
            break
    rc = proc.wait()
    return 128 - rc if rc < 0 else rc


if __name__ == "__main__":
    sys.exit(main())
