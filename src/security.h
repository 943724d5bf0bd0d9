/* security.h -- opt-in closures an operator may add: a verified map service, a socket for some
 * local users only, and a warning when the configuration file shows the map key to everyone. */
#ifndef SECURITY_H
#define SECURITY_H

#include <sys/types.h>

/* What the configuration asks for. Texts point into strings that live as long as the
 * configuration reader. */
typedef struct security_options {
    int verify_tls;      /* 1: check the map service's certificate and host name */
    const char *ca_file; /* certificates to check against instead of the system's, or NULL */
    mode_t sock_mode;    /* permission bits of the socket file */
    gid_t sock_gid;      /* group of the socket file, or (gid_t)-1 to leave it */
} security_options;

/* Read map_api_verify_tls ("yes" or "no", any case), map_api_ca_file (a readable file; implies
 * verification), unix_sock_mode (octal, at most 0777) and unix_sock_group (a group name or
 * number) from the texts given (NULL or "" is absent) into *out. Returns 0, or -1 after
 * printing one line on standard output that names the key and what is wrong with it. */
int security_options_parse(const char *verify_tls, const char *ca_file, const char *sock_mode,
                           const char *sock_group, security_options *out);

/* Print one warning line when the file at path (which holds map_key) is readable by every
 * local user. Never stops start-up. */
void config_exposure_warn(const char *path);

#endif
