"""Starts logwarden-epmd on a free port and the test server against it; stops both at the end."""
import os
import socket
import subprocess
import sys
import time

CONTROL_UUID = "772aa01b-cff8-4511-af9e-d3546ddfb09b"
TEST_UUID = "5d1e2c3b-4a59-4b68-9786-756453423120"


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


class Servers:
    def __init__(self, server_exe, epmd_exe):
        self.epm_port = free_port()
        env = dict(os.environ, LOGWARDEN_EPM_PORT=str(self.epm_port), LOGWARDEN_EPMD=epmd_exe)
        self.epmd = subprocess.Popen([epmd_exe, "--port", str(self.epm_port), "--idle-exit", "60"], env=env)
        deadline = time.time() + 10
        while time.time() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.epm_port), 0.2).close()
                break
            except OSError:
                time.sleep(0.05)
        self.server = subprocess.Popen([server_exe], env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        line = self.server.stdout.readline().split()
        if len(line) != 2 or line[0] != "port":
            raise RuntimeError("test server did not start: %r" % line)
        self.port = int(line[1])

    def close(self):
        for p in (self.server, self.epmd):
            try:
                if p is self.server:
                    p.stdin.close()
                p.wait(timeout=5)
            except Exception:
                p.kill()
                p.wait()


failures = []


def check(cond, what):
    print(("ok   " if cond else "FAIL ") + what)
    if not cond:
        failures.append(what)


def finish():
    sys.exit(1 if failures else 0)
