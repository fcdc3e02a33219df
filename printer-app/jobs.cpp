#include "jobs.h"

#include "media.h"

#include "../cups/png_pages.h"
#include "../filter/rasterizer.h"
#include "../filter/settings_report.h"

#include <fcntl.h>
#include <png.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

const char PRINTER_FORMAT[] = "application/vnd.quorvin-png";

namespace {

const size_t COMMAND_SIZE = 512;
const unsigned OPEN_END = INT_MAX; // the page count given to PAPPL: page ranges without an end
// Pages placed one by one; later pages take the last page's place, which keeps Ghostscript's
// set-up within the kernel's bound on one argument.
const size_t MAX_PLACED_PAGES = 2000;

// The rasterizer's outcome as its process reports it.
const char RESULT_RASTERIZED = 'R', RESULT_JOB_FAILED = 'F', RESULT_RETRY = 'T';

// The member of a job's media-col, if the client gave it.
bool media_col_has(pappl_job_t *job, const char *member) {
    ipp_attribute_t *media_col = papplJobGetAttribute(job, "media-col");
    if (media_col == nullptr) return false;
    return ippFindAttribute(ippGetCollection(media_col, 0), member, IPP_TAG_ZERO) != nullptr;
}

// The paper source for a size: the one the client named, else (or for "auto") the printer's
// default source when it takes the size, else the first source that does.
const char *choose_source(pappl_job_t *job, const pappl_pr_options_t &options,
                          const char *default_source) {
    if (media_col_has(job, "media-source") && strcmp(options.media.source, "auto") != 0)
        return paper_source_of(options.media.source);
    const char *chosen = paper_source_of(default_source);
    if (chosen != nullptr && paper_for(chosen, options.media.size_name) != nullptr) return chosen;
    for (const Paper_Source &source : paper_sources)
        if (paper_for(source.word, options.media.size_name) != nullptr) return source.word;
    return chosen;
}

// The resolution a job asks for: its printer-resolution; else the coarsest for draft quality
// and the finest for high; else (normal quality, as CUPS asks for) the settings' own.
int job_resolution(pappl_job_t *job, const pappl_pr_options_t &options,
                   const pappl_pr_driver_data_t &driver) {
    if (papplJobGetAttribute(job, "printer-resolution") != nullptr)
        return options.printer_resolution[0];
    ipp_attribute_t *quality = papplJobGetAttribute(job, "print-quality");
    if (quality != nullptr && ippGetInteger(quality, 0) == IPP_QUALITY_DRAFT)
        return driver.x_resolution[0];
    if (quality != nullptr && ippGetInteger(quality, 0) == IPP_QUALITY_HIGH)
        return driver.x_resolution[driver.num_resolution - 1];
    return driver.x_default;
}

// Ghostscript's messages, a line each in the job's log; control characters (a carriage
// return or an escape sequence that a job prints) become '?', so no line can pass for another.
void log_job_text(pappl_job_t *job, char *text) {
    char *rest = nullptr;
    for (char *line = strtok_r(text, "\n", &rest); line != nullptr;
         line = strtok_r(nullptr, "\n", &rest)) {
        for (char *c = line; *c != '\0'; ++c)
            if ((unsigned char)*c < 0x20 && *c != '\t') *c = '?';
        papplLogJob(job, PAPPL_LOGLEVEL_WARN, "%s", line);
    }
}

// The filter's confined rasterizer, running in a process of its own (it waits on signals and
// owns its standard streams) with the job file on its standard input and its pages going
// into an output file.
struct Rasterizer {
    pid_t pid; // -1: it could not start
    int messages, result;
};

Rasterizer start_rasterizer(pappl_job_t *job, const char *command, int output) {
    Rasterizer rasterizer = {-1, -1, -1};
    int messages[2], result[2];
    if (pipe2(messages, O_CLOEXEC) != 0) return rasterizer;
    if (pipe2(result, O_CLOEXEC) != 0) {
        close(messages[0]);
        close(messages[1]);
        return rasterizer;
    }
    const int job_file = open(papplJobGetFilename(job), O_RDONLY | O_CLOEXEC);
    const pid_t parent = getpid();
    const pid_t child = job_file < 0 ? -1 : fork();
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(1);
        // Nothing of the server's, nor of other jobs' rasterizers, stays open in here: the
        // job, the pages, the messages, and the result at 3.
        char outcome = RESULT_RETRY;
        if (dup2(job_file, STDIN_FILENO) < 0 || dup2(output, STDOUT_FILENO) < 0 ||
            dup2(messages[1], STDERR_FILENO) < 0 || dup2(result[1], 3) < 0 ||
            close_range(4, ~0U, 0) != 0)
            _exit(1);
        switch (run_rasterizer(command)) {
        case Raster_Result::RASTERIZED:
            outcome = RESULT_RASTERIZED;
            break;
        case Raster_Result::JOB_FAILED:
            outcome = RESULT_JOB_FAILED;
            break;
        case Raster_Result::RETRY:
            break;
        }
        if (write(3, &outcome, 1) != 1) _exit(1);
        _exit(0);
    }
    if (job_file >= 0) close(job_file);
    close(messages[1]);
    close(result[1]);
    if (child < 0) {
        close(messages[0]);
        close(result[0]);
        return rasterizer;
    }
    return {child, messages[0], result[0]};
}

// Passes the rasterizer's messages to the job's log (none for a run given up), ends it when
// the job is cancelled, and says how it ended.
char finish_rasterizer(pappl_job_t *job, const Rasterizer &rasterizer, bool log_messages) {
    if (rasterizer.pid < 0) return RESULT_RETRY;
    bool ended = false;
    char text[4096];
    size_t held = 0;
    for (;;) {
        pollfd from = {rasterizer.messages, POLLIN, 0};
        const int ready = poll(&from, 1, 500);
        if (ready < 0 && errno != EINTR) break;
        if (!ended && papplJobIsCanceled(job)) {
            kill(rasterizer.pid, SIGTERM);
            ended = true;
        }
        if (ready <= 0) continue;
        const ssize_t got = read(rasterizer.messages, text + held, sizeof text - 1 - held);
        if (got <= 0) break;
        held += size_t(got);
        text[held] = '\0';
        char *last_line_end = strrchr(text, '\n');
        if (last_line_end == nullptr && held < sizeof text - 1) continue;
        const size_t logged = last_line_end == nullptr ? held : size_t(last_line_end - text) + 1;
        const char kept = text[logged];
        text[logged] = '\0';
        if (log_messages) log_job_text(job, text);
        text[logged] = kept;
        memmove(text, text + logged, held - logged);
        held -= logged;
    }
    if (held > 0 && log_messages) {
        text[held] = '\0';
        log_job_text(job, text);
    }
    close(rasterizer.messages);
    while (waitpid(rasterizer.pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    char outcome;
    if (read(rasterizer.result, &outcome, 1) != 1) outcome = RESULT_JOB_FAILED;
    close(rasterizer.result);
    return outcome;
}

char rasterize(pappl_job_t *job, const char *command, int output) {
    return finish_rasterizer(job, start_rasterizer(job, command, output), true);
}

// Sends pages first to last (from 1) of the PNG pages in output to the printer, copies
// times, counting each page.
bool send_pages(pappl_job_t *job, pappl_device_t *device, int output, int copies, unsigned first,
                unsigned last) {
    struct stat output_stat;
    if (fstat(output, &output_stat) != 0) return false;
    const size_t length = size_t(output_stat.st_size);
    if (length == 0) return true;
    void *mapped = mmap(nullptr, length, PROT_READ, MAP_PRIVATE, output, 0);
    if (mapped == MAP_FAILED) return false;
    const uint8_t *bytes = static_cast<const uint8_t *>(mapped);
    Png_Pages pages = {};
    for (size_t at = 0; at < length;)
        at += png_pages_walk(pages, bytes + at, length - at);
    const unsigned count = unsigned(png_pages_printed(pages));
    const unsigned chosen = count < first ? 0 : (count < last ? count : last) - first + 1;
    papplJobSetImpressions(job, int(chosen) * copies);
    bool sent = true;
    for (int copy = 0; copy < copies && sent && !papplJobIsCanceled(job); ++copy) {
        Png_Pages walk = {};
        for (size_t at = 0; at < length && sent;) {
            const size_t page = png_pages_walk(walk, bytes + at, length - at);
            const unsigned number =
                unsigned(walk.images) + (walk.state == Png_Pages::SIGNATURE ? 0 : 1);
            if (number >= first && number <= last) {
                sent = papplDeviceWrite(device, bytes + at, page) == ssize_t(page);
                papplJobSetImpressionsCompleted(job, 1);
            }
            at += page;
        }
    }
    munmap(mapped, length);
    return sent;
}

// An unnamed file beside the job's own, gone when closed.
int open_output(pappl_job_t *job) {
    char directory[PATH_MAX];
    snprintf(directory, sizeof directory, "%s", papplJobGetFilename(job));
    char *slash = strrchr(directory, '/');
    if (slash == nullptr) return -1;
    *slash = '\0';
    return open(directory, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
}

void abort_job(pappl_job_t *job, pappl_jreason_t reason, const char *why) {
    papplJobSetReasons(job, reason, PAPPL_JREASON_NONE);
    papplJobSetMessage(job, "%s", why);
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", why);
}

} // namespace

bool plan_job(pappl_job_t *job, const pappl_pr_options_t &options, Job_Page *page,
              const char **why) {
    pappl_pr_driver_data_t driver;
    papplPrinterGetDriverData(papplJobGetPrinter(job), &driver);
    if (papplJobGetAttribute(job, "overrides") != nullptr) {
        *why = "Page overrides are not supported.";
        return false;
    }
    const char *source = choose_source(job, options, driver.media_default.source);
    const Paper_Conf *paper =
        source == nullptr ? nullptr : paper_for(source, options.media.size_name);
    if (paper == nullptr) {
        *why = "The paper tables hold no such media size in that media source.";
        return false;
    }
    const bool grey = options.print_color_mode == PAPPL_COLOR_MODE_MONOCHROME ||
                      options.print_color_mode == PAPPL_COLOR_MODE_BI_LEVEL;
    if (job_conf(grey ? INK_MONO : INK_COLOR, job_resolution(job, options, driver), paper->name,
                 source, &page->conf) != Finding::NONE) {
        *why = "The page is too large at this resolution.";
        return false;
    }
    page->source = source;
    snprintf(page->size_name, sizeof page->size_name, "%s", options.media.size_name);
    page->scaling = options.print_scaling;
    page->first_page = options.first_page > 0 ? options.first_page : 1;
    page->last_page = options.last_page < OPEN_END ? options.last_page : UINT_MAX;
    page->copies = options.copies > 0 ? options.copies : 1;
    return true;
}

Page_Place place_page(pappl_scaling_t scaling, int page_width, int page_height, double media_width,
                      double media_height) {
    const bool same = abs(page_width - int(media_width + 0.5)) <= 1 &&
                      abs(page_height - int(media_height + 0.5)) <= 1;
    if (scaling == PAPPL_SCALING_NONE || same || page_width <= 0 || page_height <= 0)
        return {1, 0, 0};
    const bool larger = page_width > media_width + 1 || page_height > media_height + 1;
    const double fit = std::min(media_width / page_width, media_height / page_height);
    const double fill = std::max(media_width / page_width, media_height / page_height);
    double scale = 1;
    if (scaling == PAPPL_SCALING_FIT || (larger && scaling != PAPPL_SCALING_FILL)) scale = fit;
    if (scaling == PAPPL_SCALING_FILL) scale = fill;
    if (scaling == PAPPL_SCALING_AUTO_FIT && !larger) return {1, 0, 0};
    return {scale, (media_width - page_width * scale) / 2,
            (media_height - page_height * scale) / 2};
}

namespace {

// Places each page of the document: its size in points, as the measuring command wrote its
// pages into output, against the media's.
bool place_pages(const Job_Page &page, int output, std::vector<Page_Place> *places) {
    const double media_width = page.conf.width * 72.0 / page.conf.resolution;
    const double media_height = page.conf.height * 72.0 / page.conf.resolution;
    struct stat output_stat;
    if (fstat(output, &output_stat) != 0) return false;
    const size_t length = size_t(output_stat.st_size);
    void *mapped =
        length == 0 ? MAP_FAILED : mmap(nullptr, length, PROT_READ, MAP_PRIVATE, output, 0);
    if (mapped == MAP_FAILED) return length == 0;
    const uint8_t *bytes = static_cast<const uint8_t *>(mapped);
    Png_Pages pages = {};
    for (size_t at = 0; at < length;) {
        const size_t walked = png_pages_walk(pages, bytes + at, length - at);
        if (walked >= 24) { // signature, IHDR length and type, width, height
            const uint8_t *ihdr = bytes + at + 16;
            const int width = int(uint32_t(ihdr[0]) << 24 | ihdr[1] << 16 | ihdr[2] << 8 | ihdr[3]);
            const int height =
                int(uint32_t(ihdr[4]) << 24 | ihdr[5] << 16 | ihdr[6] << 8 | ihdr[7]);
            places->push_back(place_page(page.scaling, width, height, media_width, media_height));
        }
        at += walked;
    }
    munmap(mapped, length);
    return true;
}

// Ghostscript's set-up that moves and scales each page by its place, by the count of pages
// before it; pages past the list take the last place. Empty when every page stays where the
// filter puts it.
std::string page_setup(const std::vector<Page_Place> &places) {
    bool moved = false;
    for (const Page_Place &place : places)
        moved = moved || place.scale != 1 || place.x != 0 || place.y != 0;
    if (!moved) return "";
    std::string setup = " -c '<</BeginPage{[";
    char entry[64];
    for (size_t i = 0; i < places.size() && i < MAX_PLACED_PAGES; ++i) {
        snprintf(entry, sizeof entry, "[%.3f %.3f %.5f]", places[i].x, places[i].y,
                 places[i].scale);
        setup += entry;
    }
    return setup + "]exch 2 copy exch length lt{get}{pop dup length 1 sub get}ifelse aload pop "
                   "3 1 roll translate dup scale}>>setpagedevice'";
}

} // namespace

bool print_document(pappl_job_t *job, pappl_device_t *device, void *) {
    pappl_pr_options_t *options = papplJobCreatePrintOptions(job, OPEN_END, true);
    Job_Page page;
    const char *why = nullptr;
    const bool planned = options != nullptr && plan_job(job, *options, &page, &why);
    if (options != nullptr) papplJobDeletePrintOptions(options);
    if (!planned) {
        abort_job(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR,
                  why != nullptr ? why : "Cannot read the job's options.");
        return false;
    }
    const int output = open_output(job);
    if (output < 0) {
        abort_job(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "Cannot make the page file.");
        return false;
    }
    // The filter's own command, Ghostscript passing over the pages not asked for. To scale,
    // the pages are measured meanwhile; when any of them must move, that run is given up for
    // one with fixed media and each page placed, whose pages are picked afterwards.
    char plain_options[64] = "";
    if (page.first_page > 1 || page.last_page < UINT_MAX)
        snprintf(plain_options, sizeof plain_options, " -sPageList=%u-%u", page.first_page,
                 page.last_page);
    char command[COMMAND_SIZE];
    if (!format_command_with(page.conf, plain_options, "", command, sizeof command)) {
        close(output);
        return false;
    }
    papplLogJob(job, PAPPL_LOGLEVEL_INFO, "Running \"%s\"", command);
    unsigned first = 1, last = UINT_MAX;
    char outcome;
    if (page.scaling == PAPPL_SCALING_NONE) {
        outcome = rasterize(job, command, output);
    } else {
        std::vector<Page_Place> places;
        char measure_command[COMMAND_SIZE];
        const int measured = open_output(job);
        const bool measuring =
            measured >= 0 &&
            format_measure_command(int(page.conf.width * 72.0 / page.conf.resolution + 0.5),
                                   int(page.conf.height * 72.0 / page.conf.resolution + 0.5),
                                   measure_command, sizeof measure_command);
        const Rasterizer measure =
            measuring ? start_rasterizer(job, measure_command, measured) : Rasterizer{-1, -1, -1};
        const Rasterizer plain = start_rasterizer(job, command, output);
        // The job's messages are logged once, from the plain run, which a job that fails to
        // be measured fails as well.
        outcome = finish_rasterizer(job, measure, false);
        if (outcome == RESULT_RASTERIZED && !place_pages(page, measured, &places))
            outcome = RESULT_RETRY;
        if (measured >= 0) close(measured);
        const std::string setup = outcome == RESULT_RASTERIZED ? page_setup(places) : "";
        if (setup.empty()) {
            const char plain_outcome = finish_rasterizer(job, plain, true);
            if (outcome == RESULT_RASTERIZED) outcome = plain_outcome;
        } else {
            if (plain.pid > 0) kill(plain.pid, SIGTERM);
            finish_rasterizer(job, plain, false);
        }
        std::vector<char> placed(COMMAND_SIZE + setup.size());
        if (!setup.empty() && outcome == RESULT_RASTERIZED) {
            if (ftruncate(output, 0) != 0 || lseek(output, 0, SEEK_SET) != 0 ||
                !format_command_with(page.conf, " -dFIXEDMEDIA", setup.c_str(), placed.data(),
                                     placed.size())) {
                outcome = RESULT_RETRY;
            } else {
                papplLogJob(job, PAPPL_LOGLEVEL_INFO, "Pages placed: running \"%.300s%s\"",
                            placed.data(), strlen(placed.data()) > 300 ? "..." : "");
                outcome = rasterize(job, placed.data(), output);
                first = page.first_page;
                last = page.last_page;
            }
        }
    }
    bool printed = false;
    if (outcome == RESULT_RASTERIZED)
        printed = send_pages(job, device, output, page.copies, first, last);
    else if (outcome == RESULT_JOB_FAILED && !papplJobIsCanceled(job))
        abort_job(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, "The rasterizer failed on this job.");
    else if (outcome == RESULT_RETRY)
        abort_job(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "Cannot start the rasterizer.");
    close(output);
    return printed;
}

bool print_printer_format(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device) {
    const int job_file = open(papplJobGetFilename(job), O_RDONLY | O_CLOEXEC);
    if (job_file < 0) return false;
    Png_Pages pages = {};
    uint8_t buffer[65536];
    ssize_t got;
    while ((got = read(job_file, buffer, sizeof buffer)) > 0)
        png_pages_feed(pages, buffer, size_t(got));
    const bool whole =
        got == 0 && pages.images > 0 && pages.state == Png_Pages::SIGNATURE && pages.head_used == 0;
    bool printed = false;
    if (!whole)
        abort_job(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, "The job is not a PNG page stream.");
    else
        printed = send_pages(job, device, job_file, options->copies > 0 ? options->copies : 1, 1,
                             UINT_MAX);
    close(job_file);
    return printed;
}

// Raster pages: PAPPL renders them; each is written as one PNG image as the lines come, on
// the page the filter makes for the job's paper at the page's resolution (PAPPL rounds sizes
// from millimetres, a client's PWG raster may be for other paper): cut, or filled with white.
namespace {

struct Png_Page {
    png_structp png;
    png_infop info;
    pappl_device_t *device;
    Job_Page job;
    uint32_t width, height, rows_written; // the filter's page
    unsigned bytes_per_pixel;
    unsigned char *row; // one row of the filter's page
};

void write_to_device(png_structp png, png_bytep bytes, size_t length) {
    Png_Page *page = static_cast<Png_Page *>(png_get_io_ptr(png));
    if (papplDeviceWrite(page->device, bytes, length) != ssize_t(length)) png_error(png, "write");
}

void flush_device(png_structp png) {
    papplDeviceFlush(static_cast<Png_Page *>(png_get_io_ptr(png))->device);
}

void end_png(Png_Page *page) {
    if (page->png != nullptr) png_destroy_write_struct(&page->png, &page->info);
    page->png = nullptr;
    page->info = nullptr;
    free(page->row);
    page->row = nullptr;
}

} // namespace

bool raster_start_job(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device) {
    const char *why = nullptr;
    Job_Page plan;
    if (!plan_job(job, *options, &plan, &why)) {
        abort_job(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR, why);
        return false;
    }
    Png_Page *page = static_cast<Png_Page *>(calloc(1, sizeof(Png_Page)));
    if (page == nullptr) return false;
    page->device = device;
    page->job = plan;
    papplJobSetData(job, page);
    return true;
}

bool raster_start_page(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *, unsigned) {
    Png_Page *page = static_cast<Png_Page *>(papplJobGetData(job));
    const auto &header = options->header;
    // The filter's page for this paper at the resolution the page was rendered at.
    Conf conf = page->job.conf;
    const Paper_Conf *paper = paper_for(page->job.source, page->job.size_name);
    if (paper == nullptr || job_conf(conf.ink, int(header.HWResolution[0]), paper->name,
                                     page->job.source, &conf) != Finding::NONE)
        return false;
    page->width = uint32_t(conf.width);
    page->height = uint32_t(conf.height);
    page->rows_written = 0;
    page->bytes_per_pixel = header.cupsBitsPerPixel == 8 ? 1 : 3;
    page->row = static_cast<unsigned char *>(malloc(size_t(page->width) * page->bytes_per_pixel));
    page->png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    page->info = page->png == nullptr ? nullptr : png_create_info_struct(page->png);
    if (page->info == nullptr || page->row == nullptr) {
        end_png(page);
        return false;
    }
    if (setjmp(png_jmpbuf(page->png))) {
        end_png(page);
        return false;
    }
    png_set_write_fn(page->png, page, write_to_device, flush_device);
    png_set_IHDR(page->png, page->info, page->width, page->height, 8,
                 page->bytes_per_pixel == 1 ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    const png_uint_32 per_metre = png_uint_32(header.HWResolution[0] / 0.0254 + 0.5);
    png_set_pHYs(page->png, page->info, per_metre, per_metre, PNG_RESOLUTION_METER);
    png_write_info(page->png, page->info);
    return true;
}

bool raster_write_line(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *, unsigned y,
                       const unsigned char *line) {
    Png_Page *page = static_cast<Png_Page *>(papplJobGetData(job));
    if (page->png == nullptr) return false;
    if (y >= page->height) return true;
    if (setjmp(png_jmpbuf(page->png))) {
        end_png(page);
        return false;
    }
    const size_t row_bytes = size_t(page->width) * page->bytes_per_pixel;
    const size_t given = options->header.cupsBytesPerLine < row_bytes
                             ? size_t(options->header.cupsBytesPerLine)
                             : row_bytes;
    memcpy(page->row, line, given);
    memset(page->row + given, 0xff, row_bytes - given);
    png_write_row(page->png, page->row);
    ++page->rows_written;
    return true;
}

bool raster_end_page(pappl_job_t *job, pappl_pr_options_t *, pappl_device_t *, unsigned) {
    Png_Page *page = static_cast<Png_Page *>(papplJobGetData(job));
    if (page->png == nullptr) return false;
    if (setjmp(png_jmpbuf(page->png))) {
        end_png(page);
        return false;
    }
    memset(page->row, 0xff, size_t(page->width) * page->bytes_per_pixel);
    for (; page->rows_written < page->height; ++page->rows_written)
        png_write_row(page->png, page->row);
    png_write_end(page->png, page->info);
    end_png(page);
    return true;
}

bool raster_end_job(pappl_job_t *job, pappl_pr_options_t *, pappl_device_t *) {
    Png_Page *page = static_cast<Png_Page *>(papplJobGetData(job));
    if (page != nullptr) {
        end_png(page);
        free(page);
    }
    papplJobSetData(job, nullptr);
    return true;
}
