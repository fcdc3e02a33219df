#include "access.h"

#include <crypt.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool shared;            // listening beyond loopback
const char *users_path; // the users file, or null

const size_t LINE_SIZE = 512;

// Equal strings, compared in a time that does not depend on where they differ.
bool same_secret(const char *a, const char *b) {
    const size_t length = strlen(a);
    if (length != strlen(b)) return false;
    unsigned char differ = 0;
    for (size_t i = 0; i < length; ++i)
        differ |= static_cast<unsigned char>(a[i] ^ b[i]);
    return differ == 0;
}

// The user named by valid Basic credentials: 1 yes (the name set as the client's), 0 none
// given, -1 given and wrong.
int authenticate(pappl_client_t *client) {
    const char *field = httpGetField(papplClientGetHTTP(client), HTTP_FIELD_AUTHORIZATION);
    if (field == nullptr || field[0] == '\0') return 0;
    if (strncmp(field, "Basic ", 6) != 0) return -1;
    char decoded[LINE_SIZE];
    int length = sizeof decoded - 1;
    httpDecode64_2(decoded, &length, field + 6);
    decoded[length < 0 ? 0 : length] = '\0';
    char *password = strchr(decoded, ':');
    if (password == nullptr) return -1;
    *password++ = '\0';
    if (users_path == nullptr || !password_matches(users_path, decoded, password)) {
        papplLogClient(client, PAPPL_LOGLEVEL_WARN, "Wrong name or password for \"%s\".", decoded);
        return -1;
    }
    papplClientSetUsername(client, decoded);
    return 1;
}

const char *requesting_user(ipp_t *request) {
    return ippGetString(ippFindAttribute(request, "requesting-user-name", IPP_TAG_NAME), 0,
                        nullptr);
}

http_status_t authorize(pappl_client_t *client, const char *, gid_t, void *) {
    const int authenticated = authenticate(client);
    if (authenticated > 0) return HTTP_STATUS_CONTINUE;
    if (authenticated < 0) return HTTP_STATUS_UNAUTHORIZED;
    ipp_t *request = papplClientGetRequest(client); // null for a web page or form
    Request_Facts facts = {request != nullptr, IPP_OP_CUPS_NONE, false, false, false};
    if (request != nullptr) {
        facts.operation = ippGetOperation(request);
        pappl_job_t *job = papplClientGetJob(client);
        const char *user = requesting_user(request);
        facts.names_a_job = job != nullptr;
        facts.owns_the_job =
            job != nullptr && user != nullptr && strcmp(papplJobGetUsername(job), user) == 0;
        facts.only_my_jobs =
            ippGetBoolean(ippFindAttribute(request, "my-jobs", IPP_TAG_BOOLEAN), 0) &&
            user != nullptr;
    }
    return allowed_unauthenticated(facts) ? HTTP_STATUS_CONTINUE : HTTP_STATUS_UNAUTHORIZED;
}

// The page's path names a file of the web interface's look (its icons, its style), which any
// client may have: printer-icons are for clients to show.
bool is_static_file(const char *path) {
    const char *dot = strrchr(path, '.');
    return dot != nullptr && strchr(dot, '/') == nullptr &&
           (strcmp(dot, ".png") == 0 || strcmp(dot, ".css") == 0);
}

} // namespace

void set_access(pappl_system_t *system, bool beyond_loopback, const char *users_file) {
    shared = beyond_loopback;
    users_path = users_file;
    if (beyond_loopback || users_file != nullptr)
        papplSystemSetAuthCallback(system, "Basic", authorize, nullptr);
}

bool request_allowed(http_t *http, http_state_t method, const char *path) {
    if (!shared || httpAddrLocalhost(httpGetAddress(http))) return true;
    if (method == HTTP_STATE_OPTIONS) return true; // how a client upgrades to TLS
    if (method == HTTP_STATE_POST) return strncmp(path, "/ipp/", 5) == 0;
    return (method == HTTP_STATE_GET || method == HTTP_STATE_HEAD) && is_static_file(path);
}

bool allowed_unauthenticated(const Request_Facts &facts) {
    if (!facts.ipp) return false; // the web interface's forms administer
    switch (facts.operation) {
    case IPP_OP_PRINT_JOB:
    case IPP_OP_PRINT_URI:
    case IPP_OP_VALIDATE_JOB:
    case IPP_OP_CREATE_JOB:
        return true;
    case IPP_OP_SEND_DOCUMENT:
    case IPP_OP_SEND_URI:
    case IPP_OP_CLOSE_JOB:
    case IPP_OP_CANCEL_JOB:
    case IPP_OP_GET_JOB_ATTRIBUTES:
    case IPP_OP_HOLD_JOB:
    case IPP_OP_RELEASE_JOB:
        return facts.names_a_job && facts.owns_the_job;
    case IPP_OP_GET_JOBS:
        return facts.only_my_jobs;
    default:
        return false;
    }
}

bool password_matches(const char *users_file, const char *name, const char *password) {
    FILE *users = fopen(users_file, "re");
    if (users == nullptr) return false;
    char line[LINE_SIZE];
    bool matches = false;
    crypt_data *work = static_cast<crypt_data *>(calloc(1, sizeof(crypt_data)));
    while (work != nullptr && !matches && fgets(line, sizeof line, users) != nullptr) {
        line[strcspn(line, "\r\n")] = '\0';
        char *hash = strchr(line, ':');
        if (line[0] == '#' || hash == nullptr) continue;
        *hash++ = '\0';
        if (strcmp(line, name) != 0) continue;
        const char *made = crypt_r(password, hash, work);
        matches = made != nullptr && made[0] != '*' && same_secret(made, hash);
    }
    free(work);
    fclose(users);
    return matches;
}

int write_users_line(const char *name) {
    if (name == nullptr || name[0] == '\0' || strpbrk(name, ":\n\r") != nullptr) {
        fputs("ravo-printer-app: give a user name without ':' (passwd NAME)\n", stderr);
        return 1;
    }
    termios saved;
    const bool terminal = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
        fprintf(stderr, "Password for %s: ", name);
    }
    char password[LINE_SIZE] = "";
    const bool read = fgets(password, sizeof password, stdin) != nullptr;
    if (terminal) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        fputc('\n', stderr);
    }
    password[strcspn(password, "\r\n")] = '\0';
    char salt[CRYPT_GENSALT_OUTPUT_SIZE];
    crypt_data *work = static_cast<crypt_data *>(calloc(1, sizeof(crypt_data)));
    const char *hash = nullptr;
    if (read && password[0] != '\0' && work != nullptr &&
        crypt_gensalt_rn(nullptr, 0, nullptr, 0, salt, sizeof salt) != nullptr)
        hash = crypt_r(password, salt, work);
    explicit_bzero(password, sizeof password);
    const bool made = hash != nullptr && hash[0] != '*';
    if (made)
        printf("%s:%s\n", name, hash);
    else
        fputs("ravo-printer-app: no password read, or it could not be hashed\n", stderr);
    free(work);
    return made ? 0 : 1;
}
