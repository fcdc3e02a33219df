// ravo-printer-app: the Quorvin 7X Series as an IPP Everywhere printer, for driverless
// clients and spoolers. One driver, whose media, colour and resolution come from the paper
// tables and whose defaults come from the settings file through the filter's own reader.
#include "access.h"
#include "helper_runs.h"
#include "job_plan.h"
#include "jobs.h"
#include "media.h"
#include "network.h"
#include "pappl_seam.h"
#include "stream_watch.h"
#include "upstream_guards.h"

#include "../filter/printer_setup.h"
#include "../filter/settings.h"

#include <pappl/pappl.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#ifndef RAVOFILTER_VERSION
#define RAVOFILTER_VERSION "0"
#endif

namespace {

const char DRIVER_NAME[] = "quorvin-7x";
const char MAKE_AND_MODEL[] = "Quorvin 7X Series";
const char FOOTER_HTML[] = "Quorvin 7X Series printer application, ravofilter " RAVOFILTER_VERSION;

pappl_pr_driver_t drivers[] = {
    {DRIVER_NAME, MAKE_AND_MODEL, PRINTER_DEVICE_ID, nullptr},
};

// Every size name of the tables, made once before PAPPL starts (it keeps the pointers, and
// printers may be added from several clients at once).
char size_names[PAPPL_MAX_MEDIA][64];
int size_count;

// A media-col for a table entry in a source, margins from its printable area.
pappl_media_col_t media_col(const Paper_Conf &paper, const char *source) {
    pappl_media_col_t col = {};
    const int right = paper.paper_width - paper.area_left - paper.area_width;
    const int bottom = paper.paper_height - paper.area_top - paper.area_height;
    col.left_margin = units_to_hmm(paper.area_left > 0 ? paper.area_left : 0);
    col.top_margin = units_to_hmm(paper.area_top > 0 ? paper.area_top : 0);
    col.right_margin = units_to_hmm(right > 0 ? right : 0);
    col.bottom_margin = units_to_hmm(bottom > 0 ? bottom : 0);
    col.size_width = units_to_hmm(paper.paper_width);
    col.size_length = units_to_hmm(paper.paper_height);
    pwg_size_name(paper, col.size_name, sizeof col.size_name);
    snprintf(col.source, sizeof col.source, "%s", pwg_source(source));
    snprintf(col.type, sizeof col.type, "stationery");
    return col;
}

// Attributes IPP Everywhere asks for that PAPPL does not give.
ipp_t *extra_attributes() {
    ipp_t *attrs = ippNew();
    ippAddBoolean(attrs, IPP_TAG_PRINTER, "preferred-attributes-supported", 0);
    const char *const overrides[] = {"document-number", "pages"};
    ippAddStrings(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "overrides-supported", 2, nullptr,
                  overrides);
    ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "print-rendering-intent-default", nullptr,
                 "auto");
    ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "print-rendering-intent-supported",
                 nullptr, "auto");
    ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "pwg-raster-document-sheet-back", nullptr,
                 "normal");
    // PDF is taken, so clients are told that no password opens an encrypted one.
    ippAddInteger(attrs, IPP_TAG_PRINTER, IPP_TAG_INTEGER, "document-password-supported", 0);
    return attrs;
}

// The printer only takes data: it cannot show a message, so Identify-Printer's message goes
// to the application's log, where the administrator sees it.
void identify(pappl_printer_t *printer, pappl_identify_actions_t, const char *message) {
    papplLogPrinter(printer, PAPPL_LOGLEVEL_INFO, "Identify-Printer: %s",
                    message != nullptr ? message : "");
}

// A printer just made: its inks, whose levels the printer never reports back, and its
// DNS-SD advertisement, at once.
void printer_created(pappl_printer_t *printer, void *) {
    advertise_new_printer(printer);
    pappl_supply_t supplies[2] = {};
    supplies[0] = {PAPPL_SUPPLY_COLOR_BLACK, "Black Ink", true, -1,
                   PAPPL_SUPPLY_TYPE_INK_CARTRIDGE};
    supplies[1] = {PAPPL_SUPPLY_COLOR_MULTIPLE, "Color Ink", true, -1,
                   PAPPL_SUPPLY_TYPE_INK_CARTRIDGE};
    papplPrinterSetSupplies(printer, 2, supplies);
}

// The resolutions from coarse to fine, the settings' own among them and the default.
void offer_resolutions(pappl_pr_driver_data_t *data, int settings_resolution) {
    int resolutions[4];
    data->num_resolution = offered_resolutions(settings_resolution, resolutions);
    for (int i = 0; i < data->num_resolution; ++i)
        data->x_resolution[i] = data->y_resolution[i] = resolutions[i];
    data->x_default = data->y_default = settings_resolution;
    data->quality_default = IPP_QUALITY_NORMAL;
}

bool make_driver(pappl_system_t *, const char *driver_name, const char *, const char *,
                 pappl_pr_driver_data_t *data, ipp_t **attrs, void *) {
    if (strcmp(driver_name, DRIVER_NAME) != 0) return false;
    const Printer_Setup setup = read_printer_setup(settings_path());

    data->identify_cb = identify;
    data->identify_default = PAPPL_IDENTIFY_ACTIONS_DISPLAY;
    data->identify_supported = PAPPL_IDENTIFY_ACTIONS_DISPLAY;
    data->has_supplies = true;
    data->orient_default = IPP_ORIENT_PORTRAIT;
    data->printfile_cb = print_printer_format;
    data->rstartjob_cb = raster_start_job;
    data->rstartpage_cb = raster_start_page;
    data->rwriteline_cb = raster_write_line;
    data->rendpage_cb = raster_end_page;
    data->rendjob_cb = raster_end_job;
    data->format = PRINTER_FORMAT;
    snprintf(data->make_and_model, sizeof data->make_and_model, "%s", MAKE_AND_MODEL);
    data->ppm = 5;
    data->ppm_color = 4;
    data->kind = PAPPL_KIND_DOCUMENT | PAPPL_KIND_PHOTO | PAPPL_KIND_POSTCARD |
                 PAPPL_KIND_ENVELOPE | PAPPL_KIND_ROLL;
    data->color_supported =
        PAPPL_COLOR_MODE_AUTO | PAPPL_COLOR_MODE_COLOR | PAPPL_COLOR_MODE_MONOCHROME;
    data->color_default =
        setup.conf.ink == INK_MONO ? PAPPL_COLOR_MODE_MONOCHROME : PAPPL_COLOR_MODE_COLOR;
    data->content_default = PAPPL_CONTENT_AUTO;
    data->scaling_default = PAPPL_SCALING_AUTO;
    data->raster_types = PAPPL_PWG_RASTER_TYPE_SGRAY_8 | PAPPL_PWG_RASTER_TYPE_SRGB_8;
    data->duplex = PAPPL_DUPLEX_NONE;
    data->sides_supported = PAPPL_SIDES_ONE_SIDED;
    data->sides_default = PAPPL_SIDES_ONE_SIDED;

    offer_resolutions(data, setup.conf.resolution);

    data->num_media = size_count;
    for (int i = 0; i < size_count; ++i)
        data->media[i] = size_names[i];
    data->borderless = true; // the trimming sources print to the edges
    const pappl_media_col_t default_col = media_col(*setup.paper, setup.paper_source);
    data->left_right = default_col.left_margin;
    data->bottom_top = default_col.top_margin;
    data->media_default = default_col;

    // Each source is loaded with the default size when it takes it, else its first size.
    data->num_source = 0;
    for (const Paper_Source &source : paper_sources) {
        const Paper_Conf *loaded = call_paper_conf(source.word, setup.media_size);
        if (loaded == nullptr) loaded = source.table;
        data->source[data->num_source] = pwg_source(source.word);
        data->media_ready[data->num_source++] = media_col(*loaded, source.word);
    }
    data->num_type = 1;
    data->type[0] = "stationery";
    *attrs = extra_attributes();
    return true;
}

const char *auto_add(const char *, const char *, const char *device_id, void *) {
    if (device_id != nullptr && strstr(device_id, "MFG:Quorvin;") != nullptr &&
        strstr(device_id, "MDL:7X Series;") != nullptr)
        return DRIVER_NAME;
    return nullptr;
}

// PostScript by the filter's rule ("%!", or 0x04 then "%!"), and PDF.
const char *detect_format(const unsigned char *header, size_t size, void *) {
    if (size >= 2 && memcmp(header, "%!", 2) == 0) return "application/postscript";
    if (size >= 3 && header[0] == 0x04 && memcmp(header + 1, "%!", 2) == 0)
        return "application/postscript";
    if (size >= 5 && memcmp(header, "%PDF-", 5) == 0) return "application/pdf";
    return nullptr;
}

bool save_state(pappl_system_t *system, void *state_file) {
    return papplSystemSaveState(system, static_cast<const char *>(state_file));
}

// TLS for IPPS and HTTPS: a self-signed certificate for the system's host name, made on the
// first start in "tls" beside the state file (else in the spool directory, else where libcups
// keeps this user's), where libcups also makes one for each other name of this machine that a
// client connects by.
bool set_up_tls(pappl_system_t *system, const char *state_file, const char *spool) {
    char directory[PATH_MAX] = "", host[256];
    if (state_file != nullptr) {
        snprintf(directory, sizeof directory, "%s", state_file);
        char *slash = strrchr(directory, '/');
        snprintf(directory, sizeof directory, "%.*s", slash != nullptr ? int(slash - directory) : 0,
                 state_file);
        if (directory[0] == '\0') snprintf(directory, sizeof directory, ".");
    } else if (spool != nullptr) {
        snprintf(directory, sizeof directory, "%s", spool);
    }
    const bool own_directory = directory[0] != '\0';
    if (own_directory) {
        const size_t length = strlen(directory);
        snprintf(directory + length, sizeof directory - length, "/tls");
        if (mkdir(directory, 0700) != 0 && errno != EEXIST) {
            fprintf(stderr, "ravo-printer-app: cannot make %s: %s\n", directory, strerror(errno));
            return false;
        }
        keep_credentials_in(directory);
    }
    papplSystemGetHostName(system, host, sizeof host);
    if (!own_directory) return cupsSetServerCredentials(nullptr, host, 1) != 0;
    cupsSetServerCredentials(directory, host, 1);
    char certificate[PATH_MAX + 300];
    snprintf(certificate, sizeof certificate, "%s/%s.crt", directory, host);
    const time_t ten_years = time_t(3650) * 86400;
    if (access(certificate, R_OK) == 0 ||
        cupsMakeServerCredentials(directory, host, 0, nullptr, time(nullptr) + ten_years))
        return true;
    fprintf(stderr, "ravo-printer-app: cannot make the TLS certificate for %s in %s: %s\n", host,
            directory, cupsLastErrorString());
    return false;
}

pappl_system_t *make_system(int num_options, cups_option_t *options, void *serving) {
    const char *value;
    const int port = (value = cupsGetOption("server-port", num_options, options)) != nullptr
                         ? atoi(value)
                         : 8631;
    const char *listen = cupsGetOption("listen-hostname", num_options, options);
    const char *log_file = cupsGetOption("log-file", num_options, options);
    const char *spool = cupsGetOption("spool-directory", num_options, options);
    const char *state = cupsGetOption("state-file", num_options, options);
    const char *users = cupsGetOption("auth-file", num_options, options);
    pappl_loglevel_t level = PAPPL_LOGLEVEL_INFO;
    if ((value = cupsGetOption("log-level", num_options, options)) != nullptr) {
        if (strcmp(value, "debug") == 0) level = PAPPL_LOGLEVEL_DEBUG;
        if (strcmp(value, "warn") == 0) level = PAPPL_LOGLEVEL_WARN;
        if (strcmp(value, "error") == 0) level = PAPPL_LOGLEVEL_ERROR;
    }
    // Shared beyond loopback, it serves IPPS and HTTPS beside IPP and HTTP; on loopback alone,
    // plain (PAPPL would otherwise describe its printer's URIs to local clients inconsistently).
    const bool shared = listen != nullptr;
    pappl_system_t *system = papplSystemCreate(
        pappl_soptions_t(PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_WEB_INTERFACE |
                         PAPPL_SOPTIONS_WEB_LOG | (shared ? 0 : PAPPL_SOPTIONS_NO_TLS)),
        "Quorvin 7X Printer Application", port, "_print,_universal", spool,
        log_file != nullptr ? log_file : "-", level,
        cupsGetOption("auth-service", num_options, options), false);
    if (system == nullptr) return nullptr;
    const int stall_seconds =
        (value = cupsGetOption("stall-timeout", num_options, options)) != nullptr
            ? atoi(value)
            : STREAM_STALL_SECONDS;
    // Loopback only unless the administrator names what to listen on ("*" for every address).
    if (*static_cast<bool *>(serving) &&
        (!add_listeners(system, listen, port) ||
         !start_stream_watch(system, stall_seconds > 0 ? stall_seconds : STREAM_STALL_SECONDS))) {
        papplSystemDelete(system);
        return nullptr;
    }
    guard_dnssd(!shared, shared);
    // Its URIs name the host it serves: this machine alone, or the network's name for it.
    if (listen == nullptr) papplSystemSetHostName(system, "localhost");
    if (shared && *static_cast<bool *>(serving) && !set_up_tls(system, state, spool)) {
        papplSystemDelete(system);
        return nullptr;
    }
    set_access(system, shared, users);
    papplSystemSetPrinterDrivers(system, int(sizeof drivers / sizeof drivers[0]), drivers, auto_add,
                                 printer_created, make_driver, nullptr);
    papplSystemSetMIMECallback(system, detect_format, nullptr);
    papplSystemAddMIMEFilter(system, "application/pdf", PRINTER_FORMAT, print_document, nullptr);
    papplSystemAddMIMEFilter(system, "application/postscript", PRINTER_FORMAT, print_document,
                             nullptr);
    // Images too are decoded by the helper, confined: PAPPL looks for a filter to the
    // printer's format first, so its own decoders never run in the server.
    papplSystemAddMIMEFilter(system, "image/jpeg", PRINTER_FORMAT, print_image, nullptr);
    papplSystemAddMIMEFilter(system, "image/png", PRINTER_FORMAT, print_image, nullptr);
    guard_host_names(system);
    papplSystemSetFooterHTML(system, FOOTER_HTML);
    pappl_version_t version = {};
    snprintf(version.name, sizeof version.name, "ravo-printer-app");
    snprintf(version.sversion, sizeof version.sversion, "%s", RAVOFILTER_VERSION);
    papplSystemSetVersions(system, 1, &version);
    if (state != nullptr) {
        papplSystemLoadState(system, state);
        papplSystemSetSaveCallback(system, save_state, const_cast<char *>(state));
    }
    return system;
}

} // namespace

int main(int argc, char *argv[]) {
    // Standard input, output and error are open, if only on /dev/null, so that no socket or
    // file of the server takes their numbers (a rasterizer's process moves its own there).
    for (int fd = 0; fd < 3; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) != fd) return 1;
    size_count = all_size_names(size_names, PAPPL_MAX_MEDIA);
    // PAPPL makes the system for other sub-commands too (drivers lists its drivers); only the
    // server listens, and only the server rasterizes.
    bool serving = argc > 1 && strcmp(argv[1], "server") == 0;
    // "passwd NAME" writes a line of the users file (-o auth-file=...); PAPPL would take the
    // name for a file to print.
    if (argc == 3 && strcmp(argv[1], "passwd") == 0) return write_users_line(argv[2]);
    if (serving && !find_helper()) {
        fputs("ravo-printer-app: the rasterizing helper ravo-rasterize is not installed\n", stderr);
        return 1;
    }
    const int status = papplMainloop(argc, argv, RAVOFILTER_VERSION, FOOTER_HTML,
                                     int(sizeof drivers / sizeof drivers[0]), drivers, auto_add,
                                     make_driver, nullptr, nullptr, make_system, nullptr, &serving);
    // "shutdown" returns once the server has ended, so that a new one can take its port.
    if (status == 0 && argc > 1 && strcmp(argv[1], "shutdown") == 0) {
        const char *slash = strrchr(argv[0], '/');
        if (!wait_for_server_end(slash != nullptr ? slash + 1 : argv[0])) {
            fprintf(stderr, "ravo-printer-app: the server has not ended after %d seconds\n",
                    SHUTDOWN_WAIT_SECONDS);
            return 1;
        }
    }
    return status;
}
