// security.cpp -- the operator's security keys: TLS verification, socket mode and group, and
// a warning for a configuration file that every local user can read.
#include "security.h"

#include <errno.h>
#include <grp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "log.h"

// The socket file's bits without a key: every local user may connect.
static const mode_t SOCK_MODE_DEFAULT = 0777;
// Setuid, setgid and sticky mean nothing on a socket; only permission bits are taken.
static const mode_t SOCK_MODE_MAX = 0777;
// First buffer for a group entry; doubled while getgrnam_r says it is too small.
static const size_t GROUP_BUFFER_FIRST = 1024;
static const size_t GROUP_BUFFER_MAX = 1024 * 1024;

static int present(const char *text) {
    return text && *text;
}

static int verify_tls_parse(const char *text, security_options *out) {
    if (!present(text) || strcasecmp(text, "no") == 0)
        return 0;
    if (strcasecmp(text, "yes") == 0) {
        out->verify_tls = 1;
        return 0;
    }
    log_printf("Invalid value for map_api_verify_tls: %s (yes or no).", text);
    return -1;
}

// The file must be readable now; a file that appears later would not help the first post.
static int ca_file_parse(const char *text, security_options *out) {
    if (!present(text))
        return 0;
    FILE *f = fopen(text, "r");
    if (!f) {
        log_printf("Cannot read map_api_ca_file %s: %s.", text, strerror(errno));
        return -1;
    }
    fclose(f);
    out->ca_file = text;
    out->verify_tls = 1;
    return 0;
}

// Octal digits only ("0660", "660"), no sign, no blanks inside, at most 0777.
static int sock_mode_parse(const char *text, security_options *out) {
    if (!present(text))
        return 0;
    char *end = NULL;
    unsigned long mode = strtoul(text, &end, 8);
    if (text[0] < '0' || text[0] > '7' || *end != '\0' || mode > SOCK_MODE_MAX) {
        log_printf("Invalid value for unix_sock_mode: %s (an octal mode such as 0660).", text);
        return -1;
    }
    out->sock_mode = (mode_t)mode;
    return 0;
}

// The group's id by name; a text of digits that names no group is taken as a group id.
static int group_lookup(const char *name, gid_t *gid) {
    std::vector<char> buf(GROUP_BUFFER_FIRST);
    struct group entry, *found = NULL;
    int rc;
    while ((rc = getgrnam_r(name, &entry, buf.data(), buf.size(), &found)) == ERANGE &&
           buf.size() < GROUP_BUFFER_MAX)
        buf.resize(buf.size() * 2);
    if (rc == 0 && found) {
        *gid = found->gr_gid;
        return 0;
    }
    char *end = NULL;
    unsigned long id = strtoul(name, &end, 10);
    if (name[0] >= '0' && name[0] <= '9' && *end == '\0' && id < (unsigned long)(gid_t)-1) {
        *gid = (gid_t)id;
        return 0;
    }
    return -1;
}

static int sock_group_parse(const char *text, security_options *out) {
    if (!present(text))
        return 0;
    if (group_lookup(text, &out->sock_gid) == 0)
        return 0;
    log_printf("Unknown group for unix_sock_group: %s.", text);
    return -1;
}

int security_options_parse(const char *verify_tls, const char *ca_file, const char *sock_mode,
                           const char *sock_group, security_options *out) {
    out->verify_tls = 0;
    out->ca_file = NULL;
    out->sock_mode = SOCK_MODE_DEFAULT;
    out->sock_gid = (gid_t)-1;
    if (verify_tls_parse(verify_tls, out) != 0 || ca_file_parse(ca_file, out) != 0)
        return -1;
    if (sock_mode_parse(sock_mode, out) != 0 || sock_group_parse(sock_group, out) != 0)
        return -1;
    return 0;
}

void config_exposure_warn(const char *path) {
    struct stat st;
    if (stat(path, &st) != 0 || !(st.st_mode & S_IROTH))
        return;
    log_printf("Warning: %s holds map_key and every local user can read it; "
           "make it readable by the service only (chmod 600).",
           path);
}
