// The CUPS driver program of the Quorvin 7X Series (/usr/lib/cups/driver/ravofilter):
// cups-driverd runs "ravofilter list" for lpinfo -m and "ravofilter cat NAME" for lpadmin -m.
// The PPD says what the settings file sets: paper, colour or grey, resolution.
#include "../filter/settings.h"
#include "ppd.h"

#include <cstring>

int main(int argc, char **argv) {
    if (argc == 2 && strcmp(argv[1], "list") == 0) {
        write_driver_listing(stdout);
        return 0;
    }
    if (argc == 3 && strcmp(argv[1], "cat") == 0 && strcmp(argv[2], PPD_NAME) == 0) {
        write_ppd(stdout, read_printer_setup(settings_path()), settings_path());
        return fflush(stdout) == 0 ? 0 : 1;
    }
    if (argc == 3 && strcmp(argv[1], "cat") == 0) {
        fprintf(stderr, "ERROR: ravofilter: no PPD named \"%s\"; there is %s\n", argv[2], PPD_NAME);
        return 1;
    }
    fprintf(stderr, "Usage: ravofilter list | ravofilter cat %s\n", PPD_NAME);
    return 1;
}
