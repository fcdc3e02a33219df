// Writes the PPD that the CUPS driver gives while the settings file gives no usable
// settings; the build ships it as the example PPD.
#include "../filter/settings.h"
#include "ppd.h"

int main() {
    write_ppd(stdout, default_printer_setup(), settings_path());
    return fflush(stdout) == 0 ? 0 : 1;
}
