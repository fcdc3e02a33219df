// ravofilter: input filter of the Quorvin 7X Series. A PostScript job is rasterized by
// Ghostscript into PNG data with the printer's settings from the settings file; any other
// job is copied through unchanged.
#include "filter.h"
#include "rasterizer.h"

#include "../paper/paper.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifndef RAVOFILTER_CONF_PATH
#define RAVOFILTER_CONF_PATH "/etc/ravorc"
#endif

namespace {

// Exit statuses as the spooler reads them.
const int EXIT_DONE = 0;       // job printed or copied
const int EXIT_RETRY = 1;      // no usable input, or the copy failed: the spooler may retry
const int EXIT_JOB_FAILED = 2; // the rasterizer failed: do not retry this job

const size_t PEEK_SIZE = 0xffff;       // bytes of the job mapped for classification
const size_t COPY_BUFFER_SIZE = 65536; // copy buffer
const size_t COPY_READ_SIZE = 0xfffe;  // bytes asked for by each read of the copy
const size_t COMMAND_SIZE = 256;

const char RASTERIZER[] = "gs";
// Printf formats by ink mode 1 (colour) and 2 (grey). Ghostscript's own stdout is sent to
// stderr so that what a job prints never lands between the PNG images.
const char *const COMMAND_TEMPLATES[] = {
    "%s -r%d -g%ldx%ld -q -dNOPROMPT -dNOPAUSE -dSAFER -sstdout=%%stderr -sDEVICE=png16m "
    "-sOutputFile=- - -c quit",
    "%s -r%d -g%ldx%ld -q -dNOPROMPT -dNOPAUSE -dSAFER -sstdout=%%stderr -sDEVICE=pnggray "
    "-sOutputFile=- - -c quit",
};

const char CONF_PATH[] = RAVOFILTER_CONF_PATH;
const char MODEL_NAME[] = "Quorvin 7X Series";

const int INK_COLOR = 1;
const int INK_MONO = 2;
enum Param_Index { PARAM_INK, PARAM_RESOLUTION, PARAM_MEDIA_SIZE, PARAM_PAPER_SOURCE };

const size_t LINE_BUFFER_SIZE = 256;
const int LINE_READ_SIZE = 254; // a settings line is read in pieces of at most 253 characters
const size_t FIELD_SIZE = 12;   // media size and paper source: at most 11 characters
const int PAPER_UNITS_PER_INCH = 360;

} // namespace

const Conf Def_Conf = {INK_COLOR, 360, 2976, 4209};
const char *const Params[4] = {"ink", "resolution", "mediasize", "papersource"};
const int Param_Num = 4;
const char *const Inks[2] = {"COLOR", "MONO"};
const int Ink_Num = 2;

// 0 when the job starts with "%!" or with 0x04 then "%!"; 1 otherwise. Reads three bytes.
static int check_ps(const char *job) {
    if (strncmp(job, "%!", 2) == 0) return 0;
    if (job[0] == '\x04' && strncmp(job + 1, "%!", 2) == 0) return 0;
    return 1;
}

// Looks at the job's first bytes through a mapping of standard input, which consumes nothing.
// Returns 0 for PostScript, 1 for any other job, -1 when standard input cannot be mapped.
// Mapped pages past the end of the file fault, so only bytes inside the file are read: a job
// shorter than three bytes is looked at with zero padding.
static int peek_job() {
    void *mapped_job = mmap(nullptr, PEEK_SIZE, PROT_READ, MAP_PRIVATE, STDIN_FILENO, 0);
    if (mapped_job == MAP_FAILED) return -1;
    char first_bytes[3] = {0, 0, 0};
    struct stat job_stat;
    if (fstat(STDIN_FILENO, &job_stat) == 0 && job_stat.st_size > 0)
        memcpy(first_bytes, mapped_job, job_stat.st_size < 3 ? size_t(job_stat.st_size) : 3);
    munmap(mapped_job, PEEK_SIZE);
    return check_ps(first_bytes);
}

// Copies standard input to standard output. A read error or a failed write fails the job.
// Both streams are unbuffered, so each chunk moves with one read and one write straight
// through the copy buffer rather than being split and copied again by stdio's buffers.
static int copy_job() {
    char buffer[COPY_BUFFER_SIZE];
    size_t got;
    setvbuf(stdin, nullptr, _IONBF, 0);
    setvbuf(stdout, nullptr, _IONBF, 0);
    while ((got = fread(buffer, 1, COPY_READ_SIZE, stdin)) > 0)
        if (fwrite(buffer, 1, got, stdout) != got) return EXIT_RETRY;
    if (ferror(stdin) || fflush(stdout) != 0) return EXIT_RETRY;
    return EXIT_DONE;
}

// Runs Ghostscript, confined, on the unread job on standard input, its PNG data going to
// standard output.
static int rasterize(const Conf &conf) {
    char command[COMMAND_SIZE];
    const char *command_template = COMMAND_TEMPLATES[conf.ink == INK_MONO ? 1 : 0];
    int length = snprintf(command, sizeof command, command_template, RASTERIZER, conf.resolution,
                          long(conf.width), long(conf.height));
    if (length < 0 || size_t(length) >= sizeof command) return EXIT_JOB_FAILED;
    return run_rasterizer(command) ? EXIT_DONE : EXIT_JOB_FAILED;
}

static bool is_c_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Removes every white-space character of the C locale from the line, in place.
static char *strip_space(char *line) {
    char *kept = line;
    for (const char *c = line; *c != '\0'; ++c)
        if (!is_c_space(*c)) *kept++ = *c;
    *kept = '\0';
    return line;
}

// Reports unusable settings, closing the file if one is given. Always 1.
static int conf_error(FILE *file) {
    if (file != nullptr) fclose(file);
    fputs("ravorc not read\n", stderr);
    return 1;
}

// Reads lines up to the printer's section header. Returns that header's line number,
// 0 when the file ends first, -1 when the file is malformed before the section.
static int find_section(FILE *file) {
    char model[sizeof MODEL_NAME];
    memcpy(model, MODEL_NAME, sizeof MODEL_NAME);
    strip_space(model);

    char line[LINE_BUFFER_SIZE];
    bool header_seen = false;
    for (int line_number = 1; fgets(line, LINE_READ_SIZE, file) != nullptr; ++line_number) {
        strip_space(line);
        if (line[0] == '\0') continue;
        if (line[0] != '[') {
            if (!header_seen) return -1;
            continue;
        }
        header_seen = true;
        if (line[1] == '\0') return -1;
        // The header selects the printer when its name is a prefix of the model name.
        // "[]" names nothing, so it selects nothing.
        const char *name = line + 1;
        size_t name_length = strcspn(name, "]");
        if (name_length > 0 && strncmp(model, name, name_length) == 0) return line_number;
    }
    return 0;
}

// Copies value into a buffer of size bytes, cut to size - 1 characters if longer. A media
// size or paper source cut to 11 characters is still longer than any name in the paper
// tables, so it matches nothing and leaves the settings unusable.
static void copy_field(char *field, size_t size, const char *value) {
    size_t length = strnlen(value, size - 1);
    memcpy(field, value, length);
    field[length] = '\0';
}

// strtol's decimal reading, clamped to the int range.
static int parse_resolution(const char *value) {
    long parsed = strtol(value, nullptr, 10);
    if (parsed > INT32_MAX) return INT32_MAX;
    if (parsed < INT32_MIN) return INT32_MIN;
    return int(parsed);
}

static int param_index(const char *key) {
    for (int index = 0; index < Param_Num; ++index)
        if (strcmp(key, Params[index]) == 0) return index;
    return -1;
}

// Validates the settings and fills all of *conf at once; 1 leaves *conf untouched.
static int set_conf(Conf *conf, int ink, int resolution, const char *media_size,
                    const char *paper_source) {
    if (conf == nullptr || ink == 0 || resolution <= 0 || media_size[0] == '\0') return 1;
    const Paper_Conf *paper = call_paper_conf(paper_source, media_size);
    if (paper == nullptr) return 1;
    // The page size must fit in an int; resolutions up to 255075 do for every paper.
    int64_t width_dots = int64_t(resolution) * paper->paper_width;
    int64_t height_dots = int64_t(resolution) * paper->paper_height;
    if (width_dots > INT32_MAX || height_dots > INT32_MAX) return 1;
    *conf = {ink, resolution, int32_t(width_dots / PAPER_UNITS_PER_INCH),
             int32_t(height_dots / PAPER_UNITS_PER_INCH)};
    return 0;
}

// Fills *conf from the printer's section of the settings file; 1 on any failure.
static int read_conf(Conf *conf) {
    int ink = 0;
    int resolution = 0;
    char media_size[FIELD_SIZE] = "";
    char paper_source[FIELD_SIZE] = "AUTO";

    FILE *file = fopen(CONF_PATH, "rb");
    if (file == nullptr) {
        fprintf(stderr, "%s : No such file\n", CONF_PATH);
        return 1;
    }
    int header_line = find_section(file);
    if (header_line < 0) return conf_error(file);
    if (header_line == 0) {
        fclose(file);
        return 1;
    }

    char line[LINE_BUFFER_SIZE];
    char word[LINE_BUFFER_SIZE]; // the line's key, then its value
    while (fgets(line, LINE_READ_SIZE, file) != nullptr) {
        strip_space(line);
        if (line[0] == '\0') continue;
        if (line[0] == '[') break; // the next section begins
        if (line[0] == '=') return conf_error(file);
        const char *equals = strchr(line, '=');
        size_t key_length = equals != nullptr ? size_t(equals - line) : strlen(line);
        copy_field(word, key_length + 1, line);
        int index = param_index(word);
        if (index < 0) continue; // other keys are ignored
        if (equals == nullptr || equals[1] == '\0') return conf_error(file);
        copy_field(word, sizeof word, equals + 1);
        switch (index) {
        case PARAM_INK:
            ink = strcmp(word, Inks[INK_MONO - 1]) == 0 ? INK_MONO : INK_COLOR;
            break;
        case PARAM_RESOLUTION:
            resolution = parse_resolution(word);
            break;
        case PARAM_MEDIA_SIZE:
            copy_field(media_size, sizeof media_size, word);
            break;
        case PARAM_PAPER_SOURCE:
            copy_field(paper_source, sizeof paper_source, word);
            break;
        }
    }
    fclose(file);
    if (set_conf(conf, ink, resolution, media_size, paper_source) != 0) return conf_error(nullptr);
    return 0;
}

int main() {
    int not_postscript = peek_job();
    if (not_postscript < 0) return EXIT_RETRY; // a pipe or a terminal: nothing to do
    if (not_postscript) return copy_job();

    Conf conf{};
    if (read_conf(&conf) != 0) conf = Def_Conf;
    return rasterize(conf);
}
