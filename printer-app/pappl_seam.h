// What differs between the PAPPL versions the application builds against: Debian's 1.3.1
// (the package's) and 1.4. Everything else of the application is the same on both.
#pragma once

#include <pappl/pappl.h>

// A printer just made while the server runs (Create-Printer: the add and autoadd
// sub-commands) is advertised with DNS-SD at once. PAPPL 1.4 does so itself; 1.3.1 waited
// for the next start.
void advertise_new_printer(pappl_printer_t *printer);
