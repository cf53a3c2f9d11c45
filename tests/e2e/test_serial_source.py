"""The source on a COM port: the simulator plays a Beast on a pseudo-terminal that a
dosdevices link in the Wine prefix names COM17 (a name only the \\\\.\\ form opens)."""

import os
import re
import subprocess
import threading
import time

from harness import (CLIENT_LINE, IDOK, SIMULATOR, Case, capture_messages, end_process,
                     free_port, launch, probe, wait_until)
from test_traffic import beast_frames, wait_stable_counts

PORT = "COM17"
SPEED = 3000000
CONNECTED = f"Клиент: {PORT:>5}  Соединение {SPEED} бод"
DROPPED = f"Клиент: {PORT:>5}  Связь разорвана"


class SerialReceiver:
    """qalmor-sim on a pseudo-terminal, reached through `link`; stop() unplugs it."""

    def __init__(self, folder, link):
        self.log = open(os.path.join(folder, "sim-serial.log"), "ab")
        self.process = launch([SIMULATOR, "--serial", "--format", "beast", "--speed", str(SPEED),
                               "--link", link], stdout=subprocess.PIPE, stderr=self.log,
                              start_new_session=True)  # the pty its controlling terminal
        first = self.process.stdout.readline().decode()
        if not re.search(r"serial port /dev/pts/\d+", first):
            self.stop()
            raise AssertionError(f"the simulator made no pseudo-terminal: {first!r}")

    def stop(self):
        end_process(self.process)
        self.process.stdout.close()
        self.log.close()


def whole_frames(data):
    """The Beast frames of `data` from the first place it parses as whole frames: bytes
    before it may be what the receiver sent while the port was being set up."""
    for start in [m.start() for m in re.finditer(rb"\x1a[123]", data)][:20]:
        try:
            return beast_frames(data[start:])
        except AssertionError:
            pass
    raise AssertionError(f"no run of whole frames in {data[:64].hex()}")


def combo_edit(dialog, control_id):
    """The edit field of an editable list of the dialog: the Edit inside the list."""
    controls = dialog.controls()
    box = [c for c in controls if c["id"] == control_id and c["class"] == "ComboBox"][0]
    return [c for c in controls if c["class"] == "Edit" and
            box["y"] <= c["y"] < box["y"] + box["h"]][0]


def combo_set(dialog, control_id, text):
    probe().ask("settext", combo_edit(dialog, control_id)["hwnd"], text.encode("utf-8").hex())


class SerialSource(Case):
    def setUp(self):
        super().setUp()
        self.link = os.path.join(self.folder, "receiver-tty")
        device = os.path.join(os.environ["WINEPREFIX"], "dosdevices", PORT.lower())
        if os.path.lexists(device):
            os.unlink(device)
        os.symlink(self.link, device)
        self.cleanups.append(lambda: os.unlink(device))
        self.relay, self.source = free_port(), free_port()

    def plug(self):
        receiver = SerialReceiver(self.folder, self.link)
        self.processes.append(receiver.process)
        self.cleanups.append(receiver.stop)
        return receiver

    def start(self, **files):
        return self.start_program(initsocket_ini=f"{self.relay}\r\n127.0.0.1\r\n",
                                  initmkp1_ini=f"{self.source}\r\n127.0.0.1\r\n",
                                  BinarComOn_ini="1\r\n", **files)

    def assert_consecutive(self, frames):
        messages = capture_messages()
        self.assertGreater(len(frames), 100)
        got = [f[2] for f in frames]
        # The stream may begin anywhere in the capture, whose messages repeat now and then.
        runs = [[messages[(first + i) % len(messages)] for i in range(len(got))]
                for first, message in enumerate(messages) if message == got[0]]
        self.assertIn(got, runs, "a frame was lost or changed on the way")
        stamps = [f[0] for f in frames]
        self.assertEqual(stamps, sorted(set(stamps)))

    def test_dialog_switches_to_the_port_and_frames_reach_monitor_and_clients(self):
        program = self.start()
        program.wait_client_line(f"Клиент: {self.source:5d}  Ошибка connect")
        clients = [self.relay_client(self.relay) for _ in range(2)]
        receiver = self.plug()

        dialog = program.open_dialog(119, "Настройки COM источника")
        shown = (combo_edit(dialog, 1000)["text"], combo_edit(dialog, 1001)["text"])
        self.assertEqual(shown, ("", "Авто"))
        combo_set(dialog, 1000, PORT)
        texts = dialog.press_and_follow(IDOK, program.line_window(CLIENT_LINE), 3)
        dialog.wait_closed()
        trying = f"Клиент: {PORT:>5}  Идет установление связи, проба {SPEED} бод"
        self.assertIn(trying, texts, "the automatic speed shows what it tries")
        program.wait_client_line(CONNECTED)
        self.assertEqual(self.read_file("initcom.ini").split(b"\r\n")[0], PORT.encode())

        pictures = program.watch(3)
        receiver.stop()
        counts = wait_stable_counts(clients)
        data = clients[0].received()
        self.assertEqual(clients[1].received(), data, "the clients got different bytes")
        self.assertEqual(counts, [len(data)] * 2)
        frames = beast_frames(data)  # nothing is relayed while the speed is hunted
        self.assert_consecutive(frames)
        at_lines = {f"@{stamp:012X}{message};\r\n" for stamp, _, message in frames}
        shown = {line for p in pictures for line in p["lines"][:18] if line}
        self.assertTrue(shown, "the monitor showed nothing")
        self.assertLessEqual(shown, at_lines, "a shown line is not a received frame")

        dialog = program.open_dialog(119, "Настройки COM источника")
        self.assertEqual(combo_edit(dialog, 1000)["text"], PORT)
        combo_set(dialog, 1000, "")
        dialog.press(IDOK)
        dialog.wait_closed()
        program.wait_client_line(f"Клиент: {self.source:5d}  Ошибка connect")
        self.assertEqual(self.read_file("initcom.ini").split(b"\r\n")[0], b"")

    def test_unplugged_receiver_is_shown_and_received_again_when_back(self):
        receiver = self.plug()
        program = self.start(initcom_ini=f"{PORT}\r\n{SPEED}\r\n")
        program.wait_client_line(CONNECTED)
        client = self.relay_client(self.relay)
        wait_until(client.count, 10, "the first frames")

        watched = []
        watching = threading.Thread(target=lambda: watched.append(program.watch(4)))
        watching.start()
        time.sleep(0.5)
        receiver.stop()
        watching.join()
        texts = [p["lines"][CLIENT_LINE] for p in watched[0]]
        self.assertIn(DROPPED, texts, f"the unplug was never shown: {sorted(set(texts))}")
        before = len(client.received())

        self.plug()
        program.wait_client_line(CONNECTED, timeout=10)
        wait_until(lambda: client.count() > before + 20000, 10, "frames after the replug")
        self.assert_consecutive(whole_frames(client.received()[before:]))

