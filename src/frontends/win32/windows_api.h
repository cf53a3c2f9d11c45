// The Windows API for the Win32 front end. Winsock 2 must come before windows.h, so
// every file of the front end takes both from here: Winsock with the core's socket
// names, then windows.h.
#pragma once

#include "base/socket_compat.h"

#include <windows.h>
