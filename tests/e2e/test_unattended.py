"""Unattended: started in the tray from an autostart entry, one copy a folder."""

import os
import shutil
import socket
import subprocess
import tempfile
import time

from harness import (PROGRAM, TRAY_CLASS, WINE_RUN, WORK, Case, end_process, free_port,
                     launch, probe, wait_until)


def listeners(port):
    """The sockets listening on `port`, as the kernel lists them (IPv4 and IPv6)."""
    count = 0
    for listing in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(listing) as table:
            next(table)
            for row in table:
                fields = row.split()
                if fields[3] == "0A" and int(fields[1].rsplit(":", 1)[1], 16) == port:
                    count += 1
    return count


def accepts(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1):
            return True
    except OSError:
        return False


def main_windows():
    return probe().ask("windows-of-class", "kavrelWindow")["windows"]


class OneCopyAFolder(Case):
    def station_folder(self, folder):
        """A folder with its own qalmor.exe (it carries its runtime) and a relay port."""
        relay = free_port()
        with open(os.path.join(folder, "initsocket.ini"), "w") as f:
            f.write(f"{relay}\r\n127.0.0.1\r\n")
        with open(os.path.join(folder, "initmkp1.ini"), "w") as f:
            f.write(f"{free_port()}\r\n127.0.0.1\r\n")
        shutil.copy(PROGRAM, folder)
        return os.path.join(folder, "qalmor.exe"), relay

    def start(self, program, *options, cwd):
        process = launch([WINE_RUN, program, *options], cwd=cwd, stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL)
        self.processes.append(process)
        self.cleanups.append(lambda: end_process(process, grace=0.5))
        return process

    def test_in_the_tray_and_a_second_start_in_its_folder_brings_it_forward(self):
        program, relay = self.station_folder(self.folder)
        # As Windows starts an autostart entry: in a folder that is not the program's.
        first = self.start(program, "--minimized", cwd=WORK)
        wait_until(lambda: accepts(relay), 60, "the relay, with the port of its folder")
        windows = main_windows()
        self.assertEqual(len(windows), 1)
        self.assertFalse(windows[0]["visible"], "started in the tray: no window")
        trays = probe().ask("windows-of-class", TRAY_CLASS)["windows"]
        self.assertEqual(len(trays), 1)
        self.assertEqual(len(probe().ask("children", trays[0]["hwnd"])["children"]), 1,
                         "the tray icon")

        began = time.monotonic()
        second = self.start(program, cwd=self.folder)
        self.assertEqual(second.wait(timeout=10), 0)
        self.assertLess(time.monotonic() - began, 2.0, "the second copy ends at once")
        wait_until(lambda: main_windows()[0]["visible"], 10, "the first copy's window")
        self.assertEqual(len(main_windows()), 1)
        self.assertIsNone(first.poll())
        self.assertEqual(listeners(relay), 1)

        # A copy in another folder is another station and runs beside it.
        other = tempfile.mkdtemp(prefix="other-", dir=WORK)
        other_program, other_relay = self.station_folder(other)
        self.start(other_program, "--minimized", cwd=other)
        wait_until(lambda: accepts(other_relay), 60, "the other folder's relay")
        self.assertEqual(len(main_windows()), 2)
        self.assertTrue(accepts(relay))
