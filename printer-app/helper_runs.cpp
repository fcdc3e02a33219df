#include "helper_runs.h"

#include "../filter/child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#ifndef RAVO_HELPER_FROM_BIN_DIR
#define RAVO_HELPER_FROM_BIN_DIR "ravo-rasterize"
#endif

namespace {

const char HELPER_NAME[] = "ravo-rasterize";
const int POLL_MILLISECONDS = 500; // how often a waiting job looks for its cancellation
const int STOP_SECONDS = 10;       // a helper told to stop that has not ended by then is killed
const size_t MAX_ARGUMENTS = 24;

char helper_path[PATH_MAX];

bool path_beside_self(const char *relative, char *path, size_t size) {
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return false;
    self[length] = '\0';
    char *slash = strrchr(self, '/');
    if (slash == nullptr) return false;
    *slash = '\0';
    const int needed = snprintf(path, size, "%s/%s", self, relative);
    return needed > 0 && size_t(needed) < size && access(path, X_OK) == 0;
}

// Ghostscript's messages, a line each in the job's log; control characters (a carriage
// return or an escape sequence that a job prints) become '?', so no line can pass for another.
void log_line(pappl_job_t *job, char *line) {
    for (char *c = line; *c != '\0'; ++c)
        if ((unsigned char)*c < 0x20 && *c != '\t') *c = '?';
    papplLogJob(job, PAPPL_LOGLEVEL_WARN, "%s", line);
}

// Passes on what there is of the run's messages; false at their end.
bool relay_messages(pappl_job_t *job, Helper_Run &run) {
    const ssize_t got =
        read(run.messages, run.text + run.text_held, sizeof run.text - 1 - run.text_held);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    const bool ended = got <= 0;
    if (!ended) run.text_held += size_t(got);
    size_t start = 0;
    for (size_t i = 0; i < run.text_held; ++i) {
        // a whole line, a line as long as the buffer, or what is left at the end
        const bool line_end = run.text[i] == '\n';
        const bool full = start == 0 && i + 1 == sizeof run.text - 1;
        const bool last = ended && i + 1 == run.text_held;
        if (!line_end && !full && !last) continue;
        run.text[line_end ? i : i + 1] = '\0';
        if (run.log_messages && run.text[start] != '\0') log_line(job, run.text + start);
        start = i + 1;
    }
    memmove(run.text, run.text + start, run.text_held - start);
    run.text_held -= start;
    if (ended) {
        close(run.messages);
        run.messages = -1;
    }
    return !ended;
}

void close_pipe(int &fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

// Walks the rest of the last read into run.page up to the end of a page; true when one ended.
bool take_chunk(Helper_Run &run) {
    while (run.chunk_at < run.chunk_length) {
        const int before = run.walk.images;
        const uint8_t *from = run.chunk + run.chunk_at;
        const size_t walked = png_pages_walk(run.walk, from, run.chunk_length - run.chunk_at);
        run.page.insert(run.page.end(), from, from + walked);
        run.chunk_at += walked;
        if (run.walk.images > before) {
            ++run.pages_done;
            return true;
        }
    }
    return false;
}

} // namespace

bool find_helper() {
    return path_beside_self(RAVO_HELPER_FROM_BIN_DIR, helper_path, sizeof helper_path) ||
           path_beside_self(HELPER_NAME, helper_path, sizeof helper_path);
}

bool start_helper(pappl_job_t *job, const char *const *arguments, bool log_messages,
                  Helper_Run *run) {
    run->pid = -1;
    run->pages = run->messages = run->result = -1;
    run->log_messages = log_messages;
    run->walk = {};
    run->page.clear();
    run->pages_done = 0;
    run->text_held = 0;
    run->chunk_at = run->chunk_length = 0;

    char server[24];
    snprintf(server, sizeof server, "%d", int(getpid()));
    const char *argv[MAX_ARGUMENTS] = {HELPER_NAME, server};
    size_t count = 2;
    for (; arguments[count - 2] != nullptr; ++count) {
        if (count + 1 >= MAX_ARGUMENTS) return false;
        argv[count] = arguments[count - 2];
    }
    argv[count] = nullptr;

    int pages[2] = {-1, -1}, messages[2] = {-1, -1}, result[2] = {-1, -1};
    const int job_file = open(papplJobGetFilename(job), O_RDONLY | O_CLOEXEC);
    bool started = job_file >= 0 && pipe2(pages, O_CLOEXEC) == 0 &&
                   pipe2(messages, O_CLOEXEC) == 0 && pipe2(result, O_CLOEXEC) == 0;
    if (started) {
        sigset_t none;
        sigemptyset(&none);
        const Child_Start start = {{job_file, pages[1], messages[1], result[1]}, 0, &none, true};
        run->pid = spawn_child(start, helper_path, argv);
        started = run->pid > 0;
    }
    if (!started) run->pid = -1;
    if (job_file >= 0) close(job_file);
    close_pipe(pages[1]);
    close_pipe(messages[1]);
    close_pipe(result[1]);
    if (!started) {
        close_pipe(pages[0]);
        close_pipe(messages[0]);
        close_pipe(result[0]);
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Cannot start %s: %s", helper_path, strerror(errno));
        return false;
    }
    run->pages = pages[0];
    run->messages = messages[0];
    run->result = result[0];
    return true;
}

Read_Result read_page(pappl_job_t *job, Helper_Run &run) {
    run.page.clear();
    for (;;) {
        if (take_chunk(run)) return Read_Result::PAGE;
        if (run.page.size() >= STREAM_BUFFER_BYTES) return Read_Result::PIECE;
        if (run.pages < 0) return Read_Result::ENDED;
        pollfd ready[2] = {{run.pages, POLLIN, 0}, {run.messages, POLLIN, 0}};
        const int events = poll(ready, 2, POLL_MILLISECONDS);
        if (papplJobIsCanceled(job)) return Read_Result::CANCELED;
        if (events < 0 && errno != EINTR) return Read_Result::ENDED;
        if (events <= 0) continue;
        if (ready[1].revents != 0) relay_messages(job, run);
        if (ready[0].revents == 0) continue;
        const ssize_t got = read(run.pages, run.chunk, sizeof run.chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            close_pipe(run.pages);
            continue;
        }
        run.chunk_at = 0;
        run.chunk_length = size_t(got);
    }
}

Helper_Outcome finish_helper(pappl_job_t *job, Helper_Run &run) {
    if (run.pid < 0) return Helper_Outcome::RETRY;
    if (run.pages >= 0) kill(run.pid, SIGTERM);
    run.chunk_at = run.chunk_length = 0;
    const time_t deadline = time(nullptr) + STOP_SECONDS;
    while (run.pages >= 0 || run.messages >= 0) {
        pollfd ready[2] = {{run.pages, POLLIN, 0}, {run.messages, POLLIN, 0}};
        if (poll(ready, 2, POLL_MILLISECONDS) < 0 && errno != EINTR) break;
        if (time(nullptr) > deadline) kill(run.pid, SIGKILL);
        if (ready[1].revents != 0) relay_messages(job, run);
        if (ready[0].revents != 0 && read(run.pages, run.chunk, sizeof run.chunk) <= 0)
            close_pipe(run.pages);
    }
    close_pipe(run.pages);
    close_pipe(run.messages);
    const int status = wait_child(run.pid);
    run.pid = -1;
    char outcome;
    const bool told = read(run.result, &outcome, 1) == 1;
    close_pipe(run.result);
    if (told) return Helper_Outcome(outcome);
    // A helper that ended without a word (killed, or it could not write it) is read as the
    // filter's exit statuses are read.
    switch (raster_result_of(status)) {
    case Raster_Result::RASTERIZED:
        return Helper_Outcome::PRINTED;
    case Raster_Result::RETRY:
        return Helper_Outcome::RETRY;
    case Raster_Result::JOB_FAILED:
        break;
    }
    return Helper_Outcome::RASTERIZER_FAILED;
}
