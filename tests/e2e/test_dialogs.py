"""The settings dialogs: what each shows on opening, what OK writes, what Cancel keeps,
and the help and contact boxes."""

from harness import CLIENT_LINE, IDCANCEL, IDOK, Case, Dialog, free_port, wait_until

LABEL = 0xFFFF  # the id of every label (-1)

HELP_HEADINGS = [
    "НАСТРОЙКИ СОМ ИСТОЧНИКА",
    "НАСТРОЙКИ ТСР ИСТОЧНИКА",
    "БИНАРНЫЙ РЕЖИМ ИСТОЧНИКА",
    "НАСТРОЙКИ СЕРВЕРА",
    "НАСТРОЙКИ ПЕРЕДАЧИ НА СЕРВЕРЫ",
    "НАСТРОЙКИ ТСР ПОТРЕБИТЕЛЯ",
    "НИЖНИЙ ПОРОГ УРОВНЯ ПРИЕМА",
    "ЧАСТОТА ТАЙМЕРА",
    "ПОКАЗЫВАТЬ ОТНОСИТЕЛЬНОЕ ВРЕМЯ",
    "КООРДИНАТЫ ПРИЕМНИКА",
    "ИМЯ ПРИЕМНИКА",
]


class Dialogs(Case):
    def start(self, **files):
        self.relay = free_port()
        files.setdefault("initsocket_ini", f"{self.relay}\r\n127.0.0.1\r\n")
        files.setdefault("initmkp1_ini", f"{free_port()}\r\n127.0.0.1\r\n")
        self.program = self.start_program(**files)
        return self.program

    def assert_controls(self, dialog, expected):
        """Every control as (id, class, text), in template order; edits without text."""
        found = [(c["id"], c["class"], "" if c["class"] == "Edit" else c["text"])
                 for c in dialog.controls()]
        self.assertEqual(found, expected)

    def test_relay_dialog_asks_for_a_restart(self):
        program = self.start()
        dialog = program.open_dialog(102, "Настройки TCP")
        self.assert_controls(dialog, [(1, "Button", "OK"), (2, "Button", "Cancel"),
                                      (1000, "Edit", ""), (LABEL, "Static", "Порт"),
                                      (1001, "Edit", ""),
                                      (LABEL, "Static", "Адрес (пусто - все)"),
                                      (1002, "Edit", ""),
                                      (LABEL, "Static", "Клиентов с одного адреса")])
        self.assertEqual(dialog.text(1000), str(self.relay))
        dialog.set_text(1000, "5000")
        dialog.press(IDOK)

        box = program.wait_new_dialog("Внимание")
        self.assertEqual(box["owner"], program.hwnd)
        self.assertTrue(dialog.is_open(), "the dialog stays while the box is open")
        box = Dialog(program, box)
        self.assertEqual(box.message_text(), "Необходимо перезапустить программу")
        box.press(IDOK)
        dialog.wait_closed()
        self.assertEqual(self.read_file("initsocket.ini"), b"5000\r\n\r\n\r\n100\r\n")

        # Still listening on the old port; the next refresh shows the new one.
        self.relay_client(self.relay)
        program.wait_server_line("Сервер:  5000 127.0.0.1 ")

        dialog = program.open_dialog(102, "Настройки TCP")
        self.assertEqual(dialog.text(1000), "5000")
        dialog.set_text(1000, "6000")
        dialog.press(IDCANCEL)
        dialog.wait_closed()
        self.assertEqual(self.read_file("initsocket.ini"), b"5000\r\n\r\n\r\n100\r\n", "Cancel saves nothing")
        self.assertEqual(program.dialogs("Внимание"), [], "Cancel asks nothing")

    def test_source_dialog_reconnects_to_the_new_port(self):
        first = self.start_simulator("--rate", 20)
        second = self.start_simulator("--rate", 20)
        program = self.start(initmkp1_ini=f"{first.port}\r\n127.0.0.1\r\n")
        program.wait_client_line(f"Клиент: {first.port:5d}  Соединение 127.0.0.1")

        dialog = program.open_dialog(108, "Настройки TCP")
        self.assert_controls(dialog, [(1, "Button", "OK"), (2, "Button", "Cancel"),
                                      (1000, "Edit", ""), (LABEL, "Static", "Порт"),
                                      (1001, "Edit", ""), (LABEL, "Static", "IP адрес")])
        self.assertEqual((dialog.text(1000), dialog.text(1001)), (str(first.port), "127.0.0.1"))
        dialog.set_text(1000, str(second.port))
        texts = dialog.press_and_follow(IDOK, program.line_window(CLIENT_LINE), 2)
        self.assertEqual(texts[1], f"Клиент: {second.port:5d}  Связь разорвана",
                         "the link is dropped at once")
        dialog.wait_closed()
        self.assertEqual(self.read_file("initmkp1.ini"), f"{second.port}\r\n127.0.0.1\r\n".encode())
        program.wait_client_line(f"Клиент: {second.port:5d}  Соединение 127.0.0.1")
        wait_until(lambda: any("closed the connection" in e for e in first.events()), 10,
                   "the old link to be closed")
        self.assertEqual(len(second.connections()), 1)

        dialog = program.open_dialog(108, "Настройки TCP")
        self.assertEqual(dialog.text(1000), str(second.port))
        dialog.set_text(1000, str(first.port))
        dialog.press(IDCANCEL)
        dialog.wait_closed()
        self.assertEqual(self.read_file("initmkp1.ini"), f"{second.port}\r\n127.0.0.1\r\n".encode())
        self.assertEqual(len(first.connections()), 1, "Cancel changes nothing")
        self.assertEqual(program.client_line(), f"Клиент: {second.port:5d}  Соединение 127.0.0.1")

    def test_coordinates_dialog(self):
        program = self.start()
        dialog = program.open_dialog(110, "Настройки координат приемника")
        self.assert_controls(dialog, [(1, "Button", "OK"), (1000, "Edit", ""),
                                      (LABEL, "Static", "Широта"), (1001, "Edit", ""),
                                      (LABEL, "Static", "Долгота"), (2, "Button", "Cancel")])
        # The defaults are decimal degrees with six decimals.
        for field in (1000, 1001):
            whole, _, decimals = dialog.text(field).partition(".")
            self.assertTrue(whole.lstrip("-").isdigit() and len(decimals) == 6, dialog.text(field))
        dialog.set_text(1000, "47.5")
        dialog.set_text(1001, "39.25")
        dialog.press(IDOK)
        dialog.wait_closed()
        self.assertEqual(self.read_file("point.ini"), b"47.5\r\n39.25\r\n")

        dialog = program.open_dialog(110, "Настройки координат приемника")
        self.assertEqual((dialog.text(1000), dialog.text(1001)), ("47.5", "39.25"))
        dialog.set_text(1000, "1.0")
        dialog.close_box()
        dialog.wait_closed()
        self.assertEqual(self.read_file("point.ini"), b"47.5\r\n39.25\r\n", "Cancel saves nothing")

    def test_name_dialog_keeps_russian_text(self):
        program = self.start()
        dialog = program.open_dialog(111, "Настройки имени приемника")
        self.assert_controls(dialog, [(1, "Button", "OK"), (2, "Button", "Cancel"),
                                      (1000, "Edit", ""), (LABEL, "Static", "Имя")])
        self.assertEqual(dialog.text(1000), "Varnholm")
        second = program.open_dialog(111, "Настройки имени приемника")
        self.assertEqual(len(program.dialogs("Настройки имени приемника")), 2,
                         "every command opens a dialog of its own")
        second.press(IDCANCEL)
        second.wait_closed()

        dialog.set_text(1000, "Приёмник Юг")
        dialog.press(IDOK)
        dialog.wait_closed()
        self.assertEqual(self.read_file("name.ini"), "Приёмник Юг\r\n".encode("cp1251"))

        dialog = program.open_dialog(111, "Настройки имени приемника")
        self.assertEqual(dialog.text(1000), "Приёмник Юг")
        dialog.set_text(1000, "Север")
        dialog.press(IDCANCEL)
        dialog.wait_closed()
        self.assertEqual(self.read_file("name.ini"), "Приёмник Юг\r\n".encode("cp1251"))

    def test_threshold_dialog_replaces_an_out_of_range_value(self):
        program = self.start(porog_ini="300\r\n")
        dialog = program.open_dialog(116, "Нижний порог уровня приема")
        self.assert_controls(dialog, [(1, "Button", "OK"), (2, "Button", "Cancel"),
                                      (1000, "Edit", ""), (LABEL, "Static", "Нижний порог")])
        self.assertEqual(dialog.text(1000), "50")
        dialog.press(IDCANCEL)
        dialog.wait_closed()
        self.assertEqual(self.read_file("porog.ini"), b"300\r\n", "opening never writes")

        dialog = program.open_dialog(116, "Нижний порог уровня приема")
        self.assertEqual(dialog.text(1000), "50")
        dialog.set_text(1000, "42abc")
        dialog.press(IDOK)
        dialog.wait_closed()
        self.assertEqual(self.read_file("porog.ini"), b"42abc\r\n", "saved as typed")
        dialog = program.open_dialog(116, "Нижний порог уровня приема")
        self.assertEqual(dialog.text(1000), "42abc", "in range: shown as read")
        dialog.press(IDCANCEL)
        dialog.wait_closed()

    def test_frequency_dialog_without_a_file(self):
        program = self.start()
        dialog = program.open_dialog(117, "Частота таймера")
        self.assert_controls(dialog, [(1, "Button", "OK"), (2, "Button", "Cancel"),
                                      (1000, "Edit", ""), (LABEL, "Static", "Частота таймера")])
        self.assertEqual(dialog.text(1000), "12000000")
        dialog.press(IDCANCEL)
        dialog.wait_closed()
        with self.assertRaises(FileNotFoundError):
            self.read_file("frequency.ini")

    def test_help_and_contact_boxes(self):
        program = self.start()
        program.command(301)
        box = Dialog(program, program.wait_new_dialog("Меню"))
        self.assertEqual(box.control(1)["text"], "OK")
        lines = box.message_text().split("\n")
        headings = [line[1:-1] for line in lines if line.startswith('"')]
        self.assertEqual(headings, HELP_HEADINGS)
        for heading in HELP_HEADINGS:
            at = lines.index(f'"{heading}"')
            self.assertTrue(lines[at + 1], f"{heading} has no paragraph")
            if at > 0:
                self.assertEqual(lines[at - 1], "", "an empty line between sections")
        box.press(IDOK)
        box.wait_closed()

        program.command(302)
        box = Dialog(program, program.wait_new_dialog("Автор"))
        self.assertEqual(len(box.message_text().split("\n")), 3, "three lines of contact text")
        box.press(IDOK)
        box.wait_closed()
