// A name server that takes its time, put in front of a program with LD_PRELOAD: every look-up
// of "localhost" waits SLOW_RESOLVER_SECONDS, then says on standard error that it answered.
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <netdb.h>
#include <unistd.h>

extern "C" int getaddrinfo(const char *node, const char *service, const struct addrinfo *hints,
                           struct addrinfo **result)
{
    using Real = int (*)(const char *, const char *, const struct addrinfo *, struct addrinfo **);
    static const auto real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "getaddrinfo"));
    const char *seconds = std::getenv("SLOW_RESOLVER_SECONDS");
    if (node && seconds && std::strcmp(node, "localhost") == 0) {
        ::sleep(unsigned(std::atoi(seconds)));
        static const char answered[] = "slow resolver: answered\n";
        [[maybe_unused]] const ssize_t written = ::write(2, answered, sizeof answered - 1);
    }
    return real(node, service, hints, result);
}
