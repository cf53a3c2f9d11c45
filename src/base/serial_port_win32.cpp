#include "base/serial_port.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

// The driver's receive queue: about 3 s of a Beast at 3,000,000 baud, so a busy moment
// on the reader thread loses nothing.
constexpr DWORD kInQueueBytes = 1 << 20;
constexpr DWORD kOutQueueBytes = 4096;

HANDLE handle_of(const SerialPort& port) {
    return static_cast<HANDLE>(port.handle);
}

// Every field set, so nothing is inherited from whatever used the port before.
DCB make_dcb(int32_t speed, bool handshake) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = static_cast<DWORD>(speed);
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;  // nothing is ever sent: CTS must not hold anything up
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;  // a zero byte is data in a Beast frame
    // With the handshake, the driver lowers RTS when its queue is nearly full instead of
    // losing bytes; a receiver whose handshake is on sends only while RTS is up.
    dcb.fRtsControl = handshake ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;  // a framing error must not stop every later read
    dcb.XonLim = static_cast<WORD>(kInQueueBytes / 4 > 0xFFFF ? 0xFFFF : kInQueueBytes / 4);
    dcb.XoffLim = static_cast<WORD>(kInQueueBytes / 4 > 0xFFFF ? 0xFFFF : kInQueueBytes / 4);
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.ErrorChar = 0;
    dcb.EofChar = 0;
    dcb.EvtChar = 0;
    return dcb;
}

SerialOpen open_error(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_BAD_UNIT:
        case ERROR_DEV_NOT_EXIST:
            return SerialOpen::missing;
        case ERROR_ACCESS_DENIED:  // COM ports are exclusive: this is another program
        case ERROR_SHARING_VIOLATION:
            return SerialOpen::busy;
        case ERROR_INVALID_NAME:
            return SerialOpen::missing;
        default:
            return SerialOpen::failed;
    }
}

// A read returns at once with whatever is queued; with nothing queued, it waits up to
// `timeout_ms` for the first byte, so the reader sees a stop request or an unplug soon.
void set_read_timeout(HANDLE h, int timeout_ms) {
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(timeout_ms > 0 ? timeout_ms : 1);
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 1000;
    SetCommTimeouts(h, &timeouts);
}

SerialOpen fail(SerialPort& port, SerialOpen why) {
    serial_close(port);
    return why;
}

// The highest port number taken: Device Manager offers COM1 to COM256.
constexpr int kHighestComNumber = 256;

// The number of a port name "COMn" or "\\.\COMn" ("COM" in any case, n from 1 to 256
// without leading zeros), or 0 for any other name. CreateFile opens far more than ports:
// a UNC path (\\.\UNC\host\share) makes an SMB connection that hands the user's NTLM
// hash to the host, a pipe name (\\.\pipe\x) connects to a server that may then act
// as the user, and the port is tried again every second.
int com_number(const char* name) {
    if (std::strncmp(name, "\\\\.\\", 4) == 0)
        name += 4;
    if ((name[0] | 0x20) != 'c' || (name[1] | 0x20) != 'o' || (name[2] | 0x20) != 'm')
        return 0;
    int number = 0;
    const char* digit = name + 3;
    for (; *digit >= '0' && *digit <= '9' && number <= kHighestComNumber; ++digit)
        number = number * 10 + (*digit - '0');
    bool leading_zero = name[3] == '0';
    return *digit == '\0' && !leading_zero && number <= kHighestComNumber ? number : 0;
}

}  // namespace

SerialOpen serial_open(SerialPort& port, const char* name, int32_t speed) {
    serial_close(port);
    if (strnlen(name, kSerialNameSize) >= static_cast<size_t>(kSerialNameSize) - 5)
        return SerialOpen::name_too_long;
    int number = com_number(name);
    if (number == 0)
        return SerialOpen::not_serial;
    // COM10 and up exist only in the device namespace; the form works for COM1 too. The
    // path is made from the number alone, so nothing else of the name reaches CreateFile.
    char path[16];
    std::snprintf(path, sizeof path, "\\\\.\\COM%d", number);
    HANDLE h =
        CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return open_error(GetLastError());
    port.handle = h;
    port.open = true;
    DCB current{};
    current.DCBlength = sizeof current;
    if (GetFileType(h) != FILE_TYPE_CHAR || !GetCommState(h, &current))
        return fail(port, SerialOpen::not_serial);
    SetupComm(h, kInQueueBytes, kOutQueueBytes);
    port.read_timeout_ms = -1;  // set by the first read
    return serial_set_speed(port, speed) == SerialOpen::ok ? SerialOpen::ok
                                                           : fail(port, SerialOpen::speed_refused);
}

SerialOpen serial_set_speed(SerialPort& port, int32_t speed) {
    HANDLE h = handle_of(port);
    if (speed <= 0)
        return SerialOpen::speed_refused;
    DCB dcb = make_dcb(speed, true);
    if (!SetCommState(h, &dcb)) {
        // Drivers (and Wine on a pseudo-terminal) without the handshake lines.
        dcb = make_dcb(speed, false);
        if (!SetCommState(h, &dcb))
            return SerialOpen::speed_refused;
        EscapeCommFunction(h, SETRTS);
    }
    EscapeCommFunction(h, SETDTR);
    PurgeComm(h, PURGE_RXCLEAR | PURGE_RXABORT);
    return SerialOpen::ok;
}

int serial_read(SerialPort& port, char* data, size_t size, int timeout_ms) {
    HANDLE h = handle_of(port);
    if (port.read_timeout_ms != timeout_ms) {
        set_read_timeout(h, timeout_ms);
        port.read_timeout_ms = timeout_ms;
    }
    DWORD got = 0;
    if (!ReadFile(h, data, static_cast<DWORD>(size), &got, nullptr))
        return -1;
    if (got > 0)
        return static_cast<int>(got);
    // Nothing came: an unplugged adapter (and, under Wine, a closed device) may still
    // read as empty, but its status call fails.
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(h, &errors, &status))
        return -1;
    return 0;
}

void serial_close(SerialPort& port) {
    if (port.open)
        CloseHandle(handle_of(port));
    port.open = false;
    port.handle = INVALID_HANDLE_VALUE;
}
