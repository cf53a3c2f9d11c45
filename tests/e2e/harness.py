"""The end-to-end harness: qalmor.exe under Wine, the probe that reads and drives its
windows, the receiver simulator and relay clients on loopback.

Every process the harness starts is recorded and ended by its PID: when its case
ends, when the case runs out of time, and when the run ends. Paths come from the
environment that scripts/e2e sets; the defaults are the standard build directories.
"""

import json
import os
import queue
import re
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))


def _path(variable, default):
    return os.environ.get(variable) or os.path.join(ROOT, default)


PROGRAM = _path("QALMOR_EXE", "build/windows/qalmor.exe")
PROBE = _path("QALMOR_PROBE", "build/windows/tests/e2e/qalmor-probe.exe")
SIMULATOR = _path("QALMOR_SIM", "build/native/tools/sim/qalmor-sim")
WINE_RUN = _path("QALMOR_WINE_RUN", "scripts/wine-run")
WORK = _path("QALMOR_E2E_WORK", "build/e2e-work")
CAPTURE = os.path.join(ROOT, "tools/sim/data/real-capture.avr")

# Window messages and commands the tests send.
WM_COMMAND = 0x0111
WM_SYSCOMMAND = 0x0112
SC_CLOSE = 0xF060
IDOK = 1
IDCANCEL = 2
VK_TAB = 0x09
VK_SHIFT = 0x10
VK_ESCAPE = 0x1B
VK_4 = 0x34
VK_5 = 0x35

DISPLAY_LINES = 18
SETTINGS_ITEMS = 14  # rows of the "&Настройки" menu
STATIC_LINES = 22  # the display lines and four status lines
SERVER_LINE = 18
CLIENT_LINE = 19
CONSUMER_LINE = 20
PUSH_LINE = 21

# No case needs more; one that takes longer has its processes ended, so that whatever
# it waits for fails at once.
CASE_LIMIT_S = 150

# Wine's stand-in for the taskbar's notification area when no window manager runs. It
# opens at the top left, over the main window's menu bar, so cases move it away.
TRAY_CLASS = "__winex11_standalone_tray"
TRAY_PLACE = (1100, 960)


class ProbeError(Exception):
    pass


def wait_until(condition, timeout, what, interval=0.05):
    """Calls `condition` until it returns something true and returns that; fails the
    case with `what` and the last value seen when `timeout` seconds pass first."""
    deadline = time.monotonic() + timeout
    last = None
    while True:
        last = condition()
        if last:
            return last
        if time.monotonic() >= deadline:
            raise AssertionError(f"timed out after {timeout} s waiting for {what}; last: {last!r}")
        time.sleep(interval)


def wait_text(read, expected, timeout, what):
    """Waits until `read()` returns `expected`; the failure shows the last text read."""
    seen = []

    def matches():
        seen[:] = [read()]
        return seen[0] == expected
    try:
        wait_until(matches, timeout, what)
    except AssertionError:
        raise AssertionError(f"{what} never read {expected!r} within {timeout} s; "
                             f"last: {seen[0]!r}") from None


def wine_path(path):
    """A Linux path as Windows programs under Wine name it (drive Z: is the root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def free_port():
    """A loopback port nothing listens on at this moment."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


_started = []


def launch(args, **options):
    """Starts a process and records it, so that it is ended whatever happens."""
    process = subprocess.Popen(args, **options)
    _started.append(process)
    return process


def end_all():
    """Ends every process this run started that still runs."""
    close_probe()
    for process in _started:
        end_process(process, grace=1)


def end_process(process, grace=5.0):
    """Ends a process this harness started, by its PID: politely first, then for sure."""
    if process is None or process.poll() is not None:
        return
    try:
        process.send_signal(signal.SIGINT)
        process.wait(timeout=grace)
    except (subprocess.TimeoutExpired, ProcessLookupError):
        process.kill()
        process.wait(timeout=10)


class Probe:
    """qalmor-probe.exe under Wine: one command per line, one JSON answer per line."""

    def __init__(self):
        self.process = launch([WINE_RUN, PROBE], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, cwd=WORK)
        self.answers = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        self._take(timeout=60)

    def _read(self):
        for line in self.process.stdout:
            self.answers.put(line)
        self.answers.put(None)

    def _take(self, timeout):
        try:
            line = self.answers.get(timeout=timeout)
        except queue.Empty:
            # A late answer would be taken for the next question's: start afresh.
            end_process(self.process, grace=0)
            raise ProbeError(f"the probe did not answer within {timeout} s") from None
        if line is None:
            raise ProbeError("the probe has ended")
        return json.loads(line.decode("utf-8"))

    def ask(self, *words, timeout=30):
        self.process.stdin.write((" ".join(str(w) for w in words) + "\n").encode("ascii"))
        self.process.stdin.flush()
        answer = self._take(timeout)
        if not answer.get("ok"):
            raise ProbeError(f"{words[0]}: {answer.get('error')}")
        return answer

    def alive(self):
        return self.process.poll() is None

    def close(self):
        if self.alive():
            try:
                self.process.stdin.write(b"quit\n")
                self.process.stdin.flush()
                self.process.wait(timeout=5)
            except (OSError, subprocess.TimeoutExpired):
                pass
        end_process(self.process)


_probe = None


def probe():
    """The probe of this run, started on first use and again if it has died."""
    global _probe
    if _probe is None or not _probe.alive():
        _probe = Probe()
    return _probe


def close_probe():
    global _probe
    if _probe is not None:
        _probe.close()
        _probe = None


class Program:
    """qalmor.exe in a working folder of its own: its settings files and connect.list."""

    def __init__(self, folder):
        self.folder = folder
        self.log = open(os.path.join(folder, "wine.log"), "wb")
        self.menu_clicks = 0
        self._launch()
        try:
            try:
                self.window = wait_until(self._find_window, 60, "the main window")
            except AssertionError:
                # Under a loaded machine Wine now and then fails to start a process at
                # all: it ends at once with code 1, before the program has run a line of
                # its own (the program never exits with 1). Such a start is tried once
                # more; any other failure stands.
                if self.process.returncode != 1:
                    raise
                self._launch()
                self.window = wait_until(self._find_window, 60, "the main window")
            self.hwnd = self.window["hwnd"]
            self.pid = self.window["pid"]
            self.tid = self.window["tid"]
            # The lines come a moment after the window; the relay server's first status
            # refresh once it listens.
            wait_until(self._started, 30, "the lines and the first status refresh")
            move_tray_away()
        except BaseException:
            self.end()
            raise

    def _launch(self):
        self.process = launch([WINE_RUN, PROGRAM], cwd=self.folder, stdout=self.log,
                              stderr=subprocess.STDOUT)

    def _started(self):
        lines = self.lines()
        return len(lines) == STATIC_LINES and lines[SERVER_LINE]

    def _find_window(self):
        if self.process.poll() is not None:
            raise AssertionError(f"qalmor.exe ended at start with code {self.process.returncode}")
        found = [w for w in probe().ask("windows-of-class", "kavrelWindow")["windows"]
                 if w["visible"]]
        if len(found) > 1:
            raise AssertionError(f"more than one main window: {found}")
        return found[0] if found else None

    # ---- the main window's lines ----

    def lines(self):
        """The texts of the main window's STATIC lines, top to bottom: 18 display lines,
        then the server line, the client line, the consumer line and the push line."""
        return probe().ask("lines", self.hwnd)["lines"]

    def line_window(self, index):
        """The window handle of one of the lines, numbered as lines() numbers them."""
        lines = sorted(probe().ask("children", self.hwnd)["children"], key=lambda c: c["y"])
        return lines[index]["hwnd"]

    def display(self):
        return self.lines()[:DISPLAY_LINES]

    def server_line(self):
        return self.lines()[SERVER_LINE]

    def client_line(self):
        return self.lines()[CLIENT_LINE]

    def wait_client_line(self, expected, timeout=20):
        wait_text(self.client_line, expected, timeout, "the client line")

    def wait_server_line(self, expected, timeout=20):
        wait_text(self.server_line, expected, timeout, "the server line")

    def watch(self, seconds):
        """Every distinct picture of the lines over `seconds` as the probe saw them:
        "lines", "t_ms" since the start and "gap_ms" since the sample before."""
        answer = probe().ask("watch", self.hwnd, int(seconds * 1000), timeout=seconds + 30)
        return answer["pictures"]

    # ---- commands, keys and windows ----

    def command(self, command_id):
        probe().ask("post", self.hwnd, WM_COMMAND, command_id, 0)

    def focus(self):
        return probe().ask("focus", self.tid)["focus"]

    def key(self, *keys):
        """Keys typed into whatever has the keyboard focus; "16+9" holds Shift for Tab."""
        probe().ask("key", *keys)

    def type_into_main_window(self, *keys):
        """Keys for the main window, which acts on them only while it has the focus."""
        wait_until(lambda: self.focus()["focus"] == self.hwnd, 10,
                   "the keyboard focus on the main window")
        self.key(*keys)

    def top_windows(self):
        return [w for w in probe().ask("windows", self.pid)["windows"] if w["visible"]]

    def dialogs(self, title=None):
        return [w for w in self.top_windows()
                if w["class"] == "#32770" and (title is None or w["text"] == title)]

    def wait_new_dialog(self, title, known=(), timeout=15):
        """A dialog or message box with `title` that is not among `known` handles."""
        def new_one():
            fresh = [w for w in self.dialogs(title) if w["hwnd"] not in known]
            return fresh[0] if len(fresh) == 1 else None
        return wait_until(new_one, timeout, f"a new window titled {title!r}")

    def open_dialog(self, command_id, title):
        known = {w["hwnd"] for w in self.dialogs(title)}
        self.command(command_id)
        return Dialog(self, self.wait_new_dialog(title, known))

    def popup_menus(self):
        return [w for w in self.top_windows() if w["class"] == "#32768"]

    # ---- the menu bar's check marks ----

    def settings_menu_marks(self):
        """Opens the "&Настройки" menu with the mouse, reads its items' check marks from
        the screen, and closes it again. Returns one flag per item, top to bottom."""
        wait_until(lambda: not self.popup_menus(), 10, "no open popup menu")
        bar_y = self.window["client_y"] - probe().ask("metrics")["menu_h"] // 2
        # Two clicks on one spot in quick succession would make a double click, which
        # does not open the menu; every other time the click goes a little further right.
        self.menu_clicks += 1
        probe().ask("click", self.window["client_x"] + 15 + 15 * (self.menu_clicks % 2), bar_y)
        popup = wait_until(lambda: self.popup_menus(), 10, "the settings menu")[0]
        # What the probe read is kept in the case's folder.
        picture = wine_path(os.path.join(self.folder, f"menu-{self.menu_clicks}.bmp"))
        marks = wait_until(lambda: self._steady_marks(popup["hwnd"], picture), 10,
                           "a steady menu picture")
        self.key(VK_ESCAPE, VK_ESCAPE)
        wait_until(lambda: not self.popup_menus() and not self.focus()["in_menu"], 10,
                   "the menu to close")
        if len(marks) != SETTINGS_ITEMS:
            raise AssertionError(
                f"the settings menu should show {SETTINGS_ITEMS} items, read {len(marks)}")
        return marks

    @staticmethod
    def _steady_marks(popup, picture):
        """The marks when two readings a moment apart agree: the menu is fully drawn. A
        popup that has no text on the screen yet is not drawn at all: read it again."""
        try:
            first = probe().ask("marks", popup)["marks"]
            time.sleep(0.05)
            second = probe().ask("marks", popup, picture)["marks"]
        except ProbeError as error:
            if "no item text found" in str(error):
                return None
            raise
        return first if first == second else None

    # ---- the end ----

    def close_window(self):
        """The close box of the main window's frame."""
        probe().ask("post", self.hwnd, WM_SYSCOMMAND, SC_CLOSE, 0)

    def wait_exit(self, timeout=30):
        try:
            return self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"qalmor.exe still runs {timeout} s after it was told to end")

    def end(self):
        end_process(self.process, grace=0.5)
        self.log.close()


class Dialog:
    """A settings dialog or message box of the program."""

    def __init__(self, program, window):
        self.program = program
        self.hwnd = window["hwnd"]
        self.title = window["text"]

    def controls(self):
        return probe().ask("children", self.hwnd)["children"]

    def control(self, control_id):
        found = [c for c in self.controls() if c["id"] == control_id]
        if len(found) != 1:
            raise AssertionError(f"{self.title!r} has {len(found)} controls with id {control_id}")
        return found[0]

    def text(self, control_id):
        return self.control(control_id)["text"]

    def set_text(self, control_id, text):
        probe().ask("settext", self.control(control_id)["hwnd"], text.encode("utf-8").hex())

    def press(self, button_id):
        """The button as its click reports it: WM_COMMAND with the button's id."""
        probe().ask("post", self.hwnd, WM_COMMAND, button_id, self.control(button_id)["hwnd"])

    def press_and_follow(self, button_id, line, seconds):
        """Presses a button and returns every text the window `line` shows from just
        before until `seconds` later, however briefly each stays."""
        answer = probe().ask("post-follow", self.hwnd, WM_COMMAND, button_id,
                             self.control(button_id)["hwnd"], line, int(seconds * 1000),
                             timeout=seconds + 30)
        return answer["texts"]

    def close_box(self):
        probe().ask("post", self.hwnd, WM_SYSCOMMAND, SC_CLOSE, 0)

    def is_open(self):
        return any(w["hwnd"] == self.hwnd for w in self.program.top_windows())

    def wait_closed(self, timeout=15):
        wait_until(lambda: not self.is_open(), timeout, f"{self.title!r} to close")

    def focused_control(self):
        """The id of the control of this dialog that has the keyboard focus, or None."""
        focus = self.program.focus()
        return focus["focus_id"] if focus["focus_parent"] == self.hwnd else None

    def message_text(self):
        """A message box's text: its longest STATIC control."""
        statics = [c["text"] for c in self.controls() if c["class"].lower() == "static"]
        return max(statics, key=len, default="")


def move_tray_away():
    """Moves Wine's stand-in notification area off the menu bar, once it is there."""
    def trays():
        return [t for t in probe().ask("windows-of-class", TRAY_CLASS)["windows"] if t["visible"]]
    try:
        found = wait_until(trays, 5, "the notification area")
    except AssertionError:
        return  # a real notification area, or none: nothing lies over the menu bar
    for tray in found:
        if (tray["x"], tray["y"]) != TRAY_PLACE:
            probe().ask("place", tray["hwnd"], *TRAY_PLACE)


class Simulator:
    """The receiver simulator, native, on a loopback port."""

    def __init__(self, folder, *options, port=0):
        self.log_path = os.path.join(folder, f"sim-{time.monotonic_ns()}.log")
        self.log = open(self.log_path, "wb")
        self.process = launch([SIMULATOR, "--port", str(port), *[str(o) for o in options]],
                              stdout=subprocess.PIPE, stderr=self.log)
        first = self.process.stdout.readline().decode()
        found = re.search(r"listening on 127\.0\.0\.1:(\d+)", first)
        if not found:
            self.stop()
            raise AssertionError(f"the simulator did not start: {first!r}")
        self.port = int(found.group(1))

    def events(self):
        with open(self.log_path, "rb") as f:
            return [line.decode().strip() for line in f]

    def connections(self):
        return [e for e in self.events() if "connection from" in e]

    def stop(self):
        end_process(self.process)
        self.process.stdout.close()
        self.log.close()


class RelayClient:
    """A program that takes the relay stream: reads everything on its own thread, or,
    when stuck, connects and never reads."""

    def __init__(self, port, reading=True, receive_buffer=None):
        # The relay server listens a moment after the main window shows.
        deadline = time.monotonic() + 10
        while True:
            self.sock = socket.socket()
            if receive_buffer is not None:
                self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
            self.sock.settimeout(10)
            try:
                self.sock.connect(("127.0.0.1", port))
                break
            except ConnectionRefusedError:
                self.sock.close()
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.1)
        self.data = bytearray()
        self.lock = threading.Lock()
        self.ended = threading.Event()
        if reading:
            threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        self.sock.settimeout(None)
        try:
            while True:
                chunk = self.sock.recv(65536)
                if not chunk:
                    break
                with self.lock:
                    self.data += chunk
        except OSError:
            pass
        self.ended.set()

    def received(self):
        with self.lock:
            return bytes(self.data)

    def count(self):
        with self.lock:
            return len(self.data)

    def drain(self, timeout=10):
        """For a stuck client: reads what is waiting until the peer closes or goes quiet."""
        self.sock.settimeout(timeout)
        try:
            while True:
                chunk = self.sock.recv(65536)
                if not chunk:
                    self.ended.set()
                    break
                self.data += chunk
                self.sock.settimeout(1.0)
        except socket.timeout:
            pass
        return bytes(self.data)

    def port(self):
        return self.sock.getsockname()[1]

    def close(self):
        """Disconnects; the shutdown also wakes the reading thread."""
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()


def tcp_send_queue(local_port, remote_port):
    """Bytes waiting in the send queue of the loopback connection from `local_port` to
    `remote_port`, as the kernel lists it, or None when there is no such connection. A
    relay listening on every interface takes IPv4 clients on an IPv6 socket: the kernel
    lists those connections among the IPv6 ones."""
    for listing in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(listing) as table:
            next(table)
            for row in table:
                fields = row.split()
                local, remote, queues = fields[1], fields[2], fields[4]
                if (int(local.rsplit(":", 1)[1], 16) == local_port and
                        int(remote.rsplit(":", 1)[1], 16) == remote_port):
                    return int(queues.split(":")[0], 16)
    return None


def capture_messages(path=CAPTURE):
    """The hex messages of an AVR file, upper case, in file order."""
    with open(path) as f:
        return [line.strip()[1:-1].upper() for line in f if line.startswith("*")]


def avr_stream(messages, count):
    """The first `count` lines the simulator sends in its default avr format."""
    return b"".join(f"*{messages[i % len(messages)]};\r\n".encode() for i in range(count))


class Case(unittest.TestCase):
    """A case with a working folder of its own (kept for a look afterwards); everything
    it starts ends with it, at the latest CASE_LIMIT_S seconds after it began."""

    def setUp(self):
        os.makedirs(WORK, exist_ok=True)
        self.folder = tempfile.mkdtemp(prefix=self.id().split(".")[-1] + "-", dir=WORK)
        self.cleanups = []
        self.processes = []
        self.timer = threading.Timer(CASE_LIMIT_S, self._out_of_time)
        self.timer.daemon = True
        self.timer.start()

    def tearDown(self):
        self.timer.cancel()
        for cleanup in reversed(self.cleanups):
            cleanup()

    def _out_of_time(self):
        for process in self.processes:
            end_process(process, grace=0.5)

    def write_file(self, name, content):
        """A settings file as the program reads it; `content` is bytes or text."""
        data = content if isinstance(content, bytes) else content.encode("cp1251")
        with open(os.path.join(self.folder, name), "wb") as f:
            f.write(data)

    def read_file(self, name):
        with open(os.path.join(self.folder, name), "rb") as f:
            return f.read()

    def read_file_or_none(self, name):
        try:
            return self.read_file(name)
        except FileNotFoundError:
            return None

    def start_program(self, **files):
        """Starts qalmor.exe in this case's folder with the given settings files
        (keyword: the file name with "_ini" for ".ini", value: its content)."""
        for name, content in files.items():
            self.write_file(name.replace("_ini", ".ini"), content)
        program = Program(self.folder)
        self.processes.append(program.process)
        self.cleanups.append(program.end)
        return program

    def start_simulator(self, *options, port=0):
        simulator = Simulator(self.folder, *options, port=port)
        self.processes.append(simulator.process)
        self.cleanups.append(simulator.stop)
        return simulator

    def relay_client(self, port, **options):
        client = RelayClient(port, **options)
        self.cleanups.append(client.close)
        return client
