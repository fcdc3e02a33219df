// The road each job given to the checker takes, as the filter's own classification says.
#include "check.h"

#include "../filter/job_road.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// The first bytes of a job, escaped as in C.
void print_start(const unsigned char *bytes, size_t count) {
    putchar('"');
    for (size_t index = 0; index < count; ++index)
        if (bytes[index] >= ' ' && bytes[index] < 0x7f && bytes[index] != '"' &&
            bytes[index] != '\\')
            putchar(bytes[index]);
        else
            printf("\\x%02x", bytes[index]);
    putchar('"');
}

// What a copied job probably is, and what to do so that it prints.
const char *hint_for(const unsigned char *start, size_t count) {
    auto starts = [&](const char *prefix, size_t length) {
        return count >= length && memcmp(start, prefix, length) == 0;
    };
    if (count == 0) return "it is empty: nothing reaches the printer";
    if (starts("%PDF-", 5))
        return "it is a PDF, which the printer cannot take: convert it to PostScript first, "
               "with pdftops; CUPS with cups-filters does that itself";
    if (starts("\xef\xbb\xbf%!", 5))
        return "it is PostScript behind a UTF-8 byte order mark: remove its first three bytes";
    if (starts("\x1b%-12345X", 9) || starts("@PJL", 4))
        return "it starts with a PJL header: remove everything before the line that starts "
               "with %!";
    if (starts("\xc5\xd0\xd3\xc6", 4))
        return "it is an EPS file with a DOS binary header: extract its PostScript part "
               "(the header's second and third words give its offset and length)";
    if (starts("\x1f\x8b", 2)) return "it is gzip-compressed: decompress it first (gunzip)";
    return nullptr;
}

} // namespace

// A job that cannot be read, is not a regular file, or is a format the printer cannot take
// will not print as its sender likely expects.
bool describe_job(const char *job) {
    const int fd = open(job, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat file;
    if (fd < 0 || fstat(fd, &file) != 0) {
        finding_on(job, "error", "cannot open it: %s", strerror(errno));
        if (fd >= 0) close(fd);
        return false;
    }
    if (!S_ISREG(file.st_mode)) {
        finding_on(job, "error", "it is %s, not a regular file: the filter refuses it (status 1)",
                   S_ISDIR(file.st_mode) ? "a directory" : "not a file");
        close(fd);
        return false;
    }
    unsigned char start[16];
    const ssize_t got = pread(fd, start, sizeof start, 0);
    const size_t count = got > 0 ? size_t(got) : 0;
    const size_t shown = count < 12 ? count : 12;
    dup2(fd, STDIN_FILENO); // the filter classifies its standard input
    close(fd);
    const int road = peek_job();
    printf("%s: ", job);
    if (road < 0) {
        printf("refused with status 1: the filter needs a regular file it can map\n");
        return false;
    }
    printf(road == 0 ? "rasterized as PostScript: it starts with "
                     : "copied to the printer "
                       "unchanged: it starts with ");
    print_start(start, shown);
    printf(road == 0 ? "\n" : ", not %%! or 0x04 %%!\n");
    const char *hint = road == 0 ? nullptr : hint_for(start, count);
    if (hint != nullptr) finding_on(job, "warning", "%s", hint);
    return hint == nullptr;
}
