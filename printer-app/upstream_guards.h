// Guards around faults of PAPPL 1.3.1 and libcups 2.4.2, Debian 12's, that no API of theirs
// reaches. Each stands in for a library function that PAPPL calls: the application defines
// the function, the dynamic linker binds PAPPL's calls to it (the executable's symbols come
// first), and it calls the library's own after or instead. Each names the upstream version
// that fixes its fault; with those, the guard only does what the library already does.
//
//   ippRead                  refuses collections nested more than ten deep (libcups 2.4.12:
//                            before, a request nesting them 100,000 deep overflowed the client
//                            thread's stack and killed the server)
//   httpReadRequest, httpUpdate
//                            refuse a request whose Host: names neither this machine nor one
//                            of its addresses (PAPPL accepts any Host: that starts with a
//                            digit, which DNS rebinding uses), whose Content-Length is no
//                            number or beyond any document, or that the access rules keep
//                            from other machines (access.h)
//   cupsSetServerCredentials keeps the TLS certificate and key in the application's own
//                            directory, whatever the user and wherever PAPPL resets it
//   avahi_service_browser_new, avahi_record_browser_new
//                            answer null without an Avahi client (PAPPL 1.4 checks; 1.3.1
//                            passed null, and Avahi's assertion aborted the server on the
//                            add-printer page when avahi-daemon was not running)
//   avahi_entry_group_add_service_strlst, avahi_entry_group_add_service_subtype
//                            publish on loopback only while the server listens there alone
//                            (PAPPL 1.3.3 and later do; 1.3.1 published on every interface),
//                            with the adminurl that local clients get as printer-more-info,
//                            and keep "TLS" out of the TXT record while TLS is not served
//                            (PAPPL writes "TLS=1.2" whatever it serves)
//   cupsRasterOpenIO, cupsRasterReadHeader2, cupsRasterClose
//                            hand PWG and Apple raster streams and their page headers, as the
//                            client sent them, to the stream watch
#pragma once

#include <pappl/pappl.h>

// The system whose host name, besides this machine's own names and addresses, a request's
// Host: may name.
void guard_host_names(pappl_system_t *system);

// What DNS-SD may say: published on loopback only, or everywhere; TLS claimed or not.
void guard_dnssd(bool loopback_only, bool tls);

// Where the TLS certificate and key are kept (libcups makes them there when missing).
void keep_credentials_in(const char *directory);

// Whether a Host: field (with or without its port) names this machine.
bool host_is_ours(const char *host_field);

// Whether IPP bytes, fed in pieces as they come, nest collections more than ten deep.
struct Ipp_Scan {
    uint8_t state;    // where in the encoding the next byte falls
    uint8_t tag;      // the current attribute's value tag
    uint8_t bytes[4]; // a length or an extension tag, as far as it came
    uint8_t have, want;
    uint32_t left; // bytes of a name or value still to pass
    int depth;
    bool too_deep;
};
const int MAX_COLLECTION_DEPTH = 10;
void scan_ipp(Ipp_Scan &scan, const uint8_t *bytes, size_t count);
