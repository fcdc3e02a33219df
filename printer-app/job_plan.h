// What a job asks of the printer, decided before anything runs: its page and options, where
// each page of a document goes, and the bounds a raster page or an image must keep. Plain
// functions of the job's options and the paper tables, apart from the processes that print.
#pragma once

#include "../filter/filter.h"
#include "../paper/paper.h"

#include <pappl/pappl.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The page and options for a job, as the rasterizer is told them.
struct Job_Page {
    Conf conf;
    const char *source; // the paper source word
    char size_name[64]; // the PWG size name
    const Paper_Conf *paper;
    pappl_scaling_t scaling;
    int orientation;                // orientation-requested, 0 when the job asks none
    unsigned first_page, last_page; // page-ranges, from 1; last_page UINT_MAX: to the end
    int copies;
};

// What a job asks, read from its print options; false (with a reason in *why) when the
// paper tables hold no such size in the requested source, or the job asks what this printer
// cannot do.
bool plan_job(pappl_job_t *job, const pappl_pr_options_t &options, Job_Page *page,
              const char **why);

// Which of the options the client asked for itself (PAPPL fills every option with the
// printer's default when it is not asked).
struct Job_Asked {
    bool media_source, printer_resolution, orientation, overrides;
    int quality; // print-quality, 0 when not asked
};
// The decision of plan_job on plain values: the options, the printer's driver data and what
// the client asked.
bool plan_page(const pappl_pr_options_t &options, const pappl_pr_driver_data_t &driver,
               const Job_Asked &asked, Job_Page *page, const char **why);

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
bool moves(const Page_Place &place);

// Ghostscript's set-up that moves and scales each page by its place, by the count of pages
// before it; pages past the list take the last place, and only the first MAX_PLACED_PAGES
// are listed, which keeps the set-up within the kernel's bound on one argument.
const size_t MAX_PLACED_PAGES = 2000;
std::string placement_setup(const std::vector<Page_Place> &places);

// The resolutions the printer offers, coarse to fine: 360, 720 and 1440 dpi give every
// paper-table dimension (in 1/360 inch) in whole dots; the settings' own is among them.
const int OFFERED_RESOLUTIONS[] = {360, 720, 1440};
int offered_resolutions(int settings_resolution, int (&resolutions)[4]);

// The pixels of the largest page of the tables at a resolution: a raster page or an image
// with more asks for more than any page the printer offers.
uint64_t largest_page_pixels(int resolution);
// A raster page's fault as the client's header gives it: a resolution the printer does not
// offer, a size beyond the largest media at that resolution, or lines of another length
// than the width says; null when the page can be printed.
struct Raster_Header {
    unsigned x_resolution, y_resolution;
    unsigned width, height, bits_per_pixel, bytes_per_line;
};
const char *raster_page_fault(const Raster_Header &header, const int *resolutions, int count);
