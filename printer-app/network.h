// Where the server listens, and how a shutdown becomes a stopped server. PAPPL binds a name
// on one address family only (1.3.1: IPv4 alone, and it calls a failed bind a success), so
// the server binds each address itself, through PAPPL, one numeric address at a time.
#pragma once

#include <pappl/pappl.h>

#include <cstddef>

// The numeric addresses for what listen-hostname names: null (loopback only) gives 127.0.0.1
// and [::1]; "*" every IPv4 and every IPv6 address; a name, each of its addresses. Returns
// how many were put in addresses (each at most 64 bytes, IPv6 in brackets).
const int MAX_LISTEN_ADDRESSES = 8;
int listen_addresses(const char *listen_hostname, char (&addresses)[MAX_LISTEN_ADDRESSES][64]);

// Adds a listener on the port for each address; an address that cannot be bound (a family
// the host lacks) is logged and passed over. False, with a message on standard error, when
// none could be bound: the server must not run without a port.
bool add_listeners(pappl_system_t *system, const char *listen_hostname, int port);

// Wakes the server's accept loop once it has been told to shut down, so that it stops within
// a second, not when its poll would next time out (up to 30 s later).
void wake_for_shutdown(pappl_system_t *system);

// For the shutdown sub-command: waits until the server of this user, reached through its
// local socket as PAPPL names it, has ended; false when it is still there after the bound.
const int SHUTDOWN_WAIT_SECONDS = 70; // PAPPL ends a server with jobs still printing at 60 s
bool wait_for_server_end(const char *base_name);
