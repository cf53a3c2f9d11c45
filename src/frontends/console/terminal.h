// The terminal monitor: the display lines, the status lines (server, client and, while
// that link is on, consumer) and the receiver-clock line drawn full-screen at each tick,
// and single keys read without waiting for Enter.
#pragma once

struct ConsoleFrontEnd;

// Switches the terminal to single keys without echo and to its alternate screen. The
// terminal is put back by terminal_restore, at exit, and on a fatal signal or Ctrl+Z.
bool terminal_enter();
void terminal_restore();
// After the program was stopped with Ctrl+Z and continued: whether to enter again.
bool terminal_resumed();

// Draws the whole monitor in one write.
void terminal_draw(ConsoleFrontEnd& front);

// The next key typed, or -1 when none is waiting.
int terminal_read_key();
