"""The mode keys "4" and "5", commands 113 and 118 with their check marks, and the
receiver-clock prefixes of relative-time mode."""

import re
import time

from harness import (DISPLAY_LINES, IDOK, SETTINGS_ITEMS, VK_4, VK_5, Case, free_port,
                     wait_until)

BINARY_MODE = 113
RELATIVE_TIME = 118
BINARY_ITEM = 6  # rows of the "&Настройки" menu
RELATIVE_ITEM = 10
NO_MARKS = [False] * SETTINGS_ITEMS

PREFIXED = re.compile(r"прм = (-?\d+)  комп = (-?\d+)     (@[0-9A-F]{12}[0-9A-F]+;)\r\n")
PLAIN_AT = re.compile(r"@[0-9A-F]{12}[0-9A-F]+;\r\n")
# Lines stored just before a mode changes may still reach the screen at the next tick.
SETTLE_S = 0.5


def marks_with(*items):
    marks = list(NO_MARKS)
    for item in items:
        marks[item] = True
    return marks


def prefix_values(line):
    """(receiver seconds, computer seconds) of an annotated line, or None."""
    found = PREFIXED.fullmatch(line)
    return (int(found.group(1)), int(found.group(2))) if found else None


class Modes(Case):
    def setUp(self):
        super().setUp()
        source = free_port()
        self.program = self.start_program(initsocket_ini=f"{free_port()}\r\n127.0.0.1\r\n",
                                          initmkp1_ini=f"{source}\r\n127.0.0.1\r\n")
        # "@" lines whose timestamps follow a 12 MHz clock from the start, as the default
        # timer frequency expects.
        self.start_simulator("--format", "avr-mlat", "--rate", 50, port=source)
        self.wait_bottom(lambda line: PLAIN_AT.fullmatch(line), "plain @ lines")

    def bottom(self):
        return self.program.display()[-1]

    def wait_bottom(self, condition, what, timeout=15):
        """The bottom display line once it meets `condition`."""
        def met():
            line = self.bottom()
            return line if condition(line) else None
        return wait_until(met, timeout, what)

    def wait_new_bottom(self, condition, what, timeout=15):
        """The next line shown at the bottom that meets `condition`."""
        old = self.bottom()
        return self.wait_bottom(lambda line: line != old and condition(line), what, timeout)

    def assert_display_frozen(self, seconds=1.5):
        time.sleep(SETTLE_S)
        pictures = self.program.watch(seconds)
        displays = {tuple(p["lines"][:18]) for p in pictures}
        self.assertEqual(len(displays), 1, "the display should keep what it shows")

    def assert_marks(self, expected, why):
        self.assertEqual(self.program.settings_menu_marks(), expected, why)

    def test_command_113_binary_mode_with_its_mark_and_file(self):
        self.assert_marks(NO_MARKS, "no item starts with a check mark")
        self.program.command(BINARY_MODE)
        wait_until(lambda: self.read_file_or_none("BinarComOn.ini") == b"1\r\n", 10,
                   '"BinarComOn.ini" holding 1')
        self.assert_marks(marks_with(BINARY_ITEM), "binary mode on")
        # Text lines never complete a binary frame, so nothing more is shown.
        self.assert_display_frozen()

        self.program.command(BINARY_MODE)
        wait_until(lambda: self.read_file_or_none("BinarComOn.ini") == b"0\r\n", 10,
                   '"BinarComOn.ini" holding 0')
        self.wait_new_bottom(PLAIN_AT.fullmatch, "lines shown again in text mode")
        self.assert_marks(NO_MARKS, "binary mode off")

    def test_key_5_and_command_118_relative_time(self):
        self.program.type_into_main_window(VK_5)
        first = self.wait_new_bottom(prefix_values, "an annotated line")
        receiver, computer = prefix_values(first)
        self.assertEqual(receiver, 0, "a fresh reference starts at 0")
        self.assertIn(computer, (0, 1))
        self.assert_marks(NO_MARKS, 'key "5" leaves item 118 without its mark')

        later = self.wait_bottom(lambda line: (prefix_values(line) or (0,))[0] >= 3,
                                 "three receiver seconds")
        receiver, computer = prefix_values(later)
        # Whole seconds of two clocks read a few milliseconds apart.
        self.assertLessEqual(abs(receiver - computer), 2,
                             "the receiver's and the computer's seconds should agree")

        # The command decides by the mode, which is on: it switches it off.
        self.program.command(RELATIVE_TIME)
        self.wait_new_bottom(PLAIN_AT.fullmatch, "plain lines once the mode is off")
        self.assert_marks(NO_MARKS, "mode off, no mark")

        self.program.command(RELATIVE_TIME)
        line = self.wait_new_bottom(prefix_values, "annotated lines again")
        self.assertEqual(prefix_values(line)[0], 0, "switching the mode on takes a new reference")
        self.assert_marks(marks_with(RELATIVE_ITEM), "mode on by the command, with its mark")

        self.wait_bottom(lambda line: (prefix_values(line) or (0,))[0] >= 2, "two seconds")
        self.program.type_into_main_window(VK_5, VK_5)
        line = self.wait_new_bottom(lambda text: prefix_values(text) == (0, 0) or
                                    prefix_values(text) == (0, 1), "a new reference after 5, 5")
        self.assert_marks(marks_with(RELATIVE_ITEM), 'key "5" does not touch the mark')

    def test_key_4_freezes_and_resumes_the_display(self):
        self.program.type_into_main_window(VK_4)
        self.assert_display_frozen()
        self.program.type_into_main_window(VK_4)
        self.wait_new_bottom(PLAIN_AT.fullmatch, "the display moving again")

    def test_frequency_dialog_sets_the_receiver_clock(self):
        self.program.command(RELATIVE_TIME)
        self.wait_bottom(lambda line: (prefix_values(line) or (0, 0))[1] >= 4, "four seconds")

        dialog = self.program.open_dialog(117, "Частота таймера")
        self.assertEqual(dialog.text(1000), "12000000")
        dialog.set_text(1000, "6000000")
        # Follow the lines from the moment OK is pressed. From a new reference the
        # receiver's seconds, counting double now, reach 3 in 1.5 s; from the old one
        # they would be past 8. (A new reference's 0 shows for half a second only, too
        # briefly to be sure of catching on a busy machine.)
        shown = dialog.press_and_follow(IDOK, self.program.line_window(DISPLAY_LINES - 1), 1.5)
        dialog.wait_closed()
        self.assertEqual(self.read_file("frequency.ini"), b"6000000\r\n")
        after_ok = [prefix_values(line)[0] for line in shown[1:] if prefix_values(line)]
        self.assertTrue(after_ok and min(after_ok) <= 3,
                        f"OK should take a new reference point: {after_ok}")
        # Half the frequency: the receiver's 12 MHz timestamps now count double.
        line = self.wait_bottom(lambda text: (prefix_values(text) or (0, 0))[1] >= 3,
                                "three computer seconds")
        receiver, computer = prefix_values(line)
        self.assertLessEqual(abs(receiver - 2 * computer), 2, line)

        dialog = self.program.open_dialog(117, "Частота таймера")
        self.assertEqual(dialog.text(1000), "6000000")
        dialog.set_text(1000, "1")
        dialog.close_box()
        dialog.wait_closed()
        self.assertEqual(self.read_file("frequency.ini"), b"6000000\r\n", "Cancel saves nothing")

