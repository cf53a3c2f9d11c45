"""The consumer link: its settings dialog turns it on and off, the third status line
shows it, and a processing server gets the greeting and then the receiver's lines."""

import socket
import threading
import time

from harness import CONSUMER_LINE, IDOK, Case, free_port, wait_until


class FakeServer:
    """A processing server: takes one connection at a time and keeps what arrives."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.port = self.listener.getsockname()[1]
        self.connections = 0
        self.data = b""
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            with self.lock:
                self.connections += 1
            with connection:
                while chunk := connection.recv(65536):
                    with self.lock:
                        self.data += chunk

    def received(self):
        with self.lock:
            return self.data

    def close(self):
        self.listener.close()


class ConsumerLink(Case):
    def test_dialog_turns_the_link_on_and_off(self):
        source = self.start_simulator("--rate", 50)
        server = FakeServer()
        self.cleanups.append(server.close)
        program = self.start_program(
            initsocket_ini=f"{free_port()}\r\n\r\n",
            initmkp1_ini=f"{source.port}\r\n127.0.0.1\r\n",
            name_ini="Варнхольм\r\n")
        program.wait_client_line(f"Клиент: {source.port:5d}  Соединение 127.0.0.1")
        self.assertEqual(program.lines()[CONSUMER_LINE], "", "off without initmkp2.ini")

        dialog = program.open_dialog(109, "Настройки TCP потребителя")
        self.assertEqual((dialog.text(1000), dialog.text(1001)), ("8888", ""))
        dialog.set_text(1000, str(server.port))
        dialog.set_text(1001, "127.0.0.1")
        dialog.press(IDOK)
        dialog.wait_closed()
        on = f"Потребитель: {server.port:5d}  Соединение 127.0.0.1"
        wait_until(lambda: program.lines()[CONSUMER_LINE] == on, 20, "the consumer line")
        self.assertEqual(self.read_file("initmkp2.ini"), f"{server.port}\r\n127.0.0.1\r\n".encode())

        greeting = "#Варнхольм\r\n".encode("cp1251")
        wait_until(lambda: server.received().count(b"\r\n") >= 8, 20, "greeting and lines")
        data = server.received()
        self.assertTrue(data.startswith(greeting), data[:40])
        lines = data.split(b"\r\n")
        self.assertEqual(lines[3:5], [b"#TEXT", b"#12000000"])
        self.assertTrue(lines[5].startswith(b"*") and lines[5].endswith(b";"), lines[5])

        dialog = program.open_dialog(109, "Настройки TCP потребителя")
        self.assertEqual((dialog.text(1000), dialog.text(1001)), (str(server.port), "127.0.0.1"))
        dialog.set_text(1001, "")
        dialog.press(IDOK)
        dialog.wait_closed()
        wait_until(lambda: program.lines()[CONSUMER_LINE] == "", 20, "the consumer line to go")
        connections = server.connections
        time.sleep(2)  # two passes of the connector
        self.assertEqual(server.connections, connections, "no new connection once off")
