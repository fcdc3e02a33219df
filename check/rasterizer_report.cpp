// Whether Ghostscript is where the filter's shell looks for it, and the confinement this
// kernel and build give it.
#include "check.h"

#include "../filter/config.h"
#include "../filter/rasterizer.h"

#include <climits>
#include <cstdio>
#include <cstring>

namespace {

// Where the filter's shell finds gs: the same sh, the same PATH (or sh's own default).
bool find_gs(char *found, size_t size) {
    FILE *asked = popen("command -v gs 2>/dev/null", "r");
    if (asked == nullptr) return false;
    const bool answered = fgets(found, int(size), asked) != nullptr;
    const bool known = pclose(asked) == 0 && answered && found[0] == '/';
    found[strcspn(found, "\n")] = '\0';
    return known;
}

} // namespace

void describe_rasterizer() {
    char gs[PATH_MAX];
    if (!find_gs(gs, sizeof gs)) {
        printf("rasterizer: gs is not on PATH: PostScript jobs will fail with status 2\n");
    } else {
        char version[64] = "of unknown version";
        FILE *asked = popen("gs --version 2>/dev/null", "r");
        if (asked != nullptr) {
            char line[48];
            if (fgets(line, sizeof line, asked) != nullptr) {
                line[strcspn(line, "\n")] = '\0';
                snprintf(version, sizeof version, "%s", line);
            }
            pclose(asked);
        }
        printf("rasterizer: %s, Ghostscript %s\n", gs, version);
    }
    const Confinement layers = probe_confinement();
    if (layers.namespaces)
        printf("confinement: user, mount and PID namespaces with a private /tmp of %llu MiB and "
               "%llu files, ",
               (unsigned long long)(filter_config.limits.tmpfs_size >> 20),
               (unsigned long long)filter_config.limits.tmpfs_files);
    else
        printf("confinement: no namespaces (the kernel refuses them: %s), so a private "
               "directory in $TMPDIR or /tmp, unbounded, ",
               strerror(layers.namespace_errno));
    printf("no new privileges, ");
    if (layers.landlock_abi > 0)
        printf("Landlock ABI %d (reading only the system's directories, writing only the "
               "temporary one%s%s), ",
               layers.landlock_abi, layers.landlock_abi >= 4 ? ", no TCP" : "",
               layers.landlock_abi >= 6 ? ", no signals or abstract sockets outside" : "");
    else
        printf("no Landlock (not offered by this kernel), ");
    printf("%s, at most %llu MiB of memory, %llu s of CPU time, no core files, %llu KiB of "
           "messages\n",
           layers.seccomp ? "seccomp (no sockets, no output files, no io_uring, no namespaces)"
                          : "no seccomp filter",
           (unsigned long long)(filter_config.limits.address_space >> 20),
           (unsigned long long)filter_config.limits.cpu_seconds,
           (unsigned long long)(filter_config.limits.message_bytes >> 10));
}
