// Who may do what with the printer application. Served on loopback only (the default), it
// keeps PAPPL's own rules: anything goes from this machine. Shared on the network, or with a
// users file, every request that changes the printer or the system, or touches another
// user's job, needs the name and password of one of the file's users (HTTP Basic, over TLS
// from other machines, which PAPPL asks for before it asks us); anyone may print and follow
// their own jobs (owned as IPP owns them, by requesting-user-name), and nobody learns other
// users' jobs unauthenticated. The web interface's pages are then served to this machine only.
#pragma once

#include <pappl/pappl.h>

// Sets the rules for the system: shared beyond loopback, and the users file (null: none, and
// then nothing that needs a password can be done over the network at all).
void set_access(pappl_system_t *system, bool beyond_loopback, const char *users_file);

// Whether the request, as its method, path and connection say, may be served at all: a web page
// or form from another machine may not while the printer is shared.
bool request_allowed(http_t *http, http_state_t method, const char *path);

// Whether the users file holds the name with this password. Lines "name:hash", the hash as
// crypt(3) makes it (yescrypt, SHA-512, ...); blank lines and lines starting with # are passed
// over.
bool password_matches(const char *users_file, const char *name, const char *password);

// What an unauthenticated IPP request may do, from what it asks.
struct Request_Facts {
    bool ipp; // false: a web page or form
    ipp_op_t operation;
    bool names_a_job, owns_the_job; // by requesting-user-name
    bool only_my_jobs;              // Get-Jobs with my-jobs
};
bool allowed_unauthenticated(const Request_Facts &facts);

// The sub-command "passwd NAME": reads a password from standard input and writes the users
// file's line for it on standard output.
int write_users_line(const char *name);
