#include "pappl_seam.h"

#ifndef PAPPL_VERSION_MINOR
#error "the build names the PAPPL version (PAPPL_VERSION_MAJOR, PAPPL_VERSION_MINOR)"
#endif

#if PAPPL_VERSION_MAJOR == 1 && PAPPL_VERSION_MINOR < 4

void advertise_new_printer(pappl_printer_t *printer) {
    if (!papplSystemIsRunning(papplPrinterGetSystem(printer))) return; // registered at the start
    char name[256];
    if (papplPrinterGetDNSSDName(printer, name, sizeof name) != nullptr)
        papplPrinterSetDNSSDName(printer, name);
}

#else

void advertise_new_printer(pappl_printer_t *) {}

#endif
