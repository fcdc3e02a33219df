// libFuzzer target: the checker's whole analysis of arbitrary settings files (the reading
// with every fault and notice, the faults the filter never reaches, hidden bytes, whether a
// page can print, the outcome), with its output thrown away (-close_fd_mask=3). The build's
// settings path names a memory file that holds the fuzzer's input (config_fuzz.cpp).
#include "../../check/check.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

const int SETTINGS_FD = 100; // the file config_fuzz.cpp names

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const int settings_fd = dup2(memfd_create("ravorc", 0), SETTINGS_FD);
    if (ftruncate(settings_fd, 0) != 0 || pwrite(settings_fd, data, size, 0) != ssize_t(size))
        abort();
    Check check = {};
    check.path = settings_path();
    const Settings_Check settings = check_settings(check);
    // The checker's reading comes to the filter's own; it explains every fallback.
    Conf conf = {};
    if ((read_conf(&conf) == 0) != settings.used ||
        (settings.used && (conf.width != settings.conf.width || conf.ink != settings.conf.ink)))
        abort();
    if (!settings.used && check.fallback[0] == '\0') abort();
    flush_findings();
    describe_outcome(check, settings);
    finish_findings();
    return 0;
}
