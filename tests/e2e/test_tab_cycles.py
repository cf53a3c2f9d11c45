"""Tab in the settings dialogs: the program's own fixed cycles in the relay, source and
coordinates dialogs, and no Tab navigation anywhere else."""

from harness import IDCANCEL, IDOK, VK_SHIFT, VK_TAB, Case, free_port, probe, wait_until

RELAY = (102, "Настройки TCP")
SOURCE = (108, "Настройки TCP")
COORDINATES = (110, "Настройки координат приемника")
NAME = (111, "Настройки имени приемника")
VK_7 = 0x37


class TabCycles(Case):
    def setUp(self):
        super().setUp()
        self.program = self.start_program(initsocket_ini=f"{free_port()}\r\n127.0.0.1\r\n",
                                          initmkp1_ini=f"{free_port()}\r\n127.0.0.1\r\n")

    def open(self, which):
        dialog = self.program.open_dialog(*which)
        self.wait_focus(dialog, 1000)
        return dialog

    def wait_focus(self, dialog, control):
        wait_until(lambda: dialog.focused_control() == control, 10,
                   f"the focus on control {control} of {dialog.title!r}")

    def assert_cycle(self, dialog, controls, key=VK_TAB):
        for control in controls:
            self.program.key(key)
            self.wait_focus(dialog, control)

    def close(self, dialog):
        dialog.press(IDCANCEL)
        dialog.wait_closed()

    def test_coordinates_dialog_cycle_follows_its_own_state(self):
        dialog = self.open(COORDINATES)
        self.assert_cycle(dialog, [1001, IDOK, IDCANCEL, 1000, 1001, IDOK, IDCANCEL])
        # A click moves the focus but not the cycle, which goes on from Cancel.
        self.click_control(dialog, 1001)
        self.wait_focus(dialog, 1001)
        self.assert_cycle(dialog, [1000, 1001])
        self.close(dialog)

    def test_relay_dialog_cycle_goes_through_its_three_fields(self):
        dialog = self.open(RELAY)
        self.assert_cycle(dialog, [1001, 1002, IDOK, IDCANCEL, 1000])
        # Shift+Tab types the same character and moves forward too.
        self.assert_cycle(dialog, [1001, 1002, IDOK], key=f"{VK_SHIFT}+{VK_TAB}")
        self.close(dialog)

    def test_source_dialog_cycle(self):
        dialog = self.open(SOURCE)
        self.assert_cycle(dialog, [1001, IDOK, IDCANCEL, 1000])
        self.close(dialog)

    def test_one_tab_moves_both_open_dialogs(self):
        coordinates = self.open(COORDINATES)
        source = self.open(SOURCE)
        # The source dialog is served last, so the focus ends there.
        self.assert_cycle(source, [1001, IDOK])
        self.close(source)
        # The coordinates dialog moved with both Tabs: from OK on to Cancel.
        self.program.key(VK_TAB)
        self.wait_focus(coordinates, IDCANCEL)
        self.close(coordinates)

    def test_other_dialogs_get_no_tab_navigation(self):
        # A Tab-cycling dialog closed by Cancel takes no Tab any more.
        self.close(self.open(COORDINATES))
        dialog = self.program.open_dialog(*NAME)
        self.click_control(dialog, 1000)
        self.wait_focus(dialog, 1000)
        # The "7" comes after the Tab in the same input stream: once it is in the
        # field, the Tab has been handled, and it left the focus where it was.
        self.program.key(VK_TAB, VK_7)
        wait_until(lambda: "7" in dialog.text(1000), 10, 'the "7" typed into the name field')
        self.assertEqual(dialog.focused_control(), 1000)
        self.assertNotIn("\t", dialog.text(1000))
        self.close(dialog)

    def click_control(self, dialog, control_id):
        window = probe().ask("window", dialog.hwnd)["window"]
        control = dialog.control(control_id)
        x = window["client_x"] + control["x"] + control["w"] // 2
        y = window["client_y"] + control["y"] + control["h"] // 2
        probe().ask("click", x, y)
