"""Receiver data end to end: relayed unchanged to every relay client, and shown on the
monitor at one line per timer tick."""

from harness import (Case, DISPLAY_LINES, SETTINGS_ITEMS, avr_stream, capture_messages,
                     free_port, wait_until)

# A tick seen after a longer sampling gap may hide another one before it.
MAX_GAP_MS = 50
TICK_MS = 100
BINARY_ITEM = 6  # rows of the "&Настройки" menu


def display_of(picture):
    return picture["lines"][:DISPLAY_LINES]


def tick_pictures(pictures):
    """The display right after each tick the probe saw: the first picture with a new
    bottom line, which a tick writes last, so the lines above it are already moved.
    Each comes with its time and whether the sample before it was recent enough to rule
    out an unseen tick in between. Needs a stream whose lines all differ."""
    ticks = []
    for before, after in zip(pictures, pictures[1:]):
        if display_of(after)[-1] != display_of(before)[-1]:
            ticks.append((display_of(after), after["t_ms"], after["gap_ms"] <= MAX_GAP_MS))
    return ticks


def shown_lines(pictures):
    return [display[-1] for display, _, _ in tick_pictures(pictures)]


def lines_moved(before, after):
    """How many lines the display moved up from `before` to `after`, keeping the rest in
    order; None when `after` is no such move of `before`."""
    for k in range(1, DISPLAY_LINES):
        if after[:DISPLAY_LINES - k] == before[k:]:
            return k
    return None


def wait_stable_counts(clients, timeout=20):
    """Waits until the clients have stopped receiving, and returns their byte counts."""
    last = [None]

    def settled():
        counts = [c.count() for c in clients]
        steady = counts == last[0]
        last[0] = counts
        return counts if steady else None
    return wait_until(settled, timeout, "the relay clients to stop receiving", interval=0.5)


def beast_frames(data):
    """(timestamp, signal, message hex) of every Beast frame in `data`, which must hold
    whole frames only, each 0x1A inside a frame sent doubled."""
    lengths = {ord("1"): 2, ord("2"): 7, ord("3"): 14}
    data = data + b"\0\0"  # so a cut-off frame fails as one, not with an index error
    frames = []
    i = 0
    while i < len(data) - 2:
        if data[i] != 0x1A or data[i + 1] not in lengths:
            raise AssertionError(f"no frame start at byte {i}: {data[i:i + 8].hex()}")
        need = 7 + lengths[data[i + 1]]
        i += 2
        body = bytearray()
        while len(body) < need:
            if i >= len(data) - 2:
                raise AssertionError("the stream ends inside a frame")
            if data[i] == 0x1A:
                if data[i + 1] != 0x1A:
                    raise AssertionError(f"a single 0x1A inside a frame at byte {i}")
                i += 1
            body.append(data[i])
            i += 1
        frames.append((int.from_bytes(body[:6], "big"), body[6], body[7:].hex().upper()))
    return frames


class Traffic(Case):
    def start_with_clients(self, count, **files):
        """The program with a relay port and a source port of their own and `count`
        relay clients connected before the receiver is, so they get its whole stream."""
        self.relay, self.source = free_port(), free_port()
        program = self.start_program(initsocket_ini=f"{self.relay}\r\n127.0.0.1\r\n",
                                     initmkp1_ini=f"{self.source}\r\n127.0.0.1\r\n", **files)
        program.wait_client_line(f"Клиент: {self.source:5d}  Ошибка connect")
        clients = [self.relay_client(self.relay) for _ in range(count)]
        program.wait_server_line(f"Сервер: {self.relay:5d} " + "127.0.0.1 " * count)
        return program, clients

    def connect_receiver(self, program, *options):
        simulator = self.start_simulator(*options, port=self.source)
        program.wait_client_line(f"Клиент: {self.source:5d}  Соединение 127.0.0.1")
        return simulator

    def assert_one_line_per_tick(self, pictures):
        ticks = tick_pictures(pictures)
        moves, close_moves = [], []
        for (before, _, _), (after, _, seen_closely) in zip(ticks, ticks[1:]):
            moved = lines_moved(before, after)
            self.assertIsNotNone(moved, "the display only moves up, keeping its older lines")
            moves.append(moved)
            if seen_closely:
                close_moves.append(moved)
        self.assertGreaterEqual(len(close_moves), 10, "too few ticks seen closely")
        # Two ticks can come back to back after the program was held up, so a close look
        # may now and then see two lines; a display that moved two a tick always would.
        self.assertGreaterEqual(close_moves.count(1), 0.8 * len(close_moves),
                                f"lines moved per tick: {close_moves}")
        # The timer never runs ahead of its 100 ms: no more new lines than ticks.
        span_ms = ticks[-1][1] - ticks[0][1]
        self.assertLessEqual(sum(moves), span_ms / TICK_MS + 2,
                             f"{sum(moves)} lines shown in {span_ms} ms")

    def close_and_check_clients_released(self, program, clients):
        program.close_window()
        self.assertEqual(program.wait_exit(), 0)
        for client in clients:
            self.assertTrue(client.ended.wait(10), "a relay client is still connected")


class TextTraffic(Traffic):
    def test_lines_relayed_exactly_to_every_client(self):
        program, clients = self.start_with_clients(3)
        simulator = self.connect_receiver(program)  # "*" lines, 100 a second
        pictures = program.watch(3)
        simulator.stop()
        program.wait_client_line(f"Клиент: {self.source:5d}  Ошибка connect")

        messages = capture_messages()
        sent = {f"*{m};\r\n" for m in messages} | {""}
        for picture in pictures:
            for line in display_of(picture):
                self.assertIn(line, sent, "a display line is not a received line")
        self.assertGreaterEqual(len(pictures), 10, "the display should have moved")

        counts = wait_stable_counts(clients)
        self.assertEqual(len(set(counts)), 1, f"the clients got different amounts: {counts}")
        expected = avr_stream(messages, counts[0] // 16 + len(messages))
        self.assertGreater(counts[0], 200 * 16)
        for client in clients:
            data = client.received()
            self.assertEqual(data, expected[:len(data)], "the relay changed the stream")
            self.assertTrue(data.endswith(b";\r\n"))
        self.close_and_check_clients_released(program, clients)

    def test_one_line_per_tick_the_newest(self):
        program, clients = self.start_with_clients(1)
        # "@" lines carry a timestamp each, so every line differs from every other.
        self.connect_receiver(program, "--format", "avr-mlat", "--rate", 100)
        pictures = program.watch(4)
        self.assert_one_line_per_tick(pictures)

        stream = clients[0].received().decode().split("\r\n")
        position = {line + "\r\n": index for index, line in enumerate(stream)}
        shown = shown_lines(pictures)
        for line in shown:
            self.assertIn(line, position, "a shown line was not relayed")
        indexes = [position[line] for line in shown]
        self.assertEqual(indexes, sorted(indexes), "lines are shown in arrival order")
        steps = sorted(b - a for a, b in zip(indexes, indexes[1:]))
        # 100 lines a second and 10 ticks: about 10 lines arrive per tick and only the
        # last is shown. A display that queued them would show every one.
        self.assertGreaterEqual(steps[len(steps) // 2], 3, f"lines skipped per tick: {steps}")


class BinaryTraffic(Traffic):
    def test_beast_frames_relayed_exactly_and_shown_as_at_lines(self):
        program, clients = self.start_with_clients(3, BinarComOn_ini="1\r\n")
        marks = [False] * SETTINGS_ITEMS
        marks[BINARY_ITEM] = True
        self.assertEqual(program.settings_menu_marks(), marks,
                         "binary mode from the file carries its check mark from the start")
        simulator = self.connect_receiver(program, "--format", "beast")
        pictures = program.watch(3)
        simulator.stop()

        counts = wait_stable_counts(clients)
        data = clients[0].received()
        for client in clients[1:]:
            self.assertEqual(client.received(), data, "the clients got different bytes")
        frames = beast_frames(data)
        messages = capture_messages()
        self.assertGreater(len(frames), len(messages), "one pass of the capture at least")
        self.assertEqual([f[2] for f in frames],
                         [messages[i % len(messages)] for i in range(len(frames))])
        self.assertIn(b"\x1a\x1a", data, "the stream should hold an escaped 0x1A")
        stamps = [f[0] for f in frames]
        self.assertEqual(stamps, sorted(set(stamps)))

        at_lines = {f"@{stamp:012X}{message};\r\n" for stamp, _, message in frames}
        self.assert_one_line_per_tick(pictures)
        for line in shown_lines(pictures):
            self.assertIn(line, at_lines, "a shown line is not a received frame")
        self.assertEqual(counts, [len(data)] * 3)
        self.close_and_check_clients_released(program, clients)
