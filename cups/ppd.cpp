#include "ppd.h"

#include "../filter/settings.h"

#include <cstring>

const char PPD_NAME[] = "ravofilter:quorvin-7x.ppd";

namespace {

const char FILTER_LINE[] =
    "*cupsFilter2: \"application/vnd.cups-postscript application/vnd.quorvin-png 0 "
    "ravofilter-cups\"";
const int UNITS_PER_POINT = PAPER_UNITS_PER_INCH / 72;

// A margin in tenths of a point, from 1/360 inch (5 units a point); never negative.
int margin_tenths(int32_t units) {
    return units > 0 ? units * 10 / UNITS_PER_POINT : 0;
}

// The value of a "*Keyword: value" line, without quotes; null for another keyword.
const char *value_of(const char *line, const char *keyword) {
    const size_t length = strlen(keyword);
    if (strncmp(line, keyword, length) != 0 || line[length] != ':') return nullptr;
    line += length + 1;
    while (*line == ' ' || *line == '\t' || *line == '"')
        ++line;
    return line;
}

} // namespace

void write_driver_listing(FILE *out) {
    fprintf(out, "\"%s\" en \"Quorvin\" \"Quorvin 7X Series, ravofilter\" \"%s\"\n", PPD_NAME,
            PRINTER_DEVICE_ID);
}

void write_ppd(FILE *out, const Printer_Setup &setup, const char *settings_path) {
    const bool grey = setup.conf.ink == INK_MONO;
    const Paper_Conf &paper = *setup.paper;
    const char *size = setup.media_size;
    // Whole points for the sheet, as PPDs give them; the printable area in tenths.
    const int width = round_off(double(paper.paper_width) / UNITS_PER_POINT);
    const int height = round_off(double(paper.paper_height) / UNITS_PER_POINT);
    const int left = margin_tenths(paper.area_left);
    const int top = margin_tenths(paper.area_top);
    const int right = margin_tenths(paper.paper_width - paper.area_left - paper.area_width);
    const int bottom = margin_tenths(paper.paper_height - paper.area_top - paper.area_height);
    const int right_edge = width * 10 - right, top_edge = height * 10 - top;

    fputs("*PPD-Adobe: \"4.3\"\n", out);
    fprintf(out,
            "*%% CUPS queue for the Quorvin 7X Series through ravofilter, which rasterizes "
            "with the\n*%% settings of %s. ",
            settings_path);
    if (setup.from_settings)
        fprintf(out,
                "This PPD was written from that file: make it again\n*%% after "
                "editing it (lpadmin -p QUEUE -m %s).\n",
                PPD_NAME);
    else
        fprintf(out, "This PPD was written for the filter's defaults, which it\n*%% uses "
                     "while that file gives no usable settings.\n");
    fprintf(out,
            "*FormatVersion: \"4.3\"\n*FileVersion: \"1.0.0\"\n*LanguageVersion: English\n"
            "*LanguageEncoding: ISOLatin1\n*PCFileName: \"QUORVIN7.PPD\"\n"
            "*Manufacturer: \"Quorvin\"\n*Product: \"(Quorvin 7X Series)\"\n"
            "*ModelName: \"Quorvin 7X Series\"\n*ShortNickName: \"Quorvin 7X Series\"\n"
            "*NickName: \"Quorvin 7X Series, ravofilter\"\n*1284DeviceID: \"%s\"\n"
            "*PSVersion: \"(3010.000) 0\"\n*LanguageLevel: \"3\"\n",
            PRINTER_DEVICE_ID);
    fprintf(out, "*ColorDevice: %s\n*DefaultColorSpace: %s\n", grey ? "False" : "True",
            grey ? "Gray" : "RGB");
    fprintf(out, "*DefaultResolution: %ddpi\n", setup.conf.resolution);
    fprintf(out,
            "*FileSystem: False\n*Throughput: \"1\"\n*LandscapeOrientation: Plus90\n"
            "*TTRasterizer: Type42\n*cupsVersion: 2.4\n%s\n",
            FILTER_LINE);
    const char *const size_options[] = {"PageSize", "PageRegion"};
    for (const char *option : size_options) {
        fprintf(out, "*OpenUI *%s/Media Size: PickOne\n*OrderDependency: 10 AnySetup *%s\n", option,
                option);
        fprintf(out, "*Default%s: %s\n", option, size);
        fprintf(out, "*%s %s/%s: \"<</PageSize[%d %d]/ImagingBBox null>>setpagedevice\"\n", option,
                size, size, width, height);
        fprintf(out, "*CloseUI: *%s\n", option);
    }
    fprintf(out, "*DefaultImageableArea: %s\n", size);
    fprintf(out, "*ImageableArea %s/%s: \"%d.%d %d.%d %d.%d %d.%d\"\n", size, size, left / 10,
            left % 10, bottom / 10, bottom % 10, right_edge / 10, right_edge % 10, top_edge / 10,
            top_edge % 10);
    fprintf(out, "*DefaultPaperDimension: %s\n", size);
    fprintf(out, "*PaperDimension %s/%s: \"%d %d\"\n", size, size, width, height);
}

Ppd_Facts read_ppd_facts(FILE *ppd) {
    Ppd_Facts facts = {false, "", -1};
    char line[512];
    while (fgets(line, sizeof line, ppd) != nullptr) {
        line[strcspn(line, "\r\n")] = '\0';
        const char *value;
        if ((value = value_of(line, "*cupsFilter2")) != nullptr &&
            strstr(value, " ravofilter-cups") != nullptr)
            facts.uses_ravofilter = true;
        if ((value = value_of(line, "*DefaultPageSize")) != nullptr)
            snprintf(facts.page_size, sizeof facts.page_size, "%.*s", int(strcspn(value, " \t")),
                     value);
        if ((value = value_of(line, "*ColorDevice")) != nullptr)
            facts.color_device = strncmp(value, "True", 4) == 0 ? 1 : 0;
    }
    return facts;
}
