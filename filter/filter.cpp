// The filter's unit: the road of a job (classified by its first bytes, copied through, or
// rasterized by Ghostscript with the command made here) and the settings reader. The filter's
// main (main.cpp) and the second programs reach it through job_road.h and settings.h.
#include "filter.h"
#include "config.h"
#include "contracts.h"
#include "job_road.h"
#include "rasterizer.h"
#include "settings.h"

#include "../paper/paper.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const size_t PEEK_SIZE = 0xffff;       // bytes of the job mapped for classification
const size_t COPY_BUFFER_SIZE = 65536; // copy buffer
const size_t COPY_READ_SIZE = 0xfffe;  // bytes asked for by each read of the copy
const size_t COMMAND_SIZE = 256;

const char RASTERIZER[] = "gs";
// Printf formats by ink mode 1 (colour) and 2 (grey), with room for a second program's own
// options after the rasterizer's name and its set-up just before the job (none for the
// filter), and for the job's name ("-", standard input, for the filter). Ghostscript's own
// stdout is sent to stderr so that what a job prints never lands between the PNG images.
#define RASTERIZER_SAFETY "-q -dNOPROMPT -dNOPAUSE -dSAFER -sstdout=%%stderr"
const char *const COMMAND_TEMPLATES[] = {
    "%s%s -r%d -g%ldx%ld " RASTERIZER_SAFETY " -sDEVICE=png16m -sOutputFile=-%s %s -c quit",
    "%s%s -r%d -g%ldx%ld " RASTERIZER_SAFETY " -sDEVICE=pnggray -sOutputFile=-%s %s -c quit",
};
const char JOB_ON_STDIN[] = "-";
// The same rasterizer at 72 dpi, where a pixel is a point, on media of the given size that the
// job may change: its pages come out at the sizes it asks for.
const char MEASURE_TEMPLATE[] =
    "%s -r72 " RASTERIZER_SAFETY " -sDEVICE=pnggray -sOutputFile=- -c '<</PageSize[%d %d]>>"
    "setpagedevice' %s -c quit";

const char MODEL_NAME[] = "Quorvin 7X Series";

const size_t LINE_BUFFER_SIZE = 256;
const int LINE_READ_SIZE = 254; // a settings line is read in pieces of at most 253 characters
const size_t FIELD_SIZE = 12;   // media size and paper source: at most 11 characters

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
int peek_job() {
    void *mapped_job = mmap(nullptr, PEEK_SIZE, PROT_READ, MAP_PRIVATE, STDIN_FILENO, 0);
    if (mapped_job == MAP_FAILED) return -1;
    char first_bytes[3] = {0, 0, 0};
    struct stat job_stat;
    if (fstat(STDIN_FILENO, &job_stat) == 0 && job_stat.st_size > 0)
        memcpy(first_bytes, mapped_job, job_stat.st_size < 3 ? size_t(job_stat.st_size) : 3);
    munmap(mapped_job, PEEK_SIZE);
    return check_ps(first_bytes);
}

// A read error or a failed write fails the job. Both streams are unbuffered, so each chunk
// moves with one read and one write straight through the copy buffer rather than being split
// and copied again by stdio's buffers.
int copy_job() {
    char buffer[COPY_BUFFER_SIZE];
    size_t got;
    setvbuf(stdin, nullptr, _IONBF, 0);
    setvbuf(stdout, nullptr, _IONBF, 0);
    while ((got = fread(buffer, 1, COPY_READ_SIZE, stdin)) > 0)
        if (fwrite(buffer, 1, got, stdout) != got) return EXIT_RETRY;
    if (ferror(stdin) || fflush(stdout) != 0) return EXIT_RETRY;
    return EXIT_DONE;
}

bool format_command_with(const Conf &conf, const Command_Extras &extras, char *command,
                         size_t size) {
    const char *command_template = COMMAND_TEMPLATES[conf.ink == INK_MONO ? 1 : 0];
    int length =
        snprintf(command, size, command_template, RASTERIZER, extras.options, conf.resolution,
                 long(conf.width), long(conf.height), extras.setup, extras.job);
    return length >= 0 && size_t(length) < size;
}

bool format_measure_command(int width_points, int height_points, const char *job, char *command,
                            size_t size) {
    int length =
        snprintf(command, size, MEASURE_TEMPLATE, RASTERIZER, width_points, height_points, job);
    return length >= 0 && size_t(length) < size;
}

bool format_command(const Conf &conf, char *command, size_t size) {
    return format_command_with(conf, {"", "", JOB_ON_STDIN}, command, size);
}

int rasterize(const Conf &conf) {
    char command[COMMAND_SIZE];
    if (!format_command(conf, command, sizeof command)) return EXIT_JOB_FAILED;
    return exit_status_of(run_rasterizer(command));
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

const char *model_name() {
    return MODEL_NAME;
}

const char *settings_path() {
    return filter_config.settings_path;
}

namespace {

// The settings file as the reader goes through it, with physical line numbers.
struct Settings_Lines {
    FILE *file;
    Settings_Report *report;
    int number;      // the physical line of the last piece read
    bool line_ended; // the last piece ended its line
};

// The filter's report: its messages go to standard error, the rest is not its business.
void write_message(Settings_Report &, const char *text) {
    fprintf(stderr, "%s\n", text);
}

} // namespace

static void report_fault(Settings_Report *report, Fault fault, int line, const char *text = "") {
    if (report->fault != nullptr) report->fault(*report, fault, line, text);
}

static void report_fault(const Settings_Lines &lines, Fault fault, const char *text = "") {
    report_fault(lines.report, fault, lines.number, text);
}

static void report_notice(const Settings_Lines &lines, Notice notice, const char *text = "") {
    if (lines.report->notice != nullptr)
        lines.report->notice(*lines.report, notice, lines.number, text);
}

static void report_message(Settings_Report *report, const char *text) {
    if (report->message != nullptr) report->message(*report, text);
}

// Reads the next piece of at most 253 characters, as fgets does.
static bool read_piece(Settings_Lines &lines, char *line) {
    const long start = ftell(lines.file);
    if (fgets(line, LINE_READ_SIZE, lines.file) == nullptr) return false;
    const long end = ftell(lines.file);
    const size_t length = strlen(line);
    const size_t consumed =
        start >= 0 && end > start && end - start < LINE_READ_SIZE ? size_t(end - start) : length;
    if (lines.line_ended) ++lines.number;
    lines.line_ended = consumed > 0 && line[consumed - 1] == '\n';
    if (length < consumed) report_notice(lines, Notice::NUL_BYTE);
    if (!lines.line_ended && !feof(lines.file)) report_notice(lines, Notice::LINE_IN_PIECES);
    return true;
}

// Reports unusable settings, closing the file if one is given. Always 1.
static int conf_error(FILE *file, Settings_Report *report) {
    if (file != nullptr) fclose(file);
    report_message(report, MESSAGE_NOT_READ);
    return 1;
}

// The model name as headers are compared with it: without white space.
static void normalized_model(char (&model)[sizeof MODEL_NAME]) {
    memcpy(model, MODEL_NAME, sizeof MODEL_NAME);
    strip_space(model);
}

// Whether a normalized header line selects the printer: its name, up to "]", is a prefix
// of the normalized model name. "[]" names nothing, so it selects nothing.
static bool selects_printer(const char *model, const char *header) {
    const char *name = header + 1;
    size_t name_length = strcspn(name, "]");
    return name_length > 0 && strncmp(model, name, name_length) == 0;
}

// Reads lines up to the printer's section header (lines.number is then its line). Returns
// 1 when it is found, 0 when the file ends first, -1 when the file is malformed before it.
static int find_section(Settings_Lines &lines) {
    char model[sizeof MODEL_NAME];
    normalized_model(model);

    char line[LINE_BUFFER_SIZE];
    bool header_seen = false;
    while (read_piece(lines, line)) {
        strip_space(line);
        if (line[0] == '\0') continue;
        if (line[0] != '[') {
            if (header_seen) continue;
            report_fault(lines, Fault::TEXT_BEFORE_HEADER, line);
            return -1;
        }
        header_seen = true;
        if (line[1] == '\0') {
            report_fault(lines, Fault::LONE_BRACKET);
            return -1;
        }
        char *end = strchr(line, ']'); // the name alone, then what follows it
        if (end != nullptr) *end = '\0';
        report_notice(lines, Notice::HEADER, line + 1);
        if (end != nullptr && end[1] != '\0')
            report_notice(lines, Notice::TEXT_AFTER_HEADER, end + 1);
        if (end != nullptr) *end = ']';
        if (selects_printer(model, line)) return 1;
    }
    report_fault(lines, Fault::NO_SECTION);
    return 0;
}

// For a report: the headers after the printer's section that name the printer too. The
// filter stops at the first of them and never reads them.
static void note_later_sections(Settings_Lines &lines, char *line) {
    char model[sizeof MODEL_NAME];
    normalized_model(model);
    do {
        strip_space(line);
        if (line[0] == '[' && selects_printer(model, line))
            report_notice(lines, Notice::LATER_PRINTER_SECTION, line);
    } while (read_piece(lines, line));
}

// Copies value into a buffer of size bytes, cut to size - 1 characters if longer. A media
// size or paper source cut to 11 characters is still longer than any name in the paper
// tables, so it matches nothing and leaves the settings unusable.
static void copy_field(char *field, size_t size, const char *value) {
    size_t length = strnlen(value, size - 1);
    memcpy(field, value, length);
    field[length] = '\0';
}

// strtol's decimal reading, clamped to the int range. *rest: what follows the digits.
static int parse_resolution(const char *value, const char **rest) {
    char *end;
    long parsed = strtol(value, &end, 10);
    *rest = end;
    if (parsed > INT32_MAX) return INT32_MAX;
    if (parsed < INT32_MIN) return INT32_MIN;
    return int(parsed);
}

int param_index(const char *key) {
    for (int index = 0; index < Param_Num; ++index)
        if (strcmp(key, Params[index]) == 0) return index;
    return -1;
}

// Why the settings cannot be used; Fault::NONE when they can, *paper then their entry.
static Fault settings_fault(int ink, int resolution, const char *media_size,
                            const char *paper_source, const Paper_Conf **paper) {
    *paper = nullptr;
    if (ink == 0) return Fault::NO_INK;
    if (resolution == 0) return Fault::NO_RESOLUTION;
    if (resolution < 0) return Fault::RESOLUTION_NOT_POSITIVE;
    if (media_size[0] == '\0') return Fault::NO_MEDIA_SIZE;
    if (paper_source_table(paper_source) == nullptr) return Fault::UNKNOWN_PAPER_SOURCE;
    *paper = call_paper_conf(paper_source, media_size);
    if (*paper == nullptr) return Fault::MEDIA_SIZE_NOT_IN_SOURCE;
    // The page size must fit in an int; resolutions up to 255075 do for every paper.
    if (int64_t(resolution) * (*paper)->paper_width > INT32_MAX ||
        int64_t(resolution) * (*paper)->paper_height > INT32_MAX)
        return Fault::PAGE_TOO_LARGE;
    return Fault::NONE;
}

Fault validate_settings(int ink, int resolution, const char *media_size, const char *paper_source) {
    const Paper_Conf *paper;
    return settings_fault(ink, resolution, media_size, paper_source, &paper);
}

// Validates the settings and fills all of *conf at once; 1 leaves *conf untouched, with
// *fault saying why.
static int set_conf(Conf *conf, int ink, int resolution, const char *media_size,
                    const char *paper_source, Fault *fault) {
    const Paper_Conf *paper;
    *fault = settings_fault(ink, resolution, media_size, paper_source, &paper);
    if (conf == nullptr || *fault != Fault::NONE) return 1;
    *conf = {ink, resolution,
             int32_t(int64_t(resolution) * paper->paper_width / PAPER_UNITS_PER_INCH),
             int32_t(int64_t(resolution) * paper->paper_height / PAPER_UNITS_PER_INCH)};
    return 0;
}

Fault job_conf(int ink, int resolution, const char *media_size, const char *paper_source,
               Conf *conf) {
    Fault fault;
    set_conf(conf, ink, resolution, media_size, paper_source, &fault);
    return fault;
}

// Why set_conf refused the settings, at the line that set the culprit.
static void report_value_fault(Settings_Report *report, Fault fault) {
    int key = -1;
    if (fault == Fault::NO_RESOLUTION || fault == Fault::RESOLUTION_NOT_POSITIVE ||
        fault == Fault::PAGE_TOO_LARGE)
        key = PARAM_RESOLUTION;
    if (fault == Fault::MEDIA_SIZE_NOT_IN_SOURCE) key = PARAM_MEDIA_SIZE;
    if (fault == Fault::UNKNOWN_PAPER_SOURCE) key = PARAM_PAPER_SOURCE;
    const int line =
        key >= 0 && report->key_lines[key] > 0 ? report->key_lines[key] : report->section_line;
    if (fault != Fault::NONE) report_fault(report, fault, line);
}

// Opens the settings file for reading. Opening never waits (a FIFO or a device at the path
// would hold every job), and only a regular file or a directory (which reads as empty) is
// read: anything else counts as a file that cannot be opened, with ENXIO.
static FILE *open_settings(const char *path) {
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat opened;
    if (fstat(fd, &opened) != 0 || !(S_ISREG(opened.st_mode) || S_ISDIR(opened.st_mode))) {
        close(fd);
        errno = ENXIO;
        return nullptr;
    }
    FILE *file = fcntl(fd, F_SETFL, 0) == 0 ? fdopen(fd, "rb") : nullptr;
    if (file == nullptr) close(fd);
    return file;
}

// What the printer's section sets, as read so far.
struct Section_Values {
    int ink;
    int resolution;
    char media_size[FIELD_SIZE];
    char paper_source[FIELD_SIZE];
};

// Takes the value of one of the keys into the section's values.
static void take_value(Settings_Lines &lines, int index, const char *value,
                       Section_Values &values) {
    const char *rest;
    switch (index) {
    case PARAM_INK:
        values.ink = strcmp(value, Inks[INK_MONO - 1]) == 0 ? INK_MONO : INK_COLOR;
        if (values.ink == INK_COLOR && strcmp(value, Inks[INK_COLOR - 1]) != 0)
            report_notice(lines, Notice::INK_NOT_A_NAME, value);
        break;
    case PARAM_RESOLUTION:
        values.resolution = parse_resolution(value, &rest);
        if (rest == value || *rest != '\0') report_notice(lines, Notice::RESOLUTION_TEXT, value);
        break;
    case PARAM_MEDIA_SIZE:
    case PARAM_PAPER_SOURCE:
        if (strlen(value) >= FIELD_SIZE) report_notice(lines, Notice::VALUE_CUT, value);
        copy_field(index == PARAM_MEDIA_SIZE ? values.media_size : values.paper_source, FIELD_SIZE,
                   value);
        break;
    }
}

// Reads the section's lines up to the next section or the end of the file. False when a
// line is malformed: at once, unless the report reads on to tell every fault.
static bool read_section(Settings_Lines &lines, Section_Values &values) {
    Settings_Report *report = lines.report;
    char line[LINE_BUFFER_SIZE];
    char word[LINE_BUFFER_SIZE]; // the line's key, then its value
    bool malformed = false;      // only when reading on
    while (read_piece(lines, line)) {
        strip_space(line);
        if (line[0] == '\0') continue;
        if (line[0] == '[') { // the next section begins
            if (report->read_on) note_later_sections(lines, line);
            break;
        }
        if (line[0] == '=') {
            report_fault(lines, Fault::EMPTY_KEY);
            if (!report->read_on) return false;
            malformed = true;
            continue;
        }
        const char *equals = strchr(line, '=');
        size_t key_length = equals != nullptr ? size_t(equals - line) : strlen(line);
        copy_field(word, key_length + 1, line);
        int index = param_index(word);
        if (index < 0) { // other keys are ignored
            report_notice(lines, Notice::UNKNOWN_KEY, word);
            continue;
        }
        if (equals == nullptr || equals[1] == '\0') {
            report_fault(lines, Fault::NO_VALUE, word);
            if (!report->read_on) return false;
            malformed = true;
            continue;
        }
        if (report->key_lines[index] != 0) report_notice(lines, Notice::KEY_REPEATED, word);
        report->key_lines[index] = lines.number;
        copy_field(word, sizeof word, equals + 1);
        take_value(lines, index, word, values);
    }
    return !malformed;
}

int read_settings(const char *path, Conf *conf, Settings_Report *report) {
    Settings_Report filter_report = {
        nullptr, nullptr, write_message, nullptr, {0, 0, 0, 0}, 0, 0, 0, "", "", false};
    if (report == nullptr) report = &filter_report;

    FILE *file = open_settings(path);
    if (file == nullptr) {
        report_fault(report, Fault::CANNOT_OPEN, 0, strerror(errno));
        char message[LINE_BUFFER_SIZE];
        snprintf(message, sizeof message, "%s%s", path, MESSAGE_NO_SUCH_FILE);
        report_message(report, message);
        return 1;
    }
    Settings_Lines lines = {file, report, 0, true};
    const int section = find_section(lines);
    if (section < 0) return conf_error(file, report);
    if (section == 0) {
        fclose(file);
        return 1;
    }
    report->section_line = lines.number;

    Section_Values values = {0, 0, "", "AUTO"};
    const bool well_formed = read_section(lines, values);
    fclose(file);
    if (!well_formed && !report->read_on) return conf_error(nullptr, report);
    report->ink = values.ink;
    report->resolution = values.resolution;
    memcpy(report->media_size, values.media_size, FIELD_SIZE);
    memcpy(report->paper_source, values.paper_source, FIELD_SIZE);
    if (!well_formed) return conf_error(nullptr, report);
    Fault fault;
    if (set_conf(conf, values.ink, values.resolution, values.media_size, values.paper_source,
                 &fault) != 0) {
        report_value_fault(report, fault);
        return conf_error(nullptr, report);
    }
    return 0;
}

int read_conf(Conf *conf) {
    return read_settings(settings_path(), conf, nullptr);
}
