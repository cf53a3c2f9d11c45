// The link status texts that both sources of the receiver show, the TCP link and the
// serial port, in Windows-1251.
#pragma once

// "Идет установление связи": an attempt to open the link has begun.
inline constexpr char kLinkTextConnecting[] =
    "\xC8\xE4\xE5\xF2 \xF3\xF1\xF2\xE0\xED\xEE\xE2\xEB\xE5\xED\xE8\xE5 \xF1\xE2\xFF\xE7\xE8";
// "Связь разорвана": the link was dropped or its peer went; it is opened again.
inline constexpr char kLinkTextDropped[] =
    "\xD1\xE2\xFF\xE7\xFC \xF0\xE0\xE7\xEE\xF0\xE2\xE0\xED\xE0";
