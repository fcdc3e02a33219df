// CUPS queues of this printer whose PPD no longer says what the settings set: CUPS then lays
// pages out for other paper, and the filter crops them, or sends colour to a grey printer.
#include "check.h"

#include "../cups/ppd.h"
#include "../filter/printer_setup.h"

#include <dirent.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

void check_cups_queues(const char *settings) {
    const char *server_root = getenv("CUPS_SERVERROOT");
    char folder[PATH_MAX];
    snprintf(folder, sizeof folder, "%s/ppd", server_root != nullptr ? server_root : "/etc/cups");
    DIR *ppds = opendir(folder);
    if (ppds == nullptr) return;
    const Printer_Setup setup = read_printer_setup(settings);
    const bool colour = setup.conf.ink != INK_MONO;
    while (const dirent *entry = readdir(ppds)) {
        const size_t length = strlen(entry->d_name);
        if (length < 5 || strcmp(entry->d_name + length - 4, ".ppd") != 0) continue;
        char path[2 * PATH_MAX];
        snprintf(path, sizeof path, "%s/%s", folder, entry->d_name);
        FILE *file = fopen(path, "r");
        if (file == nullptr) continue;
        const Ppd_Facts ppd = read_ppd_facts(file);
        fclose(file);
        if (!ppd.uses_ravofilter) continue;
        const int queue_length = int(length - 4);
        if (strcmp(ppd.page_size, setup.media_size) != 0)
            finding_on(path, "warning",
                       "CUPS queue %.*s lays pages out on %s, but the settings give %s, so its "
                       "pages are cropped: make its PPD again with lpadmin -p %.*s -m %s",
                       queue_length, entry->d_name, ppd.page_size[0] ? ppd.page_size : "no size",
                       setup.media_size, queue_length, entry->d_name, PPD_NAME);
        if (ppd.color_device != (colour ? 1 : 0))
            finding_on(path, "warning",
                       "CUPS queue %.*s treats the printer as %s, but the settings give %s: make "
                       "its PPD again with lpadmin -p %.*s -m %s",
                       queue_length, entry->d_name, ppd.color_device == 1 ? "colour" : "grey",
                       colour ? "colour" : "grey", queue_length, entry->d_name, PPD_NAME);
    }
    closedir(ppds);
}
