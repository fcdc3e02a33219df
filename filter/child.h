// Children of the project's programs, started in one way: the filter's rasterizer and its
// processes, the filter under the CUPS filter, the checker's reading as another user, and the
// printer application's helper. A child gets exactly the descriptors it is given as 0 to 3
// and no other, its signal mask and dispositions as asked, and, where it has to, ends with
// its parent.
#pragma once

#include <signal.h>
#include <sys/types.h>

// Nothing of this goes into the filter's dynamic symbol table.
#pragma GCC visibility push(hidden)

struct Child_Start {
    // What descriptors 0 to 3 of the child become: a descriptor of the parent's, the same
    // number to leave that one as it is, or -1 to close it. Every descriptor above 3 is closed.
    int fds[4];
    // Sent to the child when its parent ends; 0: nothing. A program that holds children of its
    // own (the filter, the helper) is told SIGTERM, so that it ends them; the rasterizer's own
    // processes get SIGKILL. A program started by spawn_child sets its own (die_with_parent).
    int death_signal;
    const sigset_t *mask; // its signal mask; null: the parent's
    bool default_signals; // every signal at its default action
};

// Forks a child laid out as asked, which then runs body; body execs (exec_program) or ends
// (exit_child) and never returns. Returns the child once it runs body, or -1 with errno when
// the fork or a step of the layout failed (the child is then reaped).
pid_t fork_child(const Child_Start &start, void (*body)(void *argument), void *argument);

// Starts a program laid out as asked with posix_spawn, never fork, as a threaded server must.
// argv ends in a null. Returns the child, or -1 with errno.
pid_t spawn_child(const Child_Start &start, const char *path, const char *const *argv);

// For a child, or a program started by spawn_child: the signal it gets when its parent ends.
// False when parent, the process that started it, has already gone.
bool die_with_parent(int signal, pid_t parent);

// The end of a child: counts of an instrumented build are written first, which _exit and
// exec would lose. exec_program returns only when the exec failed, with errno.
[[noreturn]] void exit_child(int status);
void exec_program(const char *path, const char *const *argv, const char *const *environment);

// Waits for the child, through interruptions. Its wait status, or -1 with errno.
int wait_child(pid_t child);
// A wait status as an exit status: what the child exited with, or 128 + the signal that
// killed it, as a shell says it.
int exit_code_of(int wait_status);

#pragma GCC visibility pop
