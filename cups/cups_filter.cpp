// ravofilter-cups: the CUPS filter of the Quorvin 7X Series. It runs ravofilter on the job as
// a regular file, hands its PNG data on unchanged and reports each page to cupsd; everything
// the filter and Ghostscript write on standard error (which includes whatever a PostScript
// job prints) reaches cupsd only as inert DEBUG: lines, apart from the filter's own fixed
// messages, which go as WARNING: or ERROR: lines that the administrator sees.
// Arguments, as CUPS gives them: job-id user title copies options [file].
#include "../filter/child.h"
#include "../filter/config.h"
#include "../filter/contracts.h"
#include "../filter/png_pages.h"
#include "../filter/settings.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char **environ;

namespace {

const size_t BUFFER_SIZE = 65536;
// cupsd cuts a message line at 2047 bytes and reads the rest as a new line, which could
// then start with a command word; pieces of a long line stay far below that.
const size_t LINE_PIECE = 1000;

volatile sig_atomic_t cancelled = 0;
void note_cancel(int) {
    cancelled = 1;
}

bool write_all(int fd, const char *bytes, size_t count) {
    while (count > 0) {
        const ssize_t wrote = write(fd, bytes, count);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return false;
        bytes += wrote;
        count -= size_t(wrote);
    }
    return true;
}

// One line to cupsd, written whole so that nothing lands inside it.
void tell_cupsd(const char *format, ...) __attribute__((format(printf, 1, 2)));
void tell_cupsd(const char *format, ...) {
    char line[LINE_PIECE + 200];
    va_list arguments;
    va_start(arguments, format);
    const int length = vsnprintf(line, sizeof line - 1, format, arguments);
    va_end(arguments);
    if (length < 0) return;
    const size_t used = size_t(length) < sizeof line - 2 ? size_t(length) : sizeof line - 2;
    line[used] = '\n';
    write_all(STDERR_FILENO, line, used + 1);
}

// The filter's own messages and how an administrator sees them. Those with a variable tail
// are raised in words of their own (the whole line still goes as DEBUG), so that a job
// printing the same words cannot put text of its own into the printer's state message.
struct Own_Message {
    const char *match; // the whole line, or its start
    bool prefix;
    const char *level;
    const char *raised; // null: the line itself
};
const char DEFAULTS_HINT[] =
    ": printing with the defaults (colour, 360 dpi, A4); ravofilter-check says why";
char no_settings_file[PATH_MAX + 20]; // "PATH : No such file", for the filter's settings path
const Own_Message OWN_MESSAGES[] = {
    {MESSAGE_NOT_READ, false, "WARNING", nullptr},
    {no_settings_file, false, "WARNING", nullptr},
    {MESSAGE_CANNOT_START, true, "ERROR", "ravofilter: cannot start the rasterizer"},
    {MESSAGE_NO_PRIVATE_DIR, true, "ERROR",
     "ravofilter: cannot make a private directory for the job"},
    {MESSAGE_CANNOT_REMOVE, true, "ERROR", "ravofilter: cannot remove the job's private directory"},
    {MESSAGE_JOB_WROTE_FILES, false, "ERROR", nullptr},
};

// One line of the filter's standard error, without control characters, cut into pieces.
struct Message_Line {
    char text[LINE_PIECE + 1];
    size_t length;
    bool split; // earlier pieces of this line went out already
};

void pass_message(Message_Line &line, bool line_ended) {
    line.text[line.length] = '\0';
    for (const Own_Message &own : OWN_MESSAGES) {
        if (!line_ended || line.split) break;
        if (own.prefix ? strncmp(line.text, own.match, strlen(own.match)) != 0
                       : strcmp(line.text, own.match) != 0)
            continue;
        const bool warning = strcmp(own.level, "WARNING") == 0;
        tell_cupsd("%s: %s%s", own.level, own.raised != nullptr ? own.raised : line.text,
                   warning ? DEFAULTS_HINT : "");
        if (own.raised == nullptr) line.length = 0;
        break;
    }
    if (line.length > 0) tell_cupsd("DEBUG: %s", line.text);
    line.split = !line_ended;
    line.length = 0;
}

void take_messages(Message_Line &line, const char *bytes, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const unsigned char byte = static_cast<unsigned char>(bytes[i]);
        if (byte == '\n') {
            pass_message(line, true);
            continue;
        }
        if (byte < 0x20 || byte == 0x7f) continue;
        line.text[line.length++] = char(byte);
        if (line.length == LINE_PIECE) pass_message(line, false);
    }
}

// The job as a regular file: the one CUPS names, or a copy of the piped job in an unlinked
// temporary file, which therefore goes away on every path. -1 after telling cupsd why.
int open_job(int argc, char **argv) {
    if (argc == 7) {
        const int job = open(argv[6], O_RDONLY | O_CLOEXEC);
        if (job < 0)
            tell_cupsd("ERROR: ravofilter-cups: cannot open %s: %s", argv[6], strerror(errno));
        return job;
    }
    const char *tmpdir = getenv("TMPDIR");
    char path[PATH_MAX];
    snprintf(path, sizeof path, "%s/ravofilter-cups.XXXXXX",
             tmpdir != nullptr && tmpdir[0] == '/' ? tmpdir : "/tmp");
    const int job = mkostemp(path, O_CLOEXEC);
    if (job < 0) {
        tell_cupsd("ERROR: ravofilter-cups: cannot create a temporary job file in %s: %s", path,
                   strerror(errno));
        return -1;
    }
    unlink(path);
    char buffer[BUFFER_SIZE];
    for (;;) {
        const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
        if (cancelled) break;
        if (got < 0 && errno == EINTR) continue;
        if (got == 0 && lseek(job, 0, SEEK_SET) == 0) return job;
        if (got <= 0 || !write_all(job, buffer, size_t(got))) break;
    }
    if (!cancelled)
        tell_cupsd("ERROR: ravofilter-cups: cannot copy the job to a temporary file: %s",
                   strerror(errno));
    close(job);
    return -1;
}

// The filter beside this program, as installed.
bool filter_path(char *path, size_t size) {
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return false;
    self[length] = '\0';
    *strrchr(self, '/') = '\0';
    const int needed = snprintf(path, size, "%s/%s", self, filter_config.filter_from_cups_filter);
    return needed > 0 && size_t(needed) < size;
}

char path_of_filter[PATH_MAX];

[[noreturn]] void run_filter(void *) {
    const char *const arguments[] = {"ravofilter", nullptr};
    exec_program(path_of_filter, arguments, environ);
    fprintf(stderr, "ravofilter-cups: cannot run %s: %s\n", path_of_filter, strerror(errno));
    exit_child(EXIT_RETRY);
}

// Starts ravofilter with the job on standard input and each output on a pipe of its own. A
// cupsd that kills this program outright still gets the job ended cleanly (SIGTERM).
pid_t start_filter(int job, int data[2], int messages[2], const sigset_t &unblocked) {
    if (!filter_path(path_of_filter, sizeof path_of_filter) || pipe2(data, O_CLOEXEC) != 0 ||
        pipe2(messages, O_CLOEXEC) != 0)
        return -1;
    const Child_Start start = {{job, data[1], messages[1], -1}, SIGTERM, &unblocked, true};
    return fork_child(start, run_filter, nullptr);
}

struct Relay {
    Png_Pages pages;
    Message_Line message;
    bool data_open, messages_open;
    bool handing_on; // false once the next stage stopped taking data
};

// Moves what is there on one of the filter's outputs; false at its end.
bool relay(Relay &relay, int fd, bool is_data) {
    char buffer[BUFFER_SIZE];
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    if (got <= 0) return false;
    if (!is_data) {
        take_messages(relay.message, buffer, size_t(got));
        return true;
    }
    if (relay.handing_on && !write_all(STDOUT_FILENO, buffer, size_t(got))) {
        tell_cupsd("ERROR: ravofilter-cups: cannot hand the printer data on: %s", strerror(errno));
        relay.handing_on = false;
    }
    const int before = relay.pages.images;
    png_pages_feed(relay.pages, reinterpret_cast<const uint8_t *>(buffer), size_t(got));
    for (int page = before + 1; page <= relay.pages.images; ++page)
        tell_cupsd("PAGE: %d 1", page);
    return true;
}

// Hands the printer data on and passes the messages to cupsd until the filter has closed
// both; a cancel from cupsd, or a printer that no longer takes the data, ends the filter.
void relay_until_closed(Relay &flow, pid_t filter, int data, int messages,
                        const sigset_t &unblocked) {
    flow.data_open = flow.messages_open = flow.handing_on = true;
    bool filter_told = false;
    while (flow.data_open || flow.messages_open) {
        // cupsd cancels a job with SIGTERM: ravofilter then ends Ghostscript and cleans up.
        if ((cancelled || !flow.handing_on) && !filter_told) {
            kill(filter, SIGTERM);
            filter_told = true;
        }
        pollfd outputs[2] = {{flow.data_open ? data : -1, POLLIN, 0},
                             {flow.messages_open ? messages : -1, POLLIN, 0}};
        if (ppoll(outputs, 2, nullptr, &unblocked) < 0) continue;
        if (outputs[0].revents != 0) flow.data_open = relay(flow, data, true);
        if (outputs[1].revents != 0) flow.messages_open = relay(flow, messages, false);
    }
    if (flow.message.length > 0) pass_message(flow.message, true);
}

// The job's end as cupsd is told it: the last page count, the reason of a failure, and the
// exit status.
int finish_job(const Relay &flow, int wait_status) {
    if (png_pages_printed(flow.pages) > flow.pages.images) tell_cupsd("PAGE: 1 1");
    const int status = exit_code_of(wait_status);
    if (cancelled) {
        tell_cupsd("DEBUG: ravofilter-cups: job cancelled, ravofilter ended with status %d",
                   status);
        return status;
    }
    if (!flow.handing_on) return EXIT_RETRY;
    if (status != EXIT_DONE && status != EXIT_RETRY && status != EXIT_JOB_FAILED) {
        tell_cupsd("ERROR: ravofilter ended with status %d", status);
        return status;
    }
    switch (raster_result_of(wait_status)) {
    case Raster_Result::RASTERIZED:
        break;
    case Raster_Result::RETRY:
        tell_cupsd("ERROR: ravofilter could not read the job, write the printer data or start "
                   "the rasterizer");
        break;
    case Raster_Result::JOB_FAILED:
        tell_cupsd("ERROR: Ghostscript could not rasterize the job");
        break;
    }
    return status;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 6 && argc != 7) {
        fputs("Usage: ravofilter-cups job-id user title copies options [file]\n", stderr);
        return EXIT_RETRY;
    }
    snprintf(no_settings_file, sizeof no_settings_file, "%s%s", settings_path(),
             MESSAGE_NO_SUCH_FILE);
    signal(SIGPIPE, SIG_IGN);
    struct sigaction cancel = {};
    cancel.sa_handler = note_cancel;
    sigaction(SIGTERM, &cancel, nullptr);
    sigaction(SIGINT, &cancel, nullptr);
    sigaction(SIGHUP, &cancel, nullptr);

    const int job = open_job(argc, argv);
    if (job < 0) return EXIT_RETRY;

    sigset_t ending, unblocked;
    sigemptyset(&ending);
    sigaddset(&ending, SIGTERM);
    sigaddset(&ending, SIGINT);
    sigaddset(&ending, SIGHUP);
    sigprocmask(SIG_BLOCK, &ending, &unblocked);
    int data[2], messages[2];
    const pid_t filter = cancelled ? -1 : start_filter(job, data, messages, unblocked);
    if (filter < 0) {
        if (!cancelled)
            tell_cupsd("ERROR: ravofilter-cups: cannot start ravofilter: %s", strerror(errno));
        return EXIT_RETRY;
    }
    close(job);
    close(data[1]);
    close(messages[1]);

    Relay flow = {};
    relay_until_closed(flow, filter, data[0], messages[0], unblocked);
    return finish_job(flow, wait_child(filter));
}
