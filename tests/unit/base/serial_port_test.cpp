// The serial port opens serial ports and nothing else: a name of any other kind is
// refused before anything is opened, so a typed or planted name cannot make the
// program connect to a share or a pipe, or hold a file.
#include "base/serial_port.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/base/net_helpers.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

SerialOpen open_result(const std::string& name) {
    SerialPort port;
    SerialOpen result = serial_open(port, name.c_str(), 115200);
    serial_close(port);
    return result;
}

#ifdef _WIN32

TEST(SerialPort, OnlyComNamesReachTheSystem) {
    // A pipe server waiting for a client, and a file held with no sharing (an attempt to
    // open it would fail as busy): neither may be touched.
    HANDLE pipe =
        CreateNamedPipeA("\\\\.\\pipe\\qalmor-test", PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                         PIPE_TYPE_BYTE, 1, 512, 512, 0, nullptr);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    OVERLAPPED client{};
    client.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_FALSE(ConnectNamedPipe(pipe, &client));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    TempDir dir;
    dir.write("x.txt", "x");
    std::string file = dir.path + "\\x.txt";
    HANDLE held = CreateFileA(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);

    // Shares, a pipe and a file, by either road to them; then names that only look like
    // a port's.
    std::vector<std::string> refused = {"\\\\127.0.0.1\\share\\x",
                                        "\\\\.\\UNC\\127.0.0.1\\share\\x"};
    refused.insert(refused.end(), {"\\\\.\\pipe\\qalmor-test", file, "\\\\.\\" + file});
    for (const char* name :
         {"COM3x", "COMx", "COM", "COM0", "COM03", "COM257", "\\\\?\\COM3", "COM3:"})
        refused.push_back(name);
    for (const std::string& name : refused)
        EXPECT_EQ(open_result(name), SerialOpen::not_serial) << name;
    EXPECT_EQ(WaitForSingleObject(client.hEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT))
        << "the pipe got a client";

    // Port names are opened, in either form and any case: Wine has no such ports.
    for (const char* name : {"COM250", "\\\\.\\COM250", "com250", "\\\\.\\cOm256"})
        EXPECT_EQ(open_result(name), SerialOpen::missing) << name;

    CloseHandle(held);
    CancelIo(pipe);
    CloseHandle(pipe);
    CloseHandle(client.hEvent);
}

#else

TEST(SerialPort, OnlyCharacterDevicesAreOpened) {
    TempDir dir;
    dir.write("file", "x");
    std::string file = dir.path + "/file";
    std::string folder = dir.path + "/folder";
    std::string fifo = dir.path + "/fifo";
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Every open of the three, or of the folder they are in, is an event here.
    int opens = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(opens, 0);
    ASSERT_GE(inotify_add_watch(opens, dir.path.c_str(), IN_OPEN), 0);

    for (const std::string& name : {file, folder, fifo})
        EXPECT_EQ(open_result(name), SerialOpen::not_serial) << name;
    char events[4096];
    EXPECT_LT(read(opens, events, sizeof events), 0) << "something was opened";
    close(opens);
}

#endif

}  // namespace
