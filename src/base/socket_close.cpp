// Apart from the rest of the socket layer, because it calls into the front end: programs
// without one (the receiver simulator) use the socket layer but never this.
#include "base/frontend.h"
#include "base/socket_compat.h"

void socket_close(SOCKET s) {
    frontend_unwatch_socket(s);
    if (s != INVALID_SOCKET) {
        closesocket(s);
    }
}
