"""The relay server at its limits: a hundred clients and one more, and a client that
never reads."""

import time

from harness import (Case, avr_stream, capture_messages, free_port, tcp_send_queue,
                     wait_until)


def server_line(port, clients):
    return f"Сервер: {port:5d} " + "127.0.0.1 " * clients


class RelayLimits(Case):
    def start(self, source=None):
        self.relay = free_port()
        source = source or free_port()
        return self.start_program(initsocket_ini=f"{self.relay}\r\n127.0.0.1\r\n",
                                  initmkp1_ini=f"{source}\r\n127.0.0.1\r\n")

    def connect(self, program, count, **options):
        """Relay clients one at a time: with a backlog of 1, a connection that finds the
        queue full is only retried by the system a second later."""
        clients = []
        for _ in range(count):
            listed = program.server_line().count("127.0.0.1")
            clients.append(self.relay_client(self.relay, **options))
            program.wait_server_line(server_line(self.relay, listed + 1))
        return clients

    def test_the_101st_client_is_cut_off(self):
        program = self.start()
        clients = self.connect(program, 100)
        full = server_line(self.relay, 100)

        extra = self.relay_client(self.relay)
        self.assertTrue(extra.ended.wait(10), "the 101st client should be disconnected")
        self.assertEqual(extra.received(), b"")
        self.assertEqual(program.server_line(), full)
        self.assertNotIn(b"127.0.0.1|" * 101, self.read_file("connect.list"))

        clients[0].close()
        program.wait_server_line(server_line(self.relay, 99))
        clients.append(self.relay_client(self.relay))
        program.wait_server_line(full)

        program.close_window()
        self.assertEqual(program.wait_exit(), 0)
        for client in clients[1:]:
            self.assertTrue(client.ended.wait(10), "a relay client is still connected")

    def test_a_client_that_never_reads_does_not_hold_up_the_others(self):
        source = free_port()
        program = self.start(source)
        good = self.connect(program, 2)
        # A small receive buffer, never read.
        stuck = self.connect(program, 1, reading=False, receive_buffer=4096)[0]
        simulator = self.start_simulator("--rate", 20000, port=source)
        program.wait_client_line(f"Клиент: {source:5d}  Соединение 127.0.0.1")

        # Stuck for good once the kernel holds no more for it: from then on every send
        # to it fails, and whatever the program does about that must not hold up the
        # others.
        wait_until(lambda: self.send_queue_settled(stuck.port()), 60,
                   "the send queue to the stuck client to fill")
        counts = []
        for _ in range(5):
            counts.append(min(c.count() for c in good))
            time.sleep(1)
        pictures = program.watch(1)
        growth = [b - a for a, b in zip(counts, counts[1:])]
        self.assertTrue(all(g > 0 for g in growth), f"bytes per second to the others: {growth}")
        self.assertGreaterEqual(len(pictures), 5, "the display should go on moving")

        # With the source ended, a client that starts reading again catches up on what
        # the relay still holds for it (or finds its connection closed if it fell too far
        # behind); either way it has the stream's start, unchanged.
        simulator.stop()
        stuck_data = stuck.drain()
        messages = capture_messages()
        longest = max([len(stuck_data)] + [c.count() for c in good])
        expected = avr_stream(messages, longest // 16 + 1)
        for client in good:
            data = client.received()
            self.assertEqual(data, expected[:len(data)], "a reading client lost bytes")
        self.assertGreater(len(stuck_data), 0)
        self.assertEqual(stuck_data, expected[:len(stuck_data)],
                         "what the stuck client got must be the stream's start, unchanged")

    def send_queue_settled(self, stuck_port):
        first = tcp_send_queue(self.relay, stuck_port)
        time.sleep(1)
        second = tcp_send_queue(self.relay, stuck_port)
        return first is not None and first > 0 and first == second
