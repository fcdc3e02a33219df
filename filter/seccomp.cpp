// The seccomp filter of the rasterizer's processes, one rule a line. Sockets of any kind fail
// with EPERM, and so does every call in another architecture's numbering (i386 or x32 on
// x86_64), which this filter does not know. An open that truncates fails with EACCES:
// Ghostscript opens every output file that way (an /OutputFile, a file opened with (w)),
// while it makes its own temporary files exclusively, as new files. openat2, whose flags a
// filter cannot see, answers ENOSYS, so the C library uses openat; so does clone3, whose
// flags it cannot see either, for clone. io_uring, which would do all of this behind the
// filter's back, and new namespaces, mounts and setns fail with EPERM.
#include "confinement.h"

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace {

#if defined(__x86_64__) || defined(__aarch64__)
#define FILTER_WRITTEN_FOR_THIS_ARCH 1
#ifdef __x86_64__
const uint32_t ARCH = AUDIT_ARCH_X86_64;
#else
const uint32_t ARCH = AUDIT_ARCH_AARCH64;
#endif
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "an argument's low word comes first");

const uint32_t NAMESPACE_FLAGS = CLONE_NEWNS | CLONE_NEWCGROUP | CLONE_NEWUTS | CLONE_NEWIPC |
                                 CLONE_NEWUSER | CLONE_NEWPID | CLONE_NEWNET;

// Each rule tests the system call number and jumps only over itself, so each reads on its own.
#define LOAD(field) BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, field))
#define RETURN(action) BPF_STMT(BPF_RET | BPF_K, action)
#define REFUSE(call, error)                                                                        \
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, call, 0, 1), RETURN(SECCOMP_RET_ERRNO | (error))
// The call is refused when its argument has one of the flags; the number is loaded again after.
#define REFUSE_WITH_FLAGS(call, argument, flags, error)                                            \
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, call, 0, 4), LOAD(args[argument]),                         \
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, flags, 0, 1), RETURN(SECCOMP_RET_ERRNO | (error)),    \
        LOAD(nr)

const sock_filter PROGRAM[] = {
    LOAD(arch),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ARCH, 1, 0),
    RETURN(SECCOMP_RET_ERRNO | EPERM),
    LOAD(nr),
#ifdef __x86_64__
    BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, __X32_SYSCALL_BIT, 0, 1), // x32's numbering
    RETURN(SECCOMP_RET_ERRNO | EPERM),
    REFUSE(__NR_creat, EACCES),
    REFUSE_WITH_FLAGS(__NR_open, 1, O_TRUNC, EACCES),
#endif
    REFUSE(__NR_socket, EPERM),
    REFUSE(__NR_socketpair, EPERM),
    REFUSE_WITH_FLAGS(__NR_openat, 2, O_TRUNC, EACCES),
    REFUSE(__NR_openat2, ENOSYS),
    REFUSE(__NR_io_uring_setup, EPERM),
    REFUSE(__NR_io_uring_enter, EPERM),
    REFUSE(__NR_io_uring_register, EPERM),
    REFUSE(__NR_unshare, EPERM),
    REFUSE(__NR_setns, EPERM),
    REFUSE(__NR_mount, EPERM),
    REFUSE_WITH_FLAGS(__NR_clone, 0, NAMESPACE_FLAGS, EPERM),
    REFUSE(__NR_clone3, ENOSYS),
    RETURN(SECCOMP_RET_ALLOW),
};
const size_t PROGRAM_LENGTH = sizeof PROGRAM / sizeof PROGRAM[0];
static_assert(PROGRAM_LENGTH <= BPF_MAXINSNS, "the kernel takes no longer program");
#endif

[[maybe_unused]] bool kernel_takes_filters() {
    uint32_t errno_action = SECCOMP_RET_ERRNO;
    return syscall(SYS_seccomp, SECCOMP_GET_ACTION_AVAIL, 0, &errno_action) == 0;
}

} // namespace

bool seccomp_available() {
#ifdef FILTER_WRITTEN_FOR_THIS_ARCH
    return kernel_takes_filters();
#else
    return false;
#endif
}

bool apply_seccomp() {
#ifdef FILTER_WRITTEN_FOR_THIS_ARCH
    if (!kernel_takes_filters()) return errno == ENOSYS || errno == EINVAL; // none in the kernel
    const sock_fprog filter = {PROGRAM_LENGTH, const_cast<sock_filter *>(PROGRAM)};
    return prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0;
#else
    return true; // no filter is written for this architecture
#endif
}
