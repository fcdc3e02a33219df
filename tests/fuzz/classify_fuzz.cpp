// libFuzzer target: classification of arbitrary jobs, through the real mapping of standard
// input (a memory file of the input's size, so short jobs end inside the mapped page).
#include "../../filter/job_road.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const int job_fd = dup2(memfd_create("job", 0), STDIN_FILENO);
    if (ftruncate(job_fd, 0) != 0 || pwrite(job_fd, data, size, 0) != ssize_t(size)) abort();
    const bool postscript = (size >= 2 && memcmp(data, "%!", 2) == 0) ||
                            (size >= 3 && data[0] == 0x04 && memcmp(data + 1, "%!", 2) == 0);
    if (peek_job() != (postscript ? 0 : 1)) abort();
    return 0;
}
