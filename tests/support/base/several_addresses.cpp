// A host name that stands for several addresses, for the test program it is linked into:
// its own getaddrinfo stands in front of the C library's and answers "several.test" with
// 127.0.0.2 and then 127.0.0.1, asking no name server. Linux only.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netdb.h>

#include <cstring>

namespace {

struct Answer {
    addrinfo entries[2];
    sockaddr_in addresses[2];
};

// Marks the lists this file hands out, so that only those are freed here.
char kOurs[] = "several.test";

}  // namespace

extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints,
                           addrinfo** found) {
    if (node != nullptr && std::strcmp(node, "several.test") == 0) {
        auto* answer = new Answer{};
        const char* dotted[] = {"127.0.0.2", "127.0.0.1"};
        for (int i = 0; i < 2; ++i) {
            answer->addresses[i].sin_family = AF_INET;
            inet_pton(AF_INET, dotted[i], &answer->addresses[i].sin_addr);
            answer->entries[i].ai_family = AF_INET;
            answer->entries[i].ai_socktype = SOCK_STREAM;
            answer->entries[i].ai_addrlen = sizeof(sockaddr_in);
            answer->entries[i].ai_addr = reinterpret_cast<sockaddr*>(&answer->addresses[i]);
            answer->entries[i].ai_next = i == 0 ? &answer->entries[1] : nullptr;
        }
        answer->entries[0].ai_canonname = kOurs;
        *found = &answer->entries[0];
        return 0;
    }
    using Lookup = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
    static const auto real = reinterpret_cast<Lookup>(dlsym(RTLD_NEXT, "getaddrinfo"));
    return real(node, service, hints, found);
}

extern "C" void freeaddrinfo(addrinfo* found) noexcept {
    if (found != nullptr && found->ai_canonname == kOurs) {
        delete reinterpret_cast<Answer*>(found);  // the answer begins with its first entry
        return;
    }
    using Free = void (*)(addrinfo*);
    static const auto real = reinterpret_cast<Free>(dlsym(RTLD_NEXT, "freeaddrinfo"));
    real(found);
}
