// The process that runs the job: the variables it keeps, its limits, and the layers applied
// before it runs the shell (which execs Ghostscript) or the task's function.
#include "child.h"
#include "confinement.h"

#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

extern char **environ;

namespace {

// The variables the shell and Ghostscript get: the locale, the time zone, where to find
// programs and Ghostscript's resources, and their temporary directory. Nothing else of the
// spooler's environment (DEVICE_URI with its password, AUTH_*, ...) reaches them.
const char *const KEPT_VARIABLES[] = {"PATH=", "LANG=", "LC_", "TZ=", "GS_LIB=", "GS_FONTPATH="};
const size_t ENVIRONMENT_SIZE = 64;

void build_environment(const char *tmpdir, const char *(&variables)[ENVIRONMENT_SIZE],
                       char (&tmpdir_variable)[PATH_MAX + 8]) {
    size_t count = 0;
    snprintf(tmpdir_variable, sizeof tmpdir_variable, "TMPDIR=%s", tmpdir);
    variables[count++] = tmpdir_variable;
    for (char **variable = environ; *variable != nullptr; ++variable)
        for (const char *kept : KEPT_VARIABLES)
            if (strncmp(*variable, kept, strlen(kept)) == 0 && count < ENVIRONMENT_SIZE - 1) {
                variables[count++] = *variable;
                break;
            }
    variables[count] = nullptr;
}

// Lowers soft and hard limit to the limit, or keeps a lower one the spooler already set.
bool lower_limit(int resource, uint64_t limit) {
    rlimit current;
    if (getrlimit(resource, &current) != 0) return false;
    const rlim_t lowered = current.rlim_cur < limit ? current.rlim_cur : rlim_t(limit);
    const rlimit wanted = {lowered, lowered};
    return setrlimit(resource, &wanted) == 0;
}

// The longest argument the kernel passes to a program (MAX_ARG_STRLEN).
const size_t MAX_ARGUMENT_BYTES = 32 * 4096;

} // namespace

void fail_setup(Child_Status status, const char *step) {
    if (status == Child_Status::SETUP_FAILED)
        fprintf(stderr, "%s: %s: %s\n", MESSAGE_CANNOT_START, step, strerror(errno));
    const char byte = char(status);
    if (write(CHILD_STATUS_FD, &byte, 1) < 0) exit_child(127);
    exit_child(127);
}

// The shell is told to exec Ghostscript, so that no fork of the shell's can fail once the job
// is under way.
void confine_and_run(const Rasterizer_Task &task, const char *tmpdir) {
    static char command[MAX_ARGUMENT_BYTES];
    if (task.command != nullptr &&
        size_t(snprintf(command, sizeof command, "exec %s", task.command)) >= sizeof command) {
        errno = E2BIG;
        fail_setup(Child_Status::SETUP_FAILED, "/bin/sh");
    }
    const char *variables[ENVIRONMENT_SIZE];
    char tmpdir_variable[PATH_MAX + 8];
    build_environment(tmpdir, variables, tmpdir_variable);
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        fail_setup(Child_Status::SETUP_FAILED, "no new privileges");
    if (!apply_landlock(tmpdir, task.job_by_name))
        fail_setup(Child_Status::SETUP_FAILED, "Landlock");
    if (!apply_seccomp()) fail_setup(Child_Status::SETUP_FAILED, "seccomp");
    const Rasterizer_Limits &limits = filter_config.limits;
    if (!lower_limit(RLIMIT_CORE, 0) || !lower_limit(RLIMIT_CPU, limits.cpu_seconds) ||
        !lower_limit(RLIMIT_AS, limits.address_space))
        fail_setup(Child_Status::SETUP_FAILED, "resource limits");
    if (task.command == nullptr) {
        close(CHILD_STATUS_FD); // the task has started: no set-up failure is left to tell
        exit_child(task.function(task.argument));
    }
    const char *const arguments[] = {"sh", "-c", command, nullptr};
    exec_program("/bin/sh", arguments, variables);
    fail_setup(Child_Status::SETUP_FAILED, "/bin/sh");
}
