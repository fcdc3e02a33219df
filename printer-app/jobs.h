// How the printer application prints a job, as PAPPL calls it: PDF and PostScript through the
// filter's own command and JPEG and PNG through the image decoder, both run by the rasterizing
// helper in the rasterizer's confinement; PWG and Apple raster pages, which PAPPL streams from
// the client, written as PNG images; and the printer's own PNG page stream. Either way the
// printer gets one PNG image per page.
#pragma once

#include <pappl/pappl.h>

// The printer format: the filter's PNG page stream. A job in this format is passed on only
// when it is one.
extern const char PRINTER_FORMAT[];

// MIME filters to the printer format.
bool print_document(pappl_job_t *job, pappl_device_t *device, void *data); // PDF, PostScript
bool print_image(pappl_job_t *job, pappl_device_t *device, void *data);    // JPEG, PNG
bool print_printer_format(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device);

// Raster pages.
bool raster_start_job(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device);
bool raster_start_page(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device,
                       unsigned page);
bool raster_write_line(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device,
                       unsigned y, const unsigned char *line);
bool raster_end_page(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device,
                     unsigned page);
bool raster_end_job(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device);
