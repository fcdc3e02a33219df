#include "job_plan.h"

#include "media.h"

#include "../filter/settings.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const unsigned OPEN_END = INT_MAX; // the page count given to PAPPL: page ranges without an end

// The member of a job's media-col, if the client gave it.
bool media_col_has(pappl_job_t *job, const char *member) {
    ipp_attribute_t *media_col = papplJobGetAttribute(job, "media-col");
    if (media_col == nullptr) return false;
    return ippFindAttribute(ippGetCollection(media_col, 0), member, IPP_TAG_ZERO) != nullptr;
}

// The paper source for a size: the one the client named, else (or for "auto") the printer's
// default source when it takes the size, else the first source that does.
const char *choose_source(const pappl_pr_options_t &options, const Job_Asked &asked,
                          const char *default_source) {
    if (asked.media_source && strcmp(options.media.source, "auto") != 0)
        return paper_source_of(options.media.source);
    const char *chosen = paper_source_of(default_source);
    if (chosen != nullptr && paper_for(chosen, options.media.size_name) != nullptr) return chosen;
    for (const Paper_Source &source : paper_sources)
        if (paper_for(source.word, options.media.size_name) != nullptr) return source.word;
    return chosen;
}

// The resolution a job asks for: its printer-resolution; else the coarsest for draft quality
// and the finest for high; else (normal quality, as CUPS asks for) the settings' own.
int job_resolution(const pappl_pr_options_t &options, const Job_Asked &asked,
                   const pappl_pr_driver_data_t &driver) {
    if (asked.printer_resolution) return options.printer_resolution[0];
    if (asked.quality == IPP_QUALITY_DRAFT) return driver.x_resolution[0];
    if (asked.quality == IPP_QUALITY_HIGH) return driver.x_resolution[driver.num_resolution - 1];
    return driver.x_default;
}

// Pixels of `units` (1/360 inch) at a resolution, rounded up.
uint64_t pixels_up(int32_t units, int resolution) {
    return (uint64_t(units) * unsigned(resolution) + PAPER_UNITS_PER_INCH - 1) /
           PAPER_UNITS_PER_INCH;
}

// The largest width and height of any entry of the tables, in 1/360 inch.
void largest_dimensions(int32_t *width, int32_t *height) {
    *width = *height = 0;
    for (const Paper_Source &source : paper_sources)
        for (const Paper_Conf *entry = source.table; entry->name != nullptr; ++entry) {
            *width = std::max(*width, entry->paper_width);
            *height = std::max(*height, entry->paper_height);
        }
}

} // namespace

bool plan_job(pappl_job_t *job, const pappl_pr_options_t &options, Job_Page *page,
              const char **why) {
    pappl_pr_driver_data_t driver;
    papplPrinterGetDriverData(papplJobGetPrinter(job), &driver);
    ipp_attribute_t *quality = papplJobGetAttribute(job, "print-quality");
    const Job_Asked asked = {media_col_has(job, "media-source"),
                             papplJobGetAttribute(job, "printer-resolution") != nullptr,
                             papplJobGetAttribute(job, "orientation-requested") != nullptr,
                             papplJobGetAttribute(job, "overrides") != nullptr,
                             quality != nullptr ? ippGetInteger(quality, 0) : 0};
    return plan_page(options, driver, asked, page, why);
}

bool plan_page(const pappl_pr_options_t &options, const pappl_pr_driver_data_t &driver,
               const Job_Asked &asked, Job_Page *page, const char **why) {
    if (asked.overrides) {
        *why = "Page overrides are not supported.";
        return false;
    }
    const char *source = choose_source(options, asked, driver.media_default.source);
    const Paper_Conf *paper =
        source == nullptr ? nullptr : paper_for(source, options.media.size_name);
    if (paper == nullptr) {
        *why = "The paper tables hold no such media size in that media source.";
        return false;
    }
    const bool grey = options.print_color_mode == PAPPL_COLOR_MODE_MONOCHROME ||
                      options.print_color_mode == PAPPL_COLOR_MODE_BI_LEVEL;
    if (job_conf(grey ? INK_MONO : INK_COLOR, job_resolution(options, asked, driver), paper->name,
                 source, &page->conf) != Fault::NONE) {
        *why = "The page is too large at this resolution.";
        return false;
    }
    page->source = source;
    page->paper = paper;
    snprintf(page->size_name, sizeof page->size_name, "%s", options.media.size_name);
    page->scaling = options.print_scaling;
    page->orientation = asked.orientation ? int(options.orientation_requested) : 0;
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

bool moves(const Page_Place &place) {
    return place.scale != 1 || place.x != 0 || place.y != 0;
}

std::string placement_setup(const std::vector<Page_Place> &places) {
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

int offered_resolutions(int settings_resolution, int (&resolutions)[4]) {
    int count = 0;
    bool placed = false;
    for (int resolution : OFFERED_RESOLUTIONS) {
        if (!placed && settings_resolution <= resolution) {
            resolutions[count++] = settings_resolution;
            placed = true;
        }
        if (resolution != settings_resolution) resolutions[count++] = resolution;
    }
    if (!placed) resolutions[count++] = settings_resolution;
    return count;
}

uint64_t largest_page_pixels(int resolution) {
    uint64_t largest = 0;
    for (const Paper_Source &source : paper_sources)
        for (const Paper_Conf *entry = source.table; entry->name != nullptr; ++entry)
            largest = std::max(largest, pixels_up(entry->paper_width, resolution) *
                                            pixels_up(entry->paper_height, resolution));
    return largest;
}

const char *raster_page_fault(const Raster_Header &header, const int *resolutions, int count) {
    if (header.x_resolution != header.y_resolution ||
        std::find(resolutions, resolutions + count, int(header.x_resolution)) ==
            resolutions + count)
        return "The raster page's resolution is not one this printer offers.";
    int32_t widest, longest;
    largest_dimensions(&widest, &longest);
    const int slack = 2; // clients round millimetres to dots their own way
    if (header.width == 0 || header.height == 0 ||
        header.width > pixels_up(widest, int(header.x_resolution)) + slack ||
        header.height > pixels_up(longest, int(header.y_resolution)) + slack)
        return "The raster page is larger than the largest media at its resolution.";
    if (header.bits_per_pixel != 8 && header.bits_per_pixel != 24)
        return "The raster page is not 8-bit grey or 24-bit colour, as this printer takes it.";
    if (header.bytes_per_line != uint64_t(header.width) * header.bits_per_pixel / 8)
        return "The raster page's line length does not match its width.";
    return nullptr;
}
