#include "network.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

// The address through which the server wakes its own accept loop.
char wake_address[64];
int wake_port;

void add_unique(char (&addresses)[MAX_LISTEN_ADDRESSES][64], int &count, const char *address) {
    for (int i = 0; i < count; ++i)
        if (strcmp(addresses[i], address) == 0) return;
    if (count < MAX_LISTEN_ADDRESSES)
        snprintf(addresses[count++], sizeof addresses[0], "%s", address);
}

// A connection to address:port (IPv6 in brackets), closed at once; false when none was made.
bool touch(const char *address, int port) {
    sockaddr_storage storage = {};
    socklen_t length;
    char host[64];
    snprintf(host, sizeof host, "%s", address[0] == '[' ? address + 1 : address);
    if (char *close = strchr(host, ']')) *close = '\0';
    if (strchr(host, ':') != nullptr) {
        sockaddr_in6 *v6 = reinterpret_cast<sockaddr_in6 *>(&storage);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(uint16_t(port));
        if (inet_pton(AF_INET6, strcmp(host, "::") == 0 ? "::1" : host, &v6->sin6_addr) != 1)
            return false;
        length = sizeof *v6;
    } else {
        sockaddr_in *v4 = reinterpret_cast<sockaddr_in *>(&storage);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(uint16_t(port));
        if (inet_pton(AF_INET, strcmp(host, "0.0.0.0") == 0 ? "127.0.0.1" : host, &v4->sin_addr) !=
            1)
            return false;
        length = sizeof *v4;
    }
    const int fd = socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool connected =
        fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&storage), length) == 0;
    if (fd >= 0) close(fd);
    return connected;
}

} // namespace

int listen_addresses(const char *listen_hostname, char (&addresses)[MAX_LISTEN_ADDRESSES][64]) {
    int count = 0;
    if (listen_hostname == nullptr || strcmp(listen_hostname, "localhost") == 0) {
        add_unique(addresses, count, "127.0.0.1");
        add_unique(addresses, count, "[::1]");
        return count;
    }
    if (strcmp(listen_hostname, "*") == 0) {
        add_unique(addresses, count, "0.0.0.0");
        add_unique(addresses, count, "[::]");
        return count;
    }
    addrinfo hints = {}, *found = nullptr;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(listen_hostname, nullptr, &hints, &found) != 0) return 0;
    for (const addrinfo *address = found; address != nullptr; address = address->ai_next) {
        char text[INET6_ADDRSTRLEN], bracketed[64];
        if (address->ai_family == AF_INET &&
            inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(address->ai_addr)->sin_addr, text,
                      sizeof text) != nullptr)
            add_unique(addresses, count, text);
        if (address->ai_family == AF_INET6 &&
            inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6 *>(address->ai_addr)->sin6_addr,
                      text, sizeof text) != nullptr) {
            snprintf(bracketed, sizeof bracketed, "[%s]", text);
            add_unique(addresses, count, bracketed);
        }
    }
    freeaddrinfo(found);
    return count;
}

bool add_listeners(pappl_system_t *system, const char *listen_hostname, int port) {
    char addresses[MAX_LISTEN_ADDRESSES][64];
    const int count = listen_addresses(listen_hostname, addresses);
    int bound = 0;
    for (int i = 0; i < count; ++i) {
        if (!papplSystemAddListeners(system, addresses[i])) {
            papplLog(system, PAPPL_LOGLEVEL_WARN, "Cannot listen on %s port %d.", addresses[i],
                     port);
            continue;
        }
        if (bound++ == 0) memcpy(wake_address, addresses[i], sizeof wake_address);
    }
    wake_port = port;
    if (bound == 0)
        fprintf(stderr, "ravo-printer-app: cannot listen on port %d of %s (%s): %s\n", port,
                listen_hostname != nullptr ? listen_hostname : "localhost",
                count == 0 ? "no address" : addresses[0], cupsLastErrorString());
    return bound > 0;
}

void wake_for_shutdown(pappl_system_t *system) {
    static bool woken;
    if (woken || wake_address[0] == '\0' || !papplSystemIsRunning(system) ||
        !papplSystemIsShutdown(system))
        return;
    woken = touch(wake_address, wake_port);
}

bool wait_for_server_end(const char *base_name) {
    char path[sizeof(sockaddr_un::sun_path)];
    const char *snap = getenv("SNAP_COMMON");
    if (getuid() != 0)
        snprintf(path, sizeof path, "%s/%s%d.sock", papplGetTempDir(), base_name, int(getuid()));
    else
        snprintf(path, sizeof path, "%s/%s.sock", snap != nullptr ? snap : "/run", base_name);
    sockaddr_un local = {};
    local.sun_family = AF_LOCAL;
    snprintf(local.sun_path, sizeof local.sun_path, "%s", path);
    const time_t deadline = time(nullptr) + SHUTDOWN_WAIT_SECONDS;
    while (time(nullptr) <= deadline) {
        const int fd = socket(AF_LOCAL, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool there =
            fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) == 0;
        if (fd >= 0) close(fd);
        if (!there) return true;
        usleep(100000);
    }
    return false;
}
