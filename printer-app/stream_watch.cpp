#include "stream_watch.h"

#include "network.h"

#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

namespace {

const int WATCH_MILLISECONDS = 500; // how often the streams are looked at
const int MAX_STREAMS = 64;         // streams watched at once; PAPPL prints one job at a time

struct Stream {
    const void *key; // PAPPL's raster stream; null: a free slot
    http_t *connection;
    pappl_job_t *job; // once the raster callbacks know it
    time_t progress;  // the last line, or the start
    bool cut;         // reading from the client has been stopped
};

pthread_mutex_t streams_lock = PTHREAD_MUTEX_INITIALIZER;
pappl_system_t *watched_system;
int stall_limit = STREAM_STALL_SECONDS;
Stream streams[MAX_STREAMS];
thread_local Stream *this_thread_stream;
thread_local cups_page_header2_t client_header;

time_t now() {
    timespec time;
    clock_gettime(CLOCK_MONOTONIC, &time);
    return time.tv_sec;
}

// The rest of the request reads as its end; the response can still be written.
void cut(Stream &stream, const char *why) {
    if (stream.cut) return;
    stream.cut = true;
    shutdown(httpGetFd(stream.connection), SHUT_RD);
    if (stream.job != nullptr) papplLogJob(stream.job, PAPPL_LOGLEVEL_ERROR, "%s", why);
}

// Jobs PAPPL is printing from a client's raster stream, as the printers list them.
struct Streamed_Jobs {
    pappl_job_t *jobs[2];
    int count;
};

void note_streamed_job(pappl_job_t *job, void *data) {
    const char *format = papplJobGetFormat(job);
    if (papplJobGetState(job) != IPP_JSTATE_PROCESSING || format == nullptr ||
        (strcmp(format, "image/pwg-raster") != 0 && strcmp(format, "image/urf") != 0))
        return;
    Streamed_Jobs &found = *static_cast<Streamed_Jobs *>(data);
    if (found.count < 2) found.jobs[found.count] = job;
    ++found.count;
}

void note_printer(pappl_printer_t *printer, void *data) {
    papplPrinterIterateActiveJobs(printer, note_streamed_job, data, 1, 0);
}

// A stream opened before its first page header has no job known yet. While one stream alone
// waits so and one streamed job alone has no stream, they are each other's: so a cancelled
// job is cut even before its client sent a page.
void find_unknown_job() {
    int waiting = 0;
    pthread_mutex_lock(&streams_lock);
    for (const Stream &stream : streams)
        if (stream.key != nullptr && stream.job == nullptr) ++waiting;
    pthread_mutex_unlock(&streams_lock);
    if (waiting != 1 || watched_system == nullptr) return;
    Streamed_Jobs found = {{nullptr, nullptr}, 0};
    papplSystemIteratePrinters(watched_system, note_printer, &found);
    pthread_mutex_lock(&streams_lock);
    Stream *jobless = nullptr;
    int unclaimed = 0;
    pappl_job_t *candidate = nullptr;
    for (int i = 0; i < found.count && i < 2; ++i) {
        bool claimed = false;
        for (const Stream &stream : streams)
            claimed = claimed || (stream.key != nullptr && stream.job == found.jobs[i]);
        if (!claimed) {
            candidate = found.jobs[i];
            ++unclaimed;
        }
    }
    for (Stream &stream : streams)
        if (stream.key != nullptr && stream.job == nullptr) jobless = &stream;
    if (jobless != nullptr && unclaimed == 1 && found.count <= 2) jobless->job = candidate;
    pthread_mutex_unlock(&streams_lock);
}

// The server's watch: its raster streams, and a shutdown it has been told of.
void *watch(void *) {
    for (;;) {
        usleep(WATCH_MILLISECONDS * 1000);
        wake_for_shutdown(watched_system);
        find_unknown_job();
        pthread_mutex_lock(&streams_lock);
        const time_t time = now();
        for (Stream &stream : streams) {
            if (stream.key == nullptr || stream.cut) continue;
            if (stream.job != nullptr && papplJobIsCanceled(stream.job))
                cut(stream, "Cancelled: no more of the document is read from the client.");
            else if (time - __atomic_load_n(&stream.progress, __ATOMIC_RELAXED) > stall_limit)
                cut(stream, "The client stopped sending the document.");
        }
        pthread_mutex_unlock(&streams_lock);
    }
    return nullptr;
}

} // namespace

bool start_stream_watch(pappl_system_t *system, int stall_seconds) {
    watched_system = system;
    stall_limit = stall_seconds;
    pthread_t thread;
    if (pthread_create(&thread, nullptr, watch, nullptr) != 0) return false;
    pthread_detach(thread);
    return true;
}

void watch_stream(http_t *connection, const void *key) {
    pthread_mutex_lock(&streams_lock);
    this_thread_stream = nullptr;
    for (Stream &stream : streams)
        if (stream.key == nullptr) {
            stream = {key, connection, nullptr, now(), false};
            this_thread_stream = &stream;
            break;
        }
    pthread_mutex_unlock(&streams_lock);
}

void unwatch_stream(const void *key) {
    pthread_mutex_lock(&streams_lock);
    for (Stream &stream : streams)
        if (stream.key == key) stream = {nullptr, nullptr, nullptr, 0, false};
    if (this_thread_stream != nullptr && this_thread_stream->key == nullptr)
        this_thread_stream = nullptr;
    pthread_mutex_unlock(&streams_lock);
}

void stream_job(pappl_job_t *job) {
    pthread_mutex_lock(&streams_lock);
    if (this_thread_stream != nullptr) {
        this_thread_stream->job = job;
        this_thread_stream->progress = now();
    }
    pthread_mutex_unlock(&streams_lock);
}

// Called for every line, so without the lock.
void stream_progress() {
    if (this_thread_stream != nullptr)
        __atomic_store_n(&this_thread_stream->progress, now(), __ATOMIC_RELAXED);
}

void stream_refused() {
    pthread_mutex_lock(&streams_lock);
    if (this_thread_stream != nullptr && this_thread_stream->key != nullptr)
        cut(*this_thread_stream, "The rest of the document is not read from the client.");
    pthread_mutex_unlock(&streams_lock);
}

void stream_page_header(const cups_page_header2_t &header) {
    client_header = header;
    stream_progress();
}

const cups_page_header2_t &stream_client_header() {
    return client_header;
}
