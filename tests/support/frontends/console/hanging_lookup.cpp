// A name lookup that hangs, preloaded into the console program by its tests: a lookup of
// the host 999.2.2.2 (which fails at once without this library, asking no name server)
// waits until the process exits. As the process exits, after everything of the program
// has been destroyed, the lookup returns and the library gives the connector thread time
// to run on: a program that destroyed what that thread still uses is caught by its
// sanitizers.
#include <dlfcn.h>
#include <netdb.h>
#include <pthread.h>
#include <unistd.h>
#include <cstring>

namespace {

constexpr char kHangingHost[] = "999.2.2.2";

pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t released_changed = PTHREAD_COND_INITIALIZER;
bool released = false;

__attribute__((destructor)) void release_at_exit() {
    pthread_mutex_lock(&lock);
    released = true;
    pthread_cond_broadcast(&released_changed);
    pthread_mutex_unlock(&lock);
    usleep(500 * 1000);
}

}  // namespace

extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints,
                           addrinfo** found) {
    if (node != nullptr && std::strcmp(node, kHangingHost) == 0) {
        pthread_mutex_lock(&lock);
        while (!released)
            pthread_cond_wait(&released_changed, &lock);
        pthread_mutex_unlock(&lock);
        return EAI_AGAIN;
    }
    using Lookup = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
    static const auto real = reinterpret_cast<Lookup>(dlsym(RTLD_NEXT, "getaddrinfo"));
    return real(node, service, hints, found);
}
