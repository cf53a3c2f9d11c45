#!/usr/bin/env python3
"""A real decoder as a push target: qalmor pushes the simulator's Beast stream to
dump1090-mutability's Beast input port, and every message the simulator sent comes out
of the decoder's raw output port.

Usage: push_to_dump1090.py BUILD_DIR   (the native build: qalmor and tools/sim/qalmor-sim)
Exits 0 when every message arrived, 1 when not, 77 (skipped) without dump1090-mutability.
"""
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

DECODER = "dump1090-mutability"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), 0.2).close()
            return True
        except OSError:
            time.sleep(0.1)
    return False


def capture_messages(path):
    """The distinct messages of the simulator's capture, as upper-case hex."""
    with open(path) as capture:
        return {line.strip()[1:-1].upper() for line in capture if line.startswith("*")}


def main():
    build = os.path.abspath(sys.argv[1])
    top = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    if shutil.which(DECODER) is None:
        print(f"push_to_dump1090: skipped, {DECODER} is not installed")
        return 77
    expected = capture_messages(os.path.join(top, "tools/sim/data/real-capture.avr"))
    work = tempfile.mkdtemp(prefix="qalmor-interop-")
    source, relay, beast_in, raw_out = (free_port() for _ in range(4))
    with open(os.path.join(work, "initmkp1.ini"), "w") as f:
        f.write(f"{source}\r\n127.0.0.1\r\n")
    with open(os.path.join(work, "initsocket.ini"), "w") as f:
        f.write(f"{relay}\r\n\r\n")
    with open(os.path.join(work, "BinarComOn.ini"), "w") as f:
        f.write("1\r\n")
    processes = []
    try:
        decoder = subprocess.Popen(
            [DECODER, "--net-only", "--quiet", "--net-verbatim", "--net-bind-address", "127.0.0.1",
             "--net-bi-port", str(beast_in), "--net-ro-port", str(raw_out), "--net-ri-port", "0",
             "--net-sbs-port", "0", "--net-bo-port", "0", "--net-heartbeat", "0"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        processes.append(decoder)
        if not wait_for_port(raw_out, 10):
            print("push_to_dump1090: the decoder did not listen")
            return 1
        output = socket.create_connection(("127.0.0.1", raw_out))
        output.settimeout(0.2)
        program = subprocess.Popen(
            [os.path.join(build, "qalmor"), "--dir", work, "--push", f"127.0.0.1:{beast_in}"],
            stdout=open(os.path.join(work, "qalmor.log"), "w"), stderr=subprocess.STDOUT)
        processes.append(program)
        time.sleep(1)  # the push target connects before the receiver sends
        simulator = subprocess.Popen(
            [os.path.join(build, "tools/sim/qalmor-sim"), "--port", str(source), "--format",
             "beast", "--rate", "500"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        processes.append(simulator)
        seen = set()
        text = b""
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline and not expected <= seen:
            try:
                text += output.recv(65536)
            except socket.timeout:
                continue
            *lines, text = text.split(b"\n")
            for line in lines:
                line = line.strip()
                if line.startswith(b"*") and line.endswith(b";"):
                    seen.add(line[1:-1].decode().upper())
        missing = expected - seen
        print(f"push_to_dump1090: {len(expected) - len(missing)} of {len(expected)} distinct "
              f"messages decoded by {DECODER}")
        return 0 if not missing else 1
    finally:
        for process in reversed(processes):
            process.terminate()
            try:
                process.wait(5)
            except subprocess.TimeoutExpired:
                process.kill()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
