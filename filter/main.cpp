// ravofilter: input filter of the Quorvin 7X Series. A PostScript job is rasterized by
// Ghostscript into PNG data with the printer's settings from the settings file; any other
// job is copied through unchanged.
#include "contracts.h"
#include "job_road.h"
#include "settings.h"

int main() {
    int not_postscript = peek_job();
    if (not_postscript < 0) return EXIT_RETRY; // a pipe or a terminal: nothing to do
    if (not_postscript) return copy_job();

    Conf conf{};
    if (read_conf(&conf) != 0) conf = Def_Conf;
    return rasterize(conf);
}
