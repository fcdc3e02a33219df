#include "upstream_guards.h"

#include "access.h"
#include "stream_watch.h"

#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>
#include <cups/raster.h>

#include <arpa/inet.h>
#include <dlfcn.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The library's own function of a name, found past the application's.
template <typename Function> Function *library_function(const char *name) {
    return reinterpret_cast<Function *>(dlsym(RTLD_NEXT, name));
}

// IPP's encoding: the message header, then tags, each value tag followed by a name and a value
// with two-byte lengths (an extension tag by its four-byte real tag first), until the end tag.
enum Scan_State : uint8_t { HEADER, TAG, EXTENSION, NAME_LENGTH, NAME, VALUE_LENGTH, VALUE, DONE };
const uint8_t END_OF_ATTRIBUTES = 0x03, FIRST_VALUE_TAG = 0x10, EXTENSION_TAG = 0x7f;
const uint8_t BEGIN_COLLECTION = 0x34, END_COLLECTION = 0x37;

void expect(Ipp_Scan &scan, Scan_State state, uint8_t bytes) {
    scan.state = state;
    scan.have = 0;
    scan.want = bytes;
}

// A value tag as it opens or closes a collection.
void count_depth(Ipp_Scan &scan) {
    if (scan.tag == BEGIN_COLLECTION && ++scan.depth > MAX_COLLECTION_DEPTH) scan.too_deep = true;
    if (scan.tag == END_COLLECTION && scan.depth > 0) --scan.depth;
}

// A whole fixed-size field has come.
void take_field(Ipp_Scan &scan) {
    const uint32_t length = uint32_t(scan.bytes[0]) << 8 | scan.bytes[1];
    switch (scan.state) {
    case TAG:
        scan.tag = scan.bytes[0];
        if (scan.tag == END_OF_ATTRIBUTES)
            scan.state = DONE;
        else if (scan.tag < FIRST_VALUE_TAG)
            expect(scan, TAG, 1); // a group begins
        else if (scan.tag == EXTENSION_TAG)
            expect(scan, EXTENSION, 4);
        else {
            count_depth(scan);
            expect(scan, NAME_LENGTH, 2);
        }
        break;
    case EXTENSION:
        scan.tag = scan.bytes[0] | scan.bytes[1] | scan.bytes[2] ? 0 : scan.bytes[3];
        count_depth(scan);
        expect(scan, NAME_LENGTH, 2);
        break;
    case NAME_LENGTH:
        scan.left = length;
        expect(scan, NAME, 0);
        break;
    case VALUE_LENGTH:
        scan.left = length;
        expect(scan, VALUE, 0);
        break;
    default:
        break;
    }
}

// What Host: may name: this machine's names (checked when asked, as they can change).
pappl_system_t *guarded_system;

bool same_name(const char *host, const char *name) {
    const size_t length = strlen(name);
    return strncasecmp(host, name, length) == 0 &&
           (host[length] == '\0' || (host[length] == '.' && host[length + 1] == '\0'));
}

bool names_this_machine(const char *host) {
    char name[256];
    if (same_name(host, "localhost")) return true;
    if (gethostname(name, sizeof name) == 0) {
        name[sizeof name - 1] = '\0';
        if (same_name(host, name)) return true;
        strncat(name, ".local", sizeof name - strlen(name) - 1);
        if (same_name(host, name)) return true;
    }
    return guarded_system != nullptr &&
           papplSystemGetHostName(guarded_system, name, sizeof name) != nullptr &&
           same_name(host, name);
}

// An address of one of this machine's interfaces, or of loopback.
bool is_own_address(const char *host) {
    in_addr v4;
    in6_addr v6;
    const bool is_v4 = inet_pton(AF_INET, host, &v4) == 1;
    const bool is_v6 = !is_v4 && inet_pton(AF_INET6, host, &v6) == 1;
    if (!is_v4 && !is_v6) return false;
    if (is_v4 && (ntohl(v4.s_addr) >> 24) == 127) return true;
    if (is_v6 && IN6_IS_ADDR_LOOPBACK(&v6)) return true;
    ifaddrs *interfaces;
    if (getifaddrs(&interfaces) != 0) return false;
    bool own = false;
    for (const ifaddrs *interface = interfaces; interface != nullptr && !own;
         interface = interface->ifa_next) {
        const sockaddr *address = interface->ifa_addr;
        if (address == nullptr) continue;
        if (is_v4 && address->sa_family == AF_INET)
            own = reinterpret_cast<const sockaddr_in *>(address)->sin_addr.s_addr == v4.s_addr;
        if (is_v6 && address->sa_family == AF_INET6)
            own = memcmp(&reinterpret_cast<const sockaddr_in6 *>(address)->sin6_addr, &v6,
                         sizeof v6) == 0;
    }
    freeifaddrs(interfaces);
    return own;
}

// The most a request's body may say it holds: far beyond any document, far below where
// lengths overflow.
const long long MAX_CONTENT_LENGTH = 1LL << 40;

bool content_length_sane(const char *field) {
    if (field == nullptr || field[0] == '\0') return true;
    char *end;
    errno = 0;
    const long long length = strtoll(field, &end, 10);
    return errno == 0 && end != field && *end == '\0' && field[0] != '-' &&
           length <= MAX_CONTENT_LENGTH;
}

// The request this thread is reading, as a server: its method and the path it asks for.
thread_local http_t *serving;
thread_local http_state_t serving_method;
thread_local char serving_path[256];

// The path of a request's target: "/..." as it stands, or after an absolute URI's host.
void take_path(const char *target) {
    const char *path = target;
    if (const char *scheme_end = strstr(target, "://")) {
        path = strchr(scheme_end + 3, '/');
        if (path == nullptr) path = "/";
    }
    const size_t length = strcspn(path, "?#");
    snprintf(serving_path, sizeof serving_path, "%.*s", int(length), path);
}

// Where the server's TLS certificate and key are kept.
char credentials_directory[PATH_MAX];

// What DNS-SD may say: on loopback alone, services are published on loopback only; without
// TLS, no TXT record claims it.
bool publish_on_loopback_only;
bool tls_served;

// A TXT entry "adminurl=URL" with URL's host named localhost, as a client on this machine
// reaches it; false for any other entry.
bool loopback_url(const char *text, size_t size, char *local, size_t local_size) {
    const char KEY[] = "adminurl=";
    char url[HTTP_MAX_URI], scheme[16], user[64], host[HTTP_MAX_HOST], resource[HTTP_MAX_URI];
    int port;
    if (size <= sizeof KEY - 1 || size >= sizeof url + sizeof KEY ||
        memcmp(text, KEY, sizeof KEY - 1) != 0)
        return false;
    snprintf(url, sizeof url, "%.*s", int(size - (sizeof KEY - 1)), text + sizeof KEY - 1);
    if (httpSeparateURI(HTTP_URI_CODING_ALL, url, scheme, sizeof scheme, user, sizeof user, host,
                        sizeof host, &port, resource, sizeof resource) < HTTP_URI_STATUS_OK)
        return false;
    memcpy(local, KEY, sizeof KEY - 1);
    return httpAssembleURI(HTTP_URI_CODING_ALL, local + sizeof KEY - 1,
                           int(local_size - (sizeof KEY - 1)), scheme, nullptr, "localhost", port,
                           resource) >= HTTP_URI_STATUS_OK;
}

AvahiIfIndex published_interface(AvahiIfIndex asked) {
    if (!publish_on_loopback_only) return asked;
    const unsigned loopback = if_nametoindex("lo");
    return loopback != 0 ? AvahiIfIndex(loopback) : asked;
}

// Reads an IPP message from the connection as libcups does, for ippReadIO, watching how deep
// its collections go.
struct Scanned_Read {
    http_t *http;
    Ipp_Scan scan;
};
thread_local Scanned_Read scanned = {nullptr, {}};

ssize_t read_scanned(void *context, ipp_uchar_t *buffer, size_t length) {
    Scanned_Read &read = *static_cast<Scanned_Read *>(context);
    size_t total = 0;
    while (total < length) {
        if (httpGetState(read.http) == HTTP_STATE_WAITING) break;
        if (httpGetReady(read.http) == 0 && !httpGetBlocking(read.http) &&
            !httpWait(read.http, 10000))
            return total > 0 ? ssize_t(total) : -1;
        const ssize_t got =
            httpRead2(read.http, reinterpret_cast<char *>(buffer) + total, length - total);
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (got <= 0) break;
        total += size_t(got);
    }
    scan_ipp(read.scan, buffer, total);
    if (read.scan.too_deep) return -1;
    return ssize_t(total);
}

} // namespace

void scan_ipp(Ipp_Scan &scan, const uint8_t *bytes, size_t count) {
    const uint32_t HEADER_SIZE = 8; // version, operation or status, request ID
    if (scan.state == HEADER && scan.want == 0) {
        scan.want = 1; // the header is being passed over
        scan.left = HEADER_SIZE;
    }
    while (count > 0 && scan.state != DONE && !scan.too_deep) {
        if (scan.state == HEADER || scan.state == NAME || scan.state == VALUE) { // passed over
            const size_t passed = scan.left < count ? scan.left : count;
            scan.left -= uint32_t(passed);
            bytes += passed;
            count -= passed;
            if (scan.left == 0)
                expect(scan, scan.state == NAME ? VALUE_LENGTH : TAG, scan.state == NAME ? 2 : 1);
            continue;
        }
        scan.bytes[scan.have++] = *bytes++;
        --count;
        if (scan.have == scan.want) take_field(scan);
    }
}

void guard_host_names(pappl_system_t *system) {
    guarded_system = system;
}

void guard_dnssd(bool loopback_only, bool tls) {
    publish_on_loopback_only = loopback_only;
    tls_served = tls;
}

void keep_credentials_in(const char *directory) {
    snprintf(credentials_directory, sizeof credentials_directory, "%s", directory);
}

bool host_is_ours(const char *host_field) {
    char host[256];
    if (host_field == nullptr || host_field[0] == '\0') return true; // HTTP/1.0 names none
    if (host_field[0] == '[') { // [address]:port, perhaps with a zone
        const char *close = strchr(host_field, ']');
        const size_t length = close == nullptr ? 0 : size_t(close - host_field - 1);
        if (length == 0 || length >= sizeof host) return false;
        memcpy(host, host_field + 1, length);
        host[length] = '\0';
        if (char *zone = strchr(host, '%')) *zone = '\0';
        return is_own_address(host);
    }
    const char *colon = strchr(host_field, ':');
    const size_t length = colon != nullptr ? size_t(colon - host_field) : strlen(host_field);
    if (length == 0 || length >= sizeof host) return false;
    memcpy(host, host_field, length);
    host[length] = '\0';
    return is_own_address(host) || names_this_machine(host);
}

extern "C" {

http_state_t httpReadRequest(http_t *http, char *uri, size_t size) {
    static auto *real = library_function<http_state_t(http_t *, char *, size_t)>("httpReadRequest");
    serving = http;
    serving_method = real(http, uri, size);
    take_path(uri);
    return serving_method;
}

http_status_t httpUpdate(http_t *http) {
    static auto *real = library_function<http_status_t(http_t *)>("httpUpdate");
    const http_status_t status = real(http);
    if (status != HTTP_STATUS_OK || http != serving) return status;
    serving = nullptr; // the request's fields are in: checked once
    if (!host_is_ours(httpGetField(http, HTTP_FIELD_HOST)) ||
        !content_length_sane(httpGetField(http, HTTP_FIELD_CONTENT_LENGTH)) ||
        !request_allowed(http, serving_method, serving_path))
        return HTTP_STATUS_BAD_REQUEST;
    return status;
}

int cupsSetServerCredentials(const char *path, const char *common_name, int auto_create) {
    static auto *real =
        library_function<int(const char *, const char *, int)>("cupsSetServerCredentials");
    return real(path != nullptr || credentials_directory[0] == '\0' ? path : credentials_directory,
                common_name, auto_create);
}

ipp_state_t ippRead(http_t *http, ipp_t *ipp) {
    if (http == nullptr) return IPP_STATE_ERROR;
    if (scanned.http != http || ippGetState(ipp) == IPP_STATE_IDLE) scanned = {http, {}};
    return ippReadIO(&scanned, read_scanned, httpGetBlocking(http), nullptr, ipp);
}

AvahiServiceBrowser *avahi_service_browser_new(AvahiClient *client, AvahiIfIndex interface,
                                               AvahiProtocol protocol, const char *type,
                                               const char *domain, AvahiLookupFlags flags,
                                               AvahiServiceBrowserCallback callback, void *data) {
    static auto *real = library_function<AvahiServiceBrowser *(
        AvahiClient *, AvahiIfIndex, AvahiProtocol, const char *, const char *, AvahiLookupFlags,
        AvahiServiceBrowserCallback, void *)>("avahi_service_browser_new");
    if (client == nullptr) return nullptr;
    return real(client, interface, protocol, type, domain, flags, callback, data);
}

AvahiRecordBrowser *avahi_record_browser_new(AvahiClient *client, AvahiIfIndex interface,
                                             AvahiProtocol protocol, const char *name,
                                             uint16_t clazz, uint16_t type, AvahiLookupFlags flags,
                                             AvahiRecordBrowserCallback callback, void *data) {
    static auto *real = library_function<AvahiRecordBrowser *(
        AvahiClient *, AvahiIfIndex, AvahiProtocol, const char *, uint16_t, uint16_t,
        AvahiLookupFlags, AvahiRecordBrowserCallback, void *)>("avahi_record_browser_new");
    if (client == nullptr) return nullptr;
    return real(client, interface, protocol, name, clazz, type, flags, callback, data);
}

int avahi_entry_group_add_service_strlst(AvahiEntryGroup *group, AvahiIfIndex interface,
                                         AvahiProtocol protocol, AvahiPublishFlags flags,
                                         const char *name, const char *type, const char *domain,
                                         const char *host, uint16_t port, AvahiStringList *txt) {
    static auto *real =
        library_function<int(AvahiEntryGroup *, AvahiIfIndex, AvahiProtocol, AvahiPublishFlags,
                             const char *, const char *, const char *, const char *, uint16_t,
                             AvahiStringList *)>("avahi_entry_group_add_service_strlst");
    // Without TLS the record does not claim it (PAPPL always writes "TLS=1.2"); on loopback
    // alone, the web interface is where local clients reach it, as printer-more-info says.
    AvahiStringList *told = nullptr;
    for (AvahiStringList *entry = txt; entry != nullptr; entry = entry->next) {
        const char *text = reinterpret_cast<const char *>(entry->text);
        if (!tls_served && entry->size >= 4 && memcmp(text, "TLS=", 4) == 0) continue;
        char local[512];
        if (publish_on_loopback_only && loopback_url(text, entry->size, local, sizeof local))
            told = avahi_string_list_add(told, local);
        else
            told = avahi_string_list_add_arbitrary(told, entry->text, entry->size);
    }
    told = avahi_string_list_reverse(told);
    // On loopback alone, PAPPL 1.3.1 still named the machine's host; 1.4 lets Avahi name it.
    const int published = real(group, published_interface(interface), protocol, flags, name, type,
                               domain, publish_on_loopback_only ? nullptr : host, port, told);
    avahi_string_list_free(told);
    return published;
}

int avahi_entry_group_add_service_subtype(AvahiEntryGroup *group, AvahiIfIndex interface,
                                          AvahiProtocol protocol, AvahiPublishFlags flags,
                                          const char *name, const char *type, const char *domain,
                                          const char *subtype) {
    static auto *real =
        library_function<int(AvahiEntryGroup *, AvahiIfIndex, AvahiProtocol, AvahiPublishFlags,
                             const char *, const char *, const char *, const char *)>(
            "avahi_entry_group_add_service_subtype");
    return real(group, published_interface(interface), protocol, flags, name, type, domain,
                subtype);
}

cups_raster_t *cupsRasterOpenIO(cups_raster_iocb_t callback, void *context, cups_mode_t mode) {
    static auto *real = library_function<cups_raster_t *(cups_raster_iocb_t, void *, cups_mode_t)>(
        "cupsRasterOpenIO");
    cups_raster_t *raster = real(callback, context, mode);
    // In the server only PAPPL reads raster: a client's, from its connection.
    if (raster != nullptr && mode == CUPS_RASTER_READ)
        watch_stream(static_cast<http_t *>(context), raster);
    return raster;
}

unsigned cupsRasterReadHeader2(cups_raster_t *raster, cups_page_header2_t *header) {
    static auto *real =
        library_function<unsigned(cups_raster_t *, cups_page_header2_t *)>("cupsRasterReadHeader2");
    const unsigned read = real(raster, header);
    if (read != 0) stream_page_header(*header);
    return read;
}

void cupsRasterClose(cups_raster_t *raster) {
    static auto *real = library_function<void(cups_raster_t *)>("cupsRasterClose");
    if (raster != nullptr) unwatch_stream(raster);
    real(raster);
}

} // extern "C"
