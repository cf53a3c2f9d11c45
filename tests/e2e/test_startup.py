"""Start-up with no settings files, the window's layout, the client log, and the two
ways to end the program."""

import datetime
import re
import socket

from harness import (DISPLAY_LINES, IDCANCEL, STATIC_LINES, TRAY_CLASS, Case, free_port,
                     probe, wait_until)

TITLE = "Связыающая программа (QALMOR)"
WS_CHILD = 0x40000000
WS_VISIBLE = 0x10000000
WS_MAXIMIZEBOX = 0x00010000
WS_THICKFRAME = 0x00040000
MAIN_STYLE = 0x10CA0080  # visible, caption, system menu, minimise box
WM_RBUTTONDOWN = 0x0204

# A client log line: the UTC time stamp, then the live clients' addresses, if any.
LOG_LINE = re.compile(rb"(\d\d)/(\d\d)/(\d{4}) (\d\d):(\d\d):(\d\d) "
                      rb"((?:\|[\d.]+\|)(?:[\d.]+\|)*)?\r\n")


def wait_port_free(port, timeout):
    """Waits until the port can be listened on again: connections the last program
    closed linger a minute in TIME_WAIT, and the program's server does not reuse."""
    def free():
        with socket.socket() as s:
            try:
                s.bind(("0.0.0.0", port))
                return True
            except OSError:
                return False
    wait_until(free, timeout, f"port {port} to be free", interval=1)


class DefaultStart(Case):
    def test_connects_to_itself_and_exits_on_close_box(self):
        wait_port_free(7777, 90)
        program = self.start_program()

        program.wait_server_line("Сервер:  7777 127.0.0.1 ")
        program.wait_client_line("Клиент:  7777  Соединение 127.0.0.1")
        lines = program.lines()
        self.assertEqual(lines[20], "", "the third status line stays empty")
        self.assertEqual(lines[:DISPLAY_LINES], [""] * DISPLAY_LINES,
                         "its own relay server sends nothing, so nothing is shown")

        # The relay dialog shows the relay port when "initsocket.ini" is missing.
        dialog = program.open_dialog(102, "Настройки TCP")
        self.assertEqual(dialog.text(1000), "7777")
        dialog.press(IDCANCEL)
        dialog.wait_closed()

        clients = [self.relay_client(7777) for _ in range(2)]
        program.wait_server_line("Сервер:  7777 " + "127.0.0.1 " * 3)
        program.close_window()
        self.assertEqual(program.wait_exit(), 0)
        for client in clients:
            self.assertTrue(client.ended.wait(10), "a relay client is still connected")

        self.check_client_log(self.read_file("connect.list"))

    def check_client_log(self, log):
        lines = log.splitlines(keepends=True)
        self.assertGreaterEqual(len(lines), 4)
        now = datetime.datetime.now(datetime.timezone.utc)
        for line in lines:
            found = LOG_LINE.fullmatch(line)
            self.assertIsNotNone(found, f"not a client log line: {line!r}")
            day, month, year, hour, minute, second = (int(v) for v in found.groups()[:6])
            stamp = datetime.datetime(year, month, day, hour, minute, second,
                                      tzinfo=datetime.timezone.utc)
            self.assertLess(abs((stamp - now).total_seconds()), 600, "time stamps are UTC")
        self.assertIsNone(LOG_LINE.fullmatch(lines[0]).group(7),
                          "the relay server's first refresh lists nobody")
        self.assertIn(b"|127.0.0.1|127.0.0.1|127.0.0.1|\r\n", log)


class Layout(Case):
    def test_main_window_and_its_lines(self):
        program = self.start_program(initsocket_ini=f"{free_port()}\r\n127.0.0.1\r\n",
                                     initmkp1_ini=f"{free_port()}\r\n127.0.0.1\r\n")
        window = program.window
        self.assertEqual(window["class"], "kavrelWindow")
        self.assertEqual(window["text"], TITLE)
        self.assertEqual(window["w"], 585)
        self.assertGreaterEqual(window["client_h"], 16 * STATIC_LINES, "every line shows whole")
        self.assertEqual(window["style"] & MAIN_STYLE, MAIN_STYLE)
        self.assertFalse(window["style"] & (WS_MAXIMIZEBOX | WS_THICKFRAME),
                         "no maximise box and no sizing border")

        lines = probe().ask("children", program.hwnd)["children"]
        self.assertEqual(len(lines), STATIC_LINES)
        for line in lines:
            self.assertEqual(line["class"], "Static")
            self.assertEqual(line["id"] & 0xFFFF, 0xFFFF)
            self.assertEqual(line["style"] & (WS_CHILD | WS_VISIBLE), WS_CHILD | WS_VISIBLE)
        geometry = sorted((c["x"], c["y"], c["w"], c["h"]) for c in lines)
        self.assertEqual(geometry, [(0, 16 * k, 676, 16) for k in range(STATIC_LINES)])


class TrayExit(Case):
    def test_exit_from_the_tray_menu(self):
        relay = free_port()
        program = self.start_program(initsocket_ini=f"{relay}\r\n127.0.0.1\r\n",
                                     initmkp1_ini=f"{free_port()}\r\n127.0.0.1\r\n")
        clients = [self.relay_client(relay) for _ in range(3)]
        program.wait_server_line(f"Сервер: {relay:5d} " + "127.0.0.1 " * 3)

        icon = self.tray_icon(program)
        self.assertEqual(probe().ask("window", icon)["window"]["class"], "__winex11_tray_icon")
        # The press reaches the program the way the shell passes it on; a real mouse
        # press would first activate Wine's stand-in tray window, which then takes the
        # popup's activation away.
        probe().ask("move", 300, 300)
        probe().ask("post", icon, WM_RBUTTONDOWN, 0, (10 << 16) | 10)
        popup = wait_until(program.popup_menus, 10, "the tray menu")[0]
        self.assertEqual((popup["x"], popup["y"]), (300, 300), "the menu opens at the mouse")
        # "&Exit" is the second of its two rows, below "&Открыть окно".
        probe().ask("click", popup["x"] + popup["w"] // 2, popup["y"] + popup["h"] * 3 // 4)

        self.assertEqual(program.wait_exit(), 0)
        for client in clients:
            self.assertTrue(client.ended.wait(10), "a relay client is still connected")
        wait_until(lambda: not self.window_exists(icon), 10, "the tray icon to go")

    def tray_icon(self, program):
        """The icon window Wine's stand-in tray made for this program's icon."""
        trays = probe().ask("windows-of-class", TRAY_CLASS)["windows"]
        self.assertEqual(len(trays), 1)
        icons = probe().ask("children", trays[0]["hwnd"])["children"]
        self.assertGreaterEqual(len(icons), 1)
        # Icons are added left to right; this program's is the newest.
        return max(icons, key=lambda i: i["x"])["hwnd"]

    @staticmethod
    def window_exists(hwnd):
        return probe().ask("window", hwnd)["window"]["class"] != ""
