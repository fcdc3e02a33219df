// How the printer application prints a job: PDF and PostScript through the filter's own
// command and confined rasterizer, raster pages (JPEG, PNG, PWG and Apple raster, rendered by
// PAPPL) written as PNG images. Either way the printer gets one PNG image per page.
#pragma once

#include "../filter/filter.h"

#include <pappl/pappl.h>

// The printer format: the filter's PNG page stream. A job in this format is passed on only
// when it is one.
extern const char PRINTER_FORMAT[];

// The page and options for a PDF or PostScript job, as the rasterizer is told them.
struct Job_Page {
    Conf conf;
    const char *source; // the paper source word
    char size_name[64]; // the PWG size name
    pappl_scaling_t scaling;
    unsigned first_page, last_page; // page-ranges, from 1; last_page UINT_MAX: to the end
    int copies;
};

// Where each page of a document goes on the media, by print-scaling: with its size in points
// and the media's, the scale and the offset of its lower left corner in points. "none" leaves
// it where the filter puts it; "auto" fits a page larger than the media and centres any
// other; "auto-fit" fits a larger page and leaves any other; "fit" and "fill" scale it to
// show all of the page or to cover all of the media, centred. Sizes within a point are equal.
struct Page_Place {
    double scale, x, y;
};
Page_Place place_page(pappl_scaling_t scaling, int page_width, int page_height, double media_width,
                      double media_height);

// What a job asks, read from its print options; false (with a reason in *why) when the
// paper tables hold no such size in the requested source, or the job asks what this printer
// cannot do.
bool plan_job(pappl_job_t *job, const pappl_pr_options_t &options, Job_Page *page,
              const char **why);

bool print_document(pappl_job_t *job, pappl_device_t *device, void *data); // PDF, PostScript
bool print_printer_format(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device);

bool raster_start_job(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device);
bool raster_start_page(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device,
                       unsigned page);
bool raster_write_line(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device,
                       unsigned y, const unsigned char *line);
bool raster_end_page(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device,
                     unsigned page);
bool raster_end_job(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device);
