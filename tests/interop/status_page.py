#!/usr/bin/env python3
"""The status page (package qalmor-web) in a real web server and browser: lighttpd serves
the page from the source tree through the package's own snippet, qalmor writes its status
file into the data folder, and headless Chromium loads the page.

- Before the program runs there is no status file: the page says "данные устарели".
- The data folder's headers: no caching, status.json as JSON, qalmor.prom as Prometheus
  text.
- With the simulator as the receiver, another as a push target, and two relay clients,
  one of which never reads: the source and the push target show as connected, both
  readers are in the table, and the non-reader's "behind" grows from one load of the
  page to the next.
- Once the program is stopped, a page loaded 6 s later says "данные устарели".

Usage: status_page.py BUILD_DIR [--screenshot PATH]   (the native build)
With --screenshot it also saves a picture of the page while the readers are connected.
Exits 0 when all holds, 1 when not, 77 (skipped) without lighttpd or chromium.
"""
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
WEB = os.path.join(TOP, "src/frontends/web")
STALE = "данные устарели"
failures = []


def check(condition, what):
    print(("ok: " if condition else "FAIL: ") + what)
    if not condition:
        failures.append(what)
    return condition


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(ready, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            if ready():
                return True
        except (OSError, ValueError, LookupError):
            pass  # not there yet
        time.sleep(0.1)
    return False


def listens(port):
    socket.create_connection(("127.0.0.1", port), 0.2).close()
    return True


def lighttpd_config(work, port):
    """A server of our own on loopback that takes the package's snippet, its paths moved to
    the source tree's page and the test's data folder."""
    with open(os.path.join(WEB, "89-qalmor.conf")) as f:
        snippet = f.read()
    moves = {"/usr/share/qalmor/html/": os.path.join(WEB, "html") + "/",
             "/run/qalmor/": os.path.join(work, "data") + "/"}
    for old, new in moves.items():
        if snippet.count(f'"{old}"') != 1:
            raise RuntimeError(f"the snippet no longer aliases {old}")
        snippet = snippet.replace(f'"{old}"', f'"{new}"')
    with open(os.path.join(work, "89-qalmor.conf"), "w") as f:
        f.write(snippet)
    # Debian's lighttpd.conf loads these modules and assigns the types from /etc/mime.types;
    # lighty-enable-mod enables setenv, which the snippet depends on. JSON is plain text
    # here, so that only the snippet can make it application/json.
    config = os.path.join(work, "lighttpd.conf")
    with open(config, "w") as f:
        f.write(f"""server.modules = ( "mod_indexfile", "mod_alias", "mod_redirect", "mod_setenv",
                   "mod_staticfile" )
server.document-root = "{work}"
server.bind = "127.0.0.1"
server.port = {port}
server.errorlog = "{work}/lighttpd.log"
index-file.names = ( "index.html" )
mimetype.assign = ( ".html" => "text/html", ".js" => "text/javascript", ".css" => "text/css",
                    ".json" => "text/plain" )
include "{work}/89-qalmor.conf"
""")
    return config


class Page:
    """A page as Chromium dumped it: whether it is red and says the data are stale, and the
    rows of a table's body, each a list of (text, attributes) cells."""

    def __init__(self, dom):
        self.dom = dom
        self.freshness = re.search(r'<p id="freshness">([^<]*)</p>|$', dom).group(1) or ""

    def stale(self):
        return 'class="stale"' in self.dom and STALE in self.freshness

    def rows(self, table):
        body = re.search(rf'<table id="{table}">.*?<tbody>(.*?)</tbody>', self.dom, re.S)
        return [[(re.sub(r"<[^>]*>", "", text), attrs)
                 for attrs, text in re.findall(r"<td([^>]*)>(.*?)</td>", row, re.S)]
                for row in re.findall(r"<tr[^>]*>(.*?)</tr>", body.group(1) if body else "")]


def chromium(work, url, *what):
    """Runs headless Chromium once. The page's clock runs on virtual time, which may run
    ahead of the real one by up to the budget: half a second, well inside the 5 s the page
    allows a document. No name lookups: every host but loopback fails."""
    command = ["chromium", "--headless", "--no-sandbox", "--disable-gpu",
               "--user-data-dir=" + os.path.join(work, "chromium"), "--no-first-run",
               "--disable-background-networking", "--disable-component-update",
               "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1",
               "--virtual-time-budget=500", *what, url]
    browser = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                               text=True)
    try:
        out, _ = browser.communicate(timeout=90)
    except subprocess.TimeoutExpired:
        browser.kill()
        browser.communicate()
        raise RuntimeError("chromium did not finish within 90 s")
    return out


def load(work, url):
    return Page(chromium(work, url, "--dump-dom"))


def read_forever(client, stop):
    client.settimeout(0.2)
    while not stop.is_set():
        try:
            if not client.recv(65536):
                return
        except socket.timeout:
            continue
        except OSError:
            return


def behind(page, port):
    """The bytes the page shows the reader on that port behind, or None."""
    for row in page.rows("readers"):
        if len(row) == 6 and row[1][0] == str(port):
            match = re.search(r'data-bytes="(\d+)"', row[4][1])
            return int(match.group(1)) if match else None
    return None


def link_states(page, name):
    return [row[3][0] for row in page.rows("links") if len(row) == 5 and row[0][0] == name]


def read_json(path):
    with open(path) as f:
        return json.load(f)


def main():
    build = os.path.abspath(sys.argv[1])
    screenshot = sys.argv[sys.argv.index("--screenshot") + 1] if "--screenshot" in sys.argv \
        else None
    for tool in ("lighttpd", "chromium"):
        if shutil.which(tool) is None:
            print(f"status_page: skipped, {tool} is not installed")
            return 77
    work = tempfile.mkdtemp(prefix="qalmor-status-page-")
    os.makedirs(os.path.join(work, "data"))
    status_file = os.path.join(work, "data/status.json")
    web_port, relay_port, push_port = free_port(), free_port(), free_port()
    url = f"http://127.0.0.1:{web_port}/qalmor/"
    processes, clients, stop_reading = [], [], threading.Event()
    try:
        server = subprocess.Popen(["lighttpd", "-D", "-f", lighttpd_config(work, web_port)],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        processes.append(server)
        if not check(wait_until(lambda: listens(web_port), 10), "lighttpd listens"):
            return 1

        check(load(work, url).stale(), f"without a status file the page says {STALE!r}")

        with open(os.path.join(work, "data/qalmor.prom"), "w") as f:
            f.write("qalmor_up 1\n")
        with open(status_file, "w") as f:
            f.write("{}\n")
        for name, kind in (("qalmor.prom", "text/plain; version=0.0.4"),
                           ("status.json", "application/json")):
            with urllib.request.urlopen(url + "data/" + name, timeout=5) as response:
                got = response.headers["Content-Type"], response.headers["Cache-Control"]
            check(got[0] == kind and "no-cache" in (got[1] or ""), f"{name}: {kind}, not cached")
        os.remove(status_file)

        sim = os.path.join(build, "tools/sim/qalmor-sim")
        simulator = subprocess.Popen([sim, "--port", "0", "--format", "avr-mlat", "--rate", "5000"],
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        processes.append(simulator)
        processes.append(subprocess.Popen([sim, "--listen", "--port", str(push_port)],
                                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        match = re.search(r"listening on 127\.0\.0\.1:(\d+)", simulator.stdout.readline())
        if not check(match is not None, "the simulator listens"):
            return 1
        with open(os.path.join(work, "initmkp1.ini"), "w") as f:
            f.write(f"{match.group(1)}\r\n127.0.0.1\r\n")
        with open(os.path.join(work, "initsocket.ini"), "w") as f:
            f.write(f"{relay_port}\r\n\r\n127.0.0.1\r\n")
        program = subprocess.Popen(
            [os.path.join(build, "qalmor"), "--dir", work, "--status-file", status_file,
             "--push", f"127.0.0.1:{push_port}"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        processes.append(program)
        if not check(wait_until(lambda: listens(relay_port), 10), "qalmor's relay listens"):
            return 1

        reader = socket.create_connection(("127.0.0.1", relay_port))
        threading.Thread(target=read_forever, args=(reader, stop_reading), daemon=True).start()
        # The one that never reads takes little into its own buffer, so the relay soon holds
        # its part of the stream.
        idle = socket.socket()
        idle.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        idle.connect(("127.0.0.1", relay_port))
        clients += [reader, idle]
        idle_port, reader_port = idle.getsockname()[1], reader.getsockname()[1]
        links_up = (lambda s: s["source"]["state"] == s["push"][0]["state"] == "connected" and
                    any(c["port"] == idle_port and c["behind_bytes"] > 0
                        for c in s["relay"]["clients"]))
        check(wait_until(lambda: links_up(read_json(status_file)), 20),
              "the status file shows the links up and the non-reader behind")

        first = load(work, url)
        check(not first.stale(), f"with the program running the page is fresh: {first.freshness}")
        check(link_states(first, "Источник") == ["соединен"], "the source shows as connected")
        check(link_states(first, "Передача") == ["соединен"], "the push target shows as connected")
        check(len(first.rows("readers")) == 2, "the readers' table has two rows")
        time.sleep(2)
        second = load(work, url)
        before, after = behind(first, idle_port), behind(second, idle_port)
        check(before and after and before < after,
              f"the non-reader's behind grows ({before}, then {after})")
        check(behind(second, reader_port) is not None and behind(second, reader_port) < after,
              f"the reader is less behind ({behind(second, reader_port)})")
        if screenshot:
            chromium(work, url, "--screenshot=" + os.path.abspath(screenshot),
                     "--window-size=1000,940", "--hide-scrollbars")
            check(os.path.isfile(screenshot), f"the screenshot is in {screenshot}")

        program.send_signal(signal.SIGTERM)
        stopped = time.monotonic()
        check(program.wait(10) == 0, "qalmor stops on SIGTERM")
        time.sleep(max(0.0, stopped + 6 - time.monotonic()))
        late = load(work, url)
        check(late.stale(), f"6 s after the program stopped the page says {STALE!r}: " +
              f"{late.freshness}")
        print("status_page: " + ("FAILED" if failures else "all checks passed"))
        return 1 if failures else 0
    finally:
        stop_reading.set()
        for client in clients:
            client.close()
        for process in reversed(processes):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(5)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
