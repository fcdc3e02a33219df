// Raster pages (PWG and Apple raster), which PAPPL reads from the client's connection and
// renders line by line: each is written as one PNG image as the lines come, on the page the
// filter makes for the job's paper at the page's resolution (a client's raster may be for
// other paper): cut, or filled with white. A page whose header asks for a resolution the
// printer does not offer, a size beyond its largest media, or lines of another length is
// refused before anything is made of it.
#include "jobs.h"

#include "image_decoder.h"
#include "job_plan.h"
#include "media.h"
#include "stream_watch.h"

#include "../filter/settings.h"

#include <png.h>

#include <csetjmp>
#include <cstdlib>
#include <cstring>

namespace {

// Lines between two looks for a cancellation while a page is filled with white.
const uint32_t ROWS_BETWEEN_CANCEL_CHECKS = 256;

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

void refuse(pappl_job_t *job, pappl_jreason_t reason, const char *why) {
    papplJobSetReasons(job, reason, PAPPL_JREASON_NONE);
    papplJobSetMessage(job, "%s", why);
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", why);
    stream_refused();
}

} // namespace

bool raster_start_job(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device) {
    stream_job(job);
    const char *why = nullptr;
    Job_Page plan;
    if (!plan_job(job, *options, &plan, &why)) {
        refuse(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR, why);
        return false;
    }
    Png_Page *page = static_cast<Png_Page *>(calloc(1, sizeof(Png_Page)));
    if (page == nullptr) return false;
    page->device = device;
    page->job = plan;
    papplJobSetData(job, page);
    return true;
}

bool raster_start_page(pappl_job_t *job, pappl_pr_options_t *, pappl_device_t *, unsigned) {
    Png_Page *page = static_cast<Png_Page *>(papplJobGetData(job));
    const cups_page_header2_t &header = stream_client_header();
    pappl_pr_driver_data_t driver;
    papplPrinterGetDriverData(papplJobGetPrinter(job), &driver);
    const Raster_Header raster = {header.HWResolution[0],  header.HWResolution[1],
                                  header.cupsWidth,        header.cupsHeight,
                                  header.cupsBitsPerPixel, header.cupsBytesPerLine};
    if (const char *fault = raster_page_fault(raster, driver.x_resolution, driver.num_resolution)) {
        refuse(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR, fault);
        return false;
    }
    stream_progress();
    // The filter's page for this paper at the resolution the page was rendered at.
    Conf conf = page->job.conf;
    if (job_conf(conf.ink, int(header.HWResolution[0]), page->job.paper->name, page->job.source,
                 &conf) != Fault::NONE)
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
    quick_png(page->png);
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
    stream_progress();
    if (page->png == nullptr || papplJobIsCanceled(job)) return false;
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
    for (; page->rows_written < page->height; ++page->rows_written) {
        if (page->rows_written % ROWS_BETWEEN_CANCEL_CHECKS == 0 && papplJobIsCanceled(job)) {
            end_png(page);
            return false;
        }
        png_write_row(page->png, page->row);
    }
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
    // What a cancelled job's client still sends is not waited for.
    if (papplJobIsCanceled(job)) stream_refused();
    stream_job(nullptr);
    return true;
}
