// libFuzzer target: the settings reader on arbitrary settings files. The build's settings
// path names a memory file that holds the fuzzer's input (config_fuzz.cpp).
#include "../../filter/settings.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

const int SETTINGS_FD = 100; // the file config_fuzz.cpp names

// What the reader reports stands as a line of a settings file, or the system's words.
void check_text(const char *text) {
    if (text == nullptr || strlen(text) > 255) abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const int settings_fd = dup2(memfd_create("ravorc", 0), SETTINGS_FD);
    if (ftruncate(settings_fd, 0) != 0 || pwrite(settings_fd, data, size, 0) != ssize_t(size))
        abort();
    Conf conf = {-1, -1, -1, -1};
    // The checker's reading, with a report, must come to the same settings.
    Settings_Report report = {
        [](Settings_Report &, Fault, int, const char *text) { check_text(text); },
        [](Settings_Report &, Notice, int, const char *text) { check_text(text); },
        [](Settings_Report &, const char *text) { check_text(text); },
        nullptr,
        {0, 0, 0, 0},
        0,
        0,
        0,
        "",
        "",
        true};
    Conf reported = {-1, -1, -1, -1};
    const int reported_result = read_settings(settings_path(), &reported, &report);
    if (read_conf(&conf) != reported_result || memcmp(&conf, &reported, sizeof conf) != 0) abort();
    if (reported_result == 0) {
        if (conf.ink < 1 || conf.ink > 2 || conf.resolution <= 0 || conf.width <= 0 ||
            conf.height <= 0)
            abort(); // settings the rasterizer cannot use
    } else if (conf.ink != -1 || conf.resolution != -1 || conf.width != -1 || conf.height != -1) {
        abort(); // a failed read must leave the record untouched
    }
    return 0;
}
