// The settings file as the spooler's users read it.
#include "check.h"

#include "../filter/child.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

// What one user's reading of the settings file comes to.
struct Reading {
    bool used;
    Conf conf;
    char why[160]; // the first reason it falls back, or ""
};

// The first reason, of those a person reading as that user would be given.
void remember_why(Reading &reading, const char *why, const char *text = "") {
    if (reading.why[0] == '\0') snprintf(reading.why, sizeof reading.why, "%s%s", why, text);
}

void remember_fault(Settings_Report &report, Fault fault, int, const char *text) {
    Reading &reading = *static_cast<Reading *>(report.context);
    if (fault == Fault::CANNOT_OPEN) remember_why(reading, "cannot open it: ", text);
    if (fault == Fault::NO_SECTION) remember_why(reading, "no section for this printer");
}

void remember_message(Settings_Report &report, const char *text) {
    remember_why(*static_cast<Reading *>(report.context), text);
}

struct Reading_As {
    const passwd *user;
    const char *path;
    int answer; // write end of the pipe for the Reading
};

[[noreturn]] void read_as_user(void *argument) {
    const Reading_As &asked = *static_cast<const Reading_As *>(argument);
    const passwd &user = *asked.user;
    Reading mine = {};
    Settings_Report report = {
        remember_fault, nullptr, remember_message, &mine, {0, 0, 0, 0}, 0, 0, 0, "", "", false};
    if (initgroups(user.pw_name, user.pw_gid) != 0 || setgid(user.pw_gid) != 0 ||
        setuid(user.pw_uid) != 0 || getuid() != user.pw_uid)
        exit_child(1);
    mine.used = read_settings(asked.path, &mine.conf, &report) == 0;
    exit_child(write(asked.answer, &mine, sizeof mine) == ssize_t(sizeof mine) ? 0 : 1);
}

// Reads the file through the filter's reader with the user's identity, in a child that drops
// root's privileges for good. False when the child could not become the user.
bool read_as(const passwd &user, const char *path, Reading *reading) {
    int answer[2];
    if (pipe2(answer, O_CLOEXEC) != 0) return false;
    const Reading_As asked = {&user, path, 3};
    const Child_Start start = {{0, 1, 2, answer[1]}, 0, nullptr, false};
    const pid_t child = fork_child(start, read_as_user, const_cast<Reading_As *>(&asked));
    close(answer[1]);
    const bool answered =
        child > 0 && read(answer[0], reading, sizeof *reading) == ssize_t(sizeof *reading);
    close(answer[0]);
    if (child > 0) wait_child(child);
    return answered;
}

// The spooler runs the filter as lp (BSD lpd, CUPS) or daemon (LPRng). Run as root, the
// checker reads the file as each of them, for real, and says where they fare otherwise;
// run as another user, it can only read as that user.
} // namespace

bool check_spooler_users(const Check &check, bool used, const Conf &conf) {
    if (geteuid() != 0) {
        const passwd *me = getpwuid(geteuid());
        printf("read as: %s, not as the spooler's users lp and daemon (run it as root for them)\n",
               me != nullptr ? me->pw_name : "this user");
        return true;
    }
    const struct {
        const char *name, *spooler;
    } users[] = {{"lp", "BSD lpd and CUPS"}, {"daemon", "LPRng"}};
    bool all_use = true;
    for (const auto &user : users) {
        const passwd *account = getpwnam(user.name);
        Reading reading = {};
        if (account == nullptr || !read_as(*account, check.path, &reading)) continue;
        if (reading.used == used && (!used || memcmp(&reading.conf, &conf, sizeof conf) == 0))
            continue;
        if (used && !reading.used) {
            finding(check, 0, "error",
                    "as %s, the user %s run the filter as, the filter falls back to its "
                    "defaults: %s",
                    user.name, user.spooler,
                    reading.why[0] != '\0' ? reading.why : "no usable settings");
            all_use = false;
        } else {
            finding(check, 0, "warning", "as %s, the user %s run the filter as, it reads otherwise",
                    user.name, user.spooler);
        }
    }
    return all_use;
}
