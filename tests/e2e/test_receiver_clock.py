"""The receiver-clock window: it judges the timer frequency setting against a receiver's
own clock, and its button writes the fitting frequency as the frequency dialog's OK does."""

from harness import Case, Dialog, free_port, wait_until

RECEIVER_CLOCK = 120  # the menu command
CLOCK_TEXT, CLOCK_APPLY = 1000, 1001


class ReceiverClock(Case):
    def test_a_20_mhz_receiver_is_named_and_its_frequency_written(self):
        source = free_port()
        program = self.start_program(initmkp1_ini=f"{source}\r\n127.0.0.1\r\n",
                                     initsocket_ini=f"{free_port()}\r\n127.0.0.1\r\n",
                                     BinarComOn_ini="1\r\n")
        self.start_simulator("--format", "beast", "--clock-hz", 20000000, port=source)
        program.wait_client_line(f"Клиент: {source:5d}  Соединение 127.0.0.1")

        program.command(RECEIVER_CLOCK)
        window = Dialog(program, wait_until(
            lambda: next((w for w in program.top_windows() if w["text"] == "Часы приемника"),
                         None), 15, "the receiver-clock window"))
        wait_until(lambda: "частота таймера неверна" in window.text(CLOCK_TEXT), 40,
                   "the wrong-setting verdict")
        # The verdict can come before the fit is tight enough to name a common frequency:
        # the button offers it once it is.
        wait_until(lambda: window.text(CLOCK_APPLY) == "Записать 20000000 Гц в frequency.ini",
                   40, "the button offering 20000000 Hz")
        window.press(CLOCK_APPLY)
        wait_until(lambda: self.read_file_or_none("frequency.ini") == b"20000000\r\n", 10,
                   '"frequency.ini" holding 20000000')
        # Judged against the new setting, nothing is offered any more.
        wait_until(lambda: not window.control(CLOCK_APPLY)["visible"], 10, "the button to go")
