#include "net/socket_watch.h"

void socket_close(SOCKET s) {
    frontend_unwatch_socket(s);
    if (s != INVALID_SOCKET) {
        closesocket(s);
    }
}
