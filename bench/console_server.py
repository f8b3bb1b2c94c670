"""ser2net on loopback in front of a card-sim line, for the bench rows that
reach the card through a console server (rfc2217://)."""
import os
import socket
import subprocess
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Ser2net:
    """One ser2net with one RFC 2217 port in front of LINK; its URL in .url."""

    def __init__(self, link, folder):
        self.port = free_port()
        self.url = "rfc2217://127.0.0.1:%d" % self.port
        config = os.path.join(folder, "ser2net.yaml")
        with open(config, "w") as f:
            f.write("connection: &card\n"
                    "  accepter: telnet(rfc2217),tcp,127.0.0.1,%d\n"
                    "  connector: serialdev,%s,115200n81,local\n"
                    # Each answer goes on at once, not after two characters'
                    # time of quiet: the protocol waits for every one.
                    "  options:\n"
                    "    chardelay: false\n" % (self.port, os.path.realpath(link)))
        with open(os.path.join(folder, "ser2net.log"), "wb") as log:
            self.proc = subprocess.Popen(["ser2net", "-n", "-d", "-c", config],
                                         stdout=log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 5
        while not self._listening():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("ser2net did not start (see %s/ser2net.log)" % folder)
            time.sleep(0.01)

    def _listening(self):
        out = subprocess.run(["ss", "-Hltn", "sport = :%d" % self.port],
                             capture_output=True, text=True).stdout
        return bool(out.strip())

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
