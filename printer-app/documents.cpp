// Documents the printer application rasterizes: PDF and PostScript through the filter's own
// command, JPEG and PNG through the image decoder, both in the helper's confinement, their
// pages handed to the printer as each one completes; and the printer's own PNG page stream.
#include "jobs.h"

#include "helper_runs.h"
#include "image_decoder.h"
#include "job_plan.h"

#include "../filter/job_road.h"
#include "../filter/settings.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

const char PRINTER_FORMAT[] = "application/vnd.quorvin-png";

namespace {

const size_t COMMAND_SIZE = 512;

// What the job's state message says for each way a helper can fail.
struct Outcome_Message {
    Helper_Outcome outcome;
    pappl_jreason_t reason;
    const char *message;
};
const Outcome_Message OUTCOME_MESSAGES[] = {
    {Helper_Outcome::RETRY, PAPPL_JREASON_ABORTED_BY_SYSTEM, "Cannot start the rasterizer."},
    {Helper_Outcome::RASTERIZER_FAILED, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR,
     "The rasterizer failed on this job."},
    {Helper_Outcome::AT_LIMIT, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR,
     "The rasterizer was stopped at its limit of CPU time or memory."},
    {Helper_Outcome::IMAGE_TOO_LARGE, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR,
     "The image has more pixels than the largest page at the finest resolution."},
    {Helper_Outcome::IMAGE_DAMAGED, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR,
     "The image file is damaged or cut short."},
    {Helper_Outcome::IMAGE_UNSUPPORTED, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR,
     "The image is of a kind this printer cannot print."},
    {Helper_Outcome::IMAGE_TOO_COSTLY, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR,
     "The image needs more memory to decode than the printer application allows."},
};

void abort_job(pappl_job_t *job, pappl_jreason_t reason, const char *why) {
    papplJobSetReasons(job, reason, PAPPL_JREASON_NONE);
    papplJobSetMessage(job, "%s", why);
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", why);
}

// The job's page and options, for a document of `pages` pages; false, the job aborted with a
// reason, when it asks what the printer cannot do.
bool plan(pappl_job_t *job, unsigned pages, Job_Page *page) {
    pappl_pr_options_t *options = papplJobCreatePrintOptions(job, pages, true);
    const char *why = nullptr;
    const bool planned = options != nullptr && plan_job(job, *options, page, &why);
    if (options != nullptr) papplJobDeletePrintOptions(options);
    if (!planned)
        abort_job(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR,
                  why != nullptr ? why : "Cannot read the job's options.");
    return planned;
}

// Ends the job for a helper's outcome; true when it printed.
bool conclude(pappl_job_t *job, Helper_Outcome outcome) {
    if (outcome == Helper_Outcome::PRINTED) return true;
    if (papplJobIsCanceled(job)) return false;
    const Outcome_Message *said = &OUTCOME_MESSAGES[1]; // an unknown byte: the rasterizer failed
    for (const Outcome_Message &message : OUTCOME_MESSAGES)
        if (message.outcome == outcome) said = &message;
    abort_job(job, said->reason, said->message);
    return false;
}

// Hands pages to the printer, counting each, and keeps them for the next copies as long as
// they fit in STREAM_BUFFER_BYTES.
struct Sender {
    pappl_job_t *job;
    pappl_device_t *device;
    std::vector<uint8_t> kept;
    bool keeping; // every page of this copy so far is in `kept`
    bool failed;  // the printer took no more
};

void send_bytes(Sender &sender, const std::vector<uint8_t> &bytes, bool page_ends) {
    if (sender.failed || bytes.empty()) return;
    sender.failed =
        papplDeviceWrite(sender.device, bytes.data(), bytes.size()) != ssize_t(bytes.size());
    if (sender.keeping && sender.kept.size() + bytes.size() <= STREAM_BUFFER_BYTES) {
        sender.kept.insert(sender.kept.end(), bytes.begin(), bytes.end());
    } else {
        sender.keeping = false;
        sender.kept.clear();
        sender.kept.shrink_to_fit();
    }
    if (page_ends) {
        papplDeviceFlush(sender.device);
        papplJobSetImpressionsCompleted(sender.job, 1);
    }
}

// Sends the further copies from what was kept: true when it was all of the document.
bool send_kept_copies(Sender &sender, int copies, unsigned pages) {
    if (!sender.keeping) return false;
    for (int copy = 1; copy < copies && !sender.failed && !papplJobIsCanceled(sender.job); ++copy) {
        sender.failed = papplDeviceWrite(sender.device, sender.kept.data(), sender.kept.size()) !=
                        ssize_t(sender.kept.size());
        papplDeviceFlush(sender.device);
        papplJobSetImpressionsCompleted(sender.job, int(pages));
    }
    return true;
}

// Reads the pages of a run, sending those numbered first to last; stops at the end of the
// stream, a cancellation, or a page that `keep` (when given) refuses, and says which. A page
// numbered past `skip` counts against first..last; the run's earlier pages are passed over.
enum class Sent { ALL, CANCELED, REFUSED };
struct Page_Range {
    unsigned first, last;
};
Sent send_run(Sender &sender, Helper_Run &run, Page_Range range,
              bool (*keep)(void *context, unsigned page), void *context) {
    bool sending = false; // the current page goes to the printer
    for (;;) {
        const Read_Result read = read_page(sender.job, run);
        if (read == Read_Result::CANCELED) return Sent::CANCELED;
        if (read == Read_Result::ENDED) return Sent::ALL; // an unfinished page is dropped
        const unsigned number = run.pages_done + (read == Read_Result::PIECE ? 1 : 0);
        if (!sending) { // the first bytes of a page: is it one to send?
            if (number < range.first || number > range.last) {
                if (read == Read_Result::PAGE) continue;
                while (read_page(sender.job, run) == Read_Result::PIECE) { // pass it over
                }
                continue;
            }
            if (keep != nullptr && !keep(context, number)) return Sent::REFUSED;
            sending = true;
        }
        send_bytes(sender, run.page, read == Read_Result::PAGE);
        if (read == Read_Result::PAGE) sending = false;
    }
}

// The helper's arguments for a Ghostscript command.
bool start_ghostscript(pappl_job_t *job, const char *command, bool by_name, bool log_messages,
                       Helper_Run *run) {
    const char *arguments[] = {"gs", command, by_name ? "name" : "stdin", nullptr};
    return start_helper(job, arguments, log_messages, run);
}

// Pages measured so far by the measuring run: their sizes in points, as its images' sizes.
struct Measure {
    pappl_job_t *job;
    Helper_Run *run;
    const Job_Page *page;
    std::vector<Page_Place> places;
    bool ended;
};

Page_Place measured_place(const Job_Page &page, const std::vector<uint8_t> &image) {
    const double media_width = page.conf.width * 72.0 / page.conf.resolution;
    const double media_height = page.conf.height * 72.0 / page.conf.resolution;
    if (image.size() < 24) return {1, 0, 0}; // signature, IHDR length and type, width, height
    const uint8_t *ihdr = image.data() + 16;
    const int width = int(uint32_t(ihdr[0]) << 24 | ihdr[1] << 16 | ihdr[2] << 8 | ihdr[3]);
    const int height = int(uint32_t(ihdr[4]) << 24 | ihdr[5] << 16 | ihdr[6] << 8 | ihdr[7]);
    return place_page(page.scaling, width, height, media_width, media_height);
}

// Reads the measuring run until it has measured the document's page `number` (from 1), or
// has ended; false when cancelled.
bool measure_until(Measure &measure, size_t number) {
    while (!measure.ended && measure.places.size() < number) {
        const Read_Result read = read_page(measure.job, *measure.run);
        if (read == Read_Result::CANCELED) return false;
        if (read == Read_Result::ENDED) measure.ended = true;
        if (read == Read_Result::PAGE)
            measure.places.push_back(measured_place(*measure.page, measure.run->page));
        while (read == Read_Result::PIECE &&
               read_page(measure.job, *measure.run) == Read_Result::PIECE) {
        }
    }
    return true;
}

// A plain page may go to the printer when its measured place leaves it where it is.
struct Plain_Check {
    Measure *measure;
    unsigned first_page; // the document's number of the plain run's first page
    unsigned refused;    // the plain run's number of the first page that must move
    bool canceled;
};
bool stays_in_place(void *context, unsigned plain_number) {
    Plain_Check &check = *static_cast<Plain_Check *>(context);
    const size_t number = check.first_page + plain_number - 1;
    check.refused = plain_number;
    if (!measure_until(*check.measure, number)) {
        check.canceled = true;
        return false;
    }
    // A page the measuring run did not see stays where the filter puts it.
    return check.measure->places.size() < number || !moves(check.measure->places[number - 1]);
}

// One copy of a PDF or PostScript document. With print-scaling other than none, the pages
// are measured in a run beside the filter's own command; each plain page is sent once its
// measure says it stays in place. At the first page that must move, the plain run is given
// up for one with fixed media and each page placed, from whose pages the rest is sent (the
// pages that stayed are the same bytes in both).
Helper_Outcome print_document_copy(Sender &sender, const Job_Page &page, const char *job_name,
                                   bool by_name) {
    pappl_job_t *job = sender.job;
    char plain_options[64] = "";
    if (page.first_page > 1 || page.last_page < UINT_MAX)
        snprintf(plain_options, sizeof plain_options, " -sPageList=%u-%u", page.first_page,
                 page.last_page);
    char command[COMMAND_SIZE];
    if (!format_command_with(page.conf, {plain_options, "", job_name}, command, sizeof command))
        return Helper_Outcome::RASTERIZER_FAILED;
    papplLogJob(job, PAPPL_LOGLEVEL_INFO, "Running \"%s\"", command);
    Helper_Run plain, measuring;
    if (page.scaling == PAPPL_SCALING_NONE) {
        if (!start_ghostscript(job, command, by_name, true, &plain)) return Helper_Outcome::RETRY;
        send_run(sender, plain, {1, UINT_MAX}, nullptr, nullptr);
        return finish_helper(job, plain);
    }
    char measure_command[COMMAND_SIZE];
    if (!format_measure_command(int(page.conf.width * 72.0 / page.conf.resolution + 0.5),
                                int(page.conf.height * 72.0 / page.conf.resolution + 0.5), job_name,
                                measure_command, sizeof measure_command) ||
        !start_ghostscript(job, measure_command, by_name, false, &measuring))
        return Helper_Outcome::RETRY;
    if (!start_ghostscript(job, command, by_name, true, &plain)) {
        finish_helper(job, measuring);
        return Helper_Outcome::RETRY;
    }
    Measure measure = {job, &measuring, &page, {}, false};
    Plain_Check check = {&measure, page.first_page, 0, false};
    const Sent plain_sent = send_run(sender, plain, {1, UINT_MAX}, stays_in_place, &check);
    const Helper_Outcome plain_outcome = finish_helper(job, plain);
    if (plain_sent == Sent::CANCELED || check.canceled) {
        finish_helper(job, measuring);
        return Helper_Outcome::RASTERIZER_FAILED;
    }
    measure_until(measure, SIZE_MAX);
    // A job that fails to be measured fails as well; its messages come from the plain run.
    const Helper_Outcome measured = finish_helper(job, measuring);
    if (plain_sent == Sent::ALL)
        return plain_outcome != Helper_Outcome::PRINTED ? plain_outcome : measured;
    if (measured != Helper_Outcome::PRINTED) return measured;
    const std::string setup = placement_setup(measure.places);
    std::vector<char> placed(COMMAND_SIZE + setup.size());
    if (!format_command_with(page.conf, {" -dFIXEDMEDIA", setup.c_str(), job_name}, placed.data(),
                             placed.size()))
        return Helper_Outcome::RASTERIZER_FAILED;
    papplLogJob(job, PAPPL_LOGLEVEL_INFO, "Pages placed: running \"%.300s%s\"", placed.data(),
                strlen(placed.data()) > 300 ? "..." : "");
    Helper_Run placing;
    if (!start_ghostscript(job, placed.data(), by_name, true, &placing))
        return Helper_Outcome::RETRY;
    // The pages before the refused one went out from the plain run.
    send_run(sender, placing, {page.first_page + check.refused - 1, page.last_page}, nullptr,
             nullptr);
    return finish_helper(job, placing);
}

} // namespace

bool print_document(pappl_job_t *job, pappl_device_t *device, void *) {
    Job_Page page;
    if (!plan(job, INT_MAX, &page)) return false;
    // Ghostscript reads a PDF in place by name; from standard input it would copy it into its
    // temporary space first, which bounds the size of a PDF that can print.
    const bool by_name = strcmp(papplJobGetFormat(job), "application/pdf") == 0;
    const char *job_name = by_name ? "/dev/stdin" : "-";
    Sender sender = {job, device, {}, page.copies > 1, false};
    for (int copy = 0; copy < page.copies; ++copy) {
        const unsigned before = unsigned(papplJobGetImpressionsCompleted(job));
        const Helper_Outcome outcome = print_document_copy(sender, page, job_name, by_name);
        if (!conclude(job, outcome) || sender.failed) return false;
        const unsigned pages = unsigned(papplJobGetImpressionsCompleted(job)) - before;
        if (copy == 0) papplJobSetImpressions(job, int(pages) * page.copies);
        if (copy == 0 && send_kept_copies(sender, page.copies, pages)) break;
    }
    return !sender.failed && !papplJobIsCanceled(job);
}

bool print_image(pappl_job_t *job, pappl_device_t *device, void *) {
    Job_Page page;
    if (!plan(job, 1, &page)) return false;
    pappl_pr_driver_data_t driver;
    papplPrinterGetDriverData(papplJobGetPrinter(job), &driver);
    const Paper_Conf &paper = *page.paper;
    const auto pixels = [&](int32_t units) {
        return units > 0 ? int(int64_t(units) * page.conf.resolution / PAPER_UNITS_PER_INCH) : 0;
    };
    const Image_Page image = {
        strcmp(papplJobGetFormat(job), "image/png") == 0 ? Image_Format::PNG : Image_Format::JPEG,
        page.conf.width,
        page.conf.height,
        page.conf.resolution,
        page.conf.ink == INK_MONO,
        Image_Scaling(page.scaling == PAPPL_SCALING_AUTO       ? 1
                      : page.scaling == PAPPL_SCALING_AUTO_FIT ? 2
                      : page.scaling == PAPPL_SCALING_FIT      ? 3
                      : page.scaling == PAPPL_SCALING_FILL     ? 4
                                                               : 0),
        page.orientation,
        pixels(paper.area_left),
        pixels(paper.area_top),
        pixels(paper.paper_width - paper.area_left - paper.area_width),
        pixels(paper.paper_height - paper.area_top - paper.area_height),
        largest_page_pixels(driver.x_resolution[driver.num_resolution - 1]),
    };
    char values[IMAGE_PAGE_ARGUMENTS][24];
    image_page_arguments(image, values);
    const char *arguments[IMAGE_PAGE_ARGUMENTS + 2] = {"image"};
    for (int i = 0; i < IMAGE_PAGE_ARGUMENTS; ++i)
        arguments[i + 1] = values[i];
    arguments[IMAGE_PAGE_ARGUMENTS + 1] = nullptr;
    papplJobSetImpressions(job, page.copies);
    Sender sender = {job, device, {}, page.copies > 1, false};
    for (int copy = 0; copy < page.copies; ++copy) {
        // The decoder writes the page only once the whole image has decoded, so a damaged
        // file sends nothing.
        Helper_Run run;
        Helper_Outcome outcome = Helper_Outcome::RETRY;
        if (start_helper(job, arguments, true, &run)) {
            send_run(sender, run, {1, UINT_MAX}, nullptr, nullptr);
            outcome = finish_helper(job, run);
        }
        if (!conclude(job, outcome) || sender.failed) return false;
        if (copy == 0 && send_kept_copies(sender, page.copies, 1)) break;
    }
    return !sender.failed && !papplJobIsCanceled(job);
}

bool print_printer_format(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device) {
    const int job_file = open(papplJobGetFilename(job), O_RDONLY | O_CLOEXEC);
    if (job_file < 0) return false;
    struct stat job_stat;
    const size_t length = fstat(job_file, &job_stat) == 0 ? size_t(job_stat.st_size) : 0;
    void *mapped =
        length == 0 ? MAP_FAILED : mmap(nullptr, length, PROT_READ, MAP_PRIVATE, job_file, 0);
    close(job_file);
    const uint8_t *bytes = static_cast<const uint8_t *>(mapped);
    // Passed on only when it is a whole page stream, as the filter writes it.
    Png_Pages whole = {};
    for (size_t at = 0; mapped != MAP_FAILED && at < length && !papplJobIsCanceled(job);) {
        const size_t walked = png_pages_walk(whole, bytes + at, length - at);
        at += walked;
    }
    if (mapped == MAP_FAILED || whole.images == 0 || whole.state != Png_Pages::SIGNATURE ||
        whole.head_used != 0 || whole.bytes != length) {
        if (mapped != MAP_FAILED) munmap(mapped, length);
        if (!papplJobIsCanceled(job))
            abort_job(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR,
                      "The job is not a PNG page stream.");
        return false;
    }
    const int copies = options->copies > 0 ? options->copies : 1;
    papplJobSetImpressions(job, whole.images * copies);
    bool sent = true;
    for (int copy = 0; copy < copies && sent; ++copy) {
        Png_Pages walk = {};
        for (size_t at = 0; at < length && sent && !papplJobIsCanceled(job);) {
            const size_t page = png_pages_walk(walk, bytes + at, length - at);
            sent = papplDeviceWrite(device, bytes + at, page) == ssize_t(page);
            papplJobSetImpressionsCompleted(job, 1);
            at += page;
        }
    }
    munmap(mapped, length);
    return sent && !papplJobIsCanceled(job);
}
