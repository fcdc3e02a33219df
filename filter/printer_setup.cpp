#include "printer_setup.h"

#include "settings.h"

#include <cstring>

const char PRINTER_DEVICE_ID[] = "MFG:Quorvin;MDL:7X Series;CMD:PNG;CLS:PRINTER;";

Printer_Setup read_printer_setup(const char *settings_path) {
    // A report that asks for nothing keeps the filter's message off standard error.
    Settings_Report report = {nullptr, nullptr, nullptr, nullptr, {0, 0, 0, 0}, 0,
                              0,       0,       "",      "",      false};
    Conf conf = {};
    if (read_settings(settings_path, &conf, &report) == 0) {
        // The reader accepted these, so the source is one of the tables' words ("" is AUTO).
        const Paper_Source *source = &paper_sources[0];
        for (const Paper_Source &candidate : paper_sources)
            if (strcmp(candidate.word, report.paper_source) == 0) source = &candidate;
        const Paper_Conf *paper = call_paper_conf(report.paper_source, report.media_size);
        return {conf, paper->name, source->word, paper, true};
    }
    return default_printer_setup();
}

Printer_Setup default_printer_setup() {
    const Paper_Conf *a4 = call_paper_conf("AUTO", "A4");
    return {Def_Conf, a4->name, paper_sources[0].word, a4, false};
}
