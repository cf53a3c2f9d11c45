"""The source link when the receiver cannot be reached, and when it falls silent."""

import time

from harness import IDOK, Case, avr_stream, capture_messages, free_port, wait_until

# 391 ticks of 100 ms without a decoded line; ticks are never early, so the drop cannot
# come much before 39 seconds.
WATCHDOG_S = 39.1
# A host text that is neither a name nor an address: it fails without any name-server
# query, so no traffic leaves the machine.
BAD_HOST = "999.1.1.1"


class SourceLink(Case):
    def test_unreachable_then_unresolvable_source(self):
        source = free_port()
        program = self.start_program(initsocket_ini=f"{free_port()}\r\n127.0.0.1\r\n",
                                     initmkp1_ini=f"{source}\r\n127.0.0.1\r\n")
        program.wait_client_line(f"Клиент: {source:5d}  Ошибка connect")
        # Every attempt, about one a second, refreshes the status twice and logs each.
        logged = len(self.read_file("connect.list").splitlines())
        wait_until(lambda: len(self.read_file("connect.list").splitlines()) >= logged + 4, 15,
                   "two more attempts in the client log")

        dialog = program.open_dialog(108, "Настройки TCP")
        dialog.set_text(1001, BAD_HOST)
        dialog.press(IDOK)
        dialog.wait_closed()
        self.assertEqual(self.read_file("initmkp1.ini"), f"{source}\r\n{BAD_HOST}\r\n".encode())
        program.wait_client_line(f"Клиент: {source:5d}  Ошибка {BAD_HOST}")

    def test_silent_source_dropped_and_opened_again(self):
        relay, source = free_port(), free_port()
        program = self.start_program(initsocket_ini=f"{relay}\r\n127.0.0.1\r\n",
                                     initmkp1_ini=f"{source}\r\n127.0.0.1\r\n")
        client = self.relay_client(relay)
        program.wait_server_line(f"Сервер: {relay:5d} 127.0.0.1 ")
        simulator = self.start_simulator("--pause-after", 20, port=source)
        connected = f"Клиент: {source:5d}  Соединение 127.0.0.1"
        program.wait_client_line(connected)
        wait_until(lambda: any("paused" in e for e in simulator.events()), 10,
                   "the simulator to fall silent")
        silent_since = time.monotonic()

        wait_until(lambda: len(simulator.connections()) == 2, 70, "the link to be opened again")
        silence = time.monotonic() - silent_since
        self.assertGreater(silence, WATCHDOG_S - 2, "dropped before 391 ticks of silence")
        self.assertIn("closed the connection after 20 messages", " ".join(simulator.events()),
                      "the program should have closed the silent link")
        program.wait_client_line(connected)

        # The relay client stayed through it and got both connections' messages.
        expected = avr_stream(capture_messages(), 20)
        wait_until(lambda: client.count() == 2 * len(expected), 10, "the second 20 messages")
        self.assertEqual(client.received(), expected + expected)
        self.assertEqual(program.server_line(), f"Сервер: {relay:5d} 127.0.0.1 ")
