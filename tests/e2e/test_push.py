"""Push targets: a server set in the push dialog is connected to from the program and
gets the receiver's bytes exactly as a relay client gets them; the fourth status line
counts the targets."""

from harness import IDOK, PUSH_LINE, Case, free_port, wait_until
from test_consumer import FakeServer

PUSH_SETTINGS = 121  # the menu command


class PushTargets(Case):
    def test_a_target_set_in_the_dialog_gets_the_stream_exactly(self):
        relay_port = free_port()
        source = free_port()
        program = self.start_program(initsocket_ini=f"{relay_port}\r\n\r\n",
                                     initmkp1_ini=f"{source}\r\n127.0.0.1\r\n",
                                     BinarComOn_ini="1\r\n")
        self.assertEqual(program.lines()[PUSH_LINE], "", "no line without targets")
        server = FakeServer()
        self.cleanups.append(server.close)
        client = self.relay_client(relay_port)
        dialog = program.open_dialog(PUSH_SETTINGS, "Настройки передачи на серверы")
        self.assertEqual(dialog.text(1000), "", "empty without initpush.ini")
        dialog.set_text(1000, f"127.0.0.1 {server.port}")
        dialog.set_text(1001, "no-port")
        dialog.press(IDOK)
        dialog.wait_closed()
        wait_until(lambda: program.lines()[PUSH_LINE] == "Передача: 1 из 2 соединены", 20,
                   "the push line")
        self.assertEqual(self.read_file("initpush.ini"),
                         f"127.0.0.1 {server.port}\r\nno-port\r\n".encode() + b"\r\n" * 6)

        simulator = self.start_simulator("--format", "beast", "--rate", 500, port=source)
        wait_until(lambda: len(server.received()) > 20000, 30, "the target's bytes")
        simulator.stop()
        wait_until(lambda: len(server.received()) == client.count() and client.count() > 0, 20,
                   "the target and the client to have it all")
        self.assertEqual(server.received(), client.received(), "the target got other bytes")
