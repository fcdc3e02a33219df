// The rasterizer's confinement, one mechanism a file, as the supervisor (rasterizer.cpp)
// puts them together. A print job is untrusted input from the network, and -dSAFER still lets
// a job read, list, write, rename and delete files in Ghostscript's temporary directory, and
// bounds nothing. So every job runs in user, mount and PID namespaces of its own with a
// private, bounded tmpfs over /tmp (namespaces.cpp), or where the kernel refuses them in a
// private directory (private_dir.cpp); the process that runs it inherits only the job and its
// outputs and a short list of environment variables, and starts with no new privileges,
// Landlock (landlock.cpp), a seccomp filter (seccomp.cpp) and limits (confined_process.cpp).
#pragma once

#include "contracts.h"
#include "rasterizer.h"

#include <cstddef>

// Nothing of this goes into the filter's dynamic symbol table.
#pragma GCC visibility push(hidden)

// confined_process.cpp: the rasterizer's child tells the filter on this descriptor, with one
// Child_Status byte, why no shell started; it is closed once the shell or the task runs.
const int CHILD_STATUS_FD = 3;
[[noreturn]] void fail_setup(Child_Status status, const char *step);
// The shell told to exec Ghostscript, or the task's function, confined, with tmpdir as its
// temporary directory. Every layer the kernel offers must apply; one that fails stops the job
// rather than run it unconfined.
[[noreturn]] void confine_and_run(const Rasterizer_Task &task, const char *tmpdir);

// namespaces.cpp: enters the job's user and mount namespaces with its private /tmp, then a
// PID namespace for its processes; the step that failed, or null.
const char *enter_namespaces();
// Whether that failure is a refusal by the kernel or its policy (fall back to a private
// directory) rather than a failure of resources (retry the job).
bool namespaces_refused(int error);
// The rasterizer's child in namespaces: the job runs in them and ends with this process.
[[noreturn]] void run_in_namespaces(const Rasterizer_Task &task);

// landlock.cpp: the Landlock ABI this kernel offers, 0 for none; and the rules applied to this
// process (true also when the kernel has no Landlock).
int landlock_abi();
bool apply_landlock(const char *tmpdir, bool job_by_name);

// seccomp.cpp: whether a filter for this architecture exists and the kernel takes filters;
// and the filter applied to this process (true also when the kernel has none).
bool seccomp_available();
bool apply_seccomp();

// private_dir.cpp: the job's private directory, mode 0700 and locked, in $TMPDIR when that
// names an absolute path (CUPS sets one), else in /tmp. Returns the locked descriptor, or -1.
int make_private_dir(char *path, size_t size);
// Removes the directory with all in it; the number of entries removed, or -1.
long remove_private_dir(const char *path);
// Removes everything in the directory without following symbolic links; subdirectories down
// to the depth. Returns the number of entries removed, or -1.
long empty_directory(int dir, int depth);

#pragma GCC visibility pop
