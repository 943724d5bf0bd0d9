/* client_settings.h -- the map client's settings as the configuration gives them, and the slot
 * through which new ones reach the sender, the one thread that may change them once posting
 * has begun. */
#ifndef CLIENT_SETTINGS_H
#define CLIENT_SETTINGS_H

#include <string>

/* What the map client is set up with. */
typedef struct client_settings {
    std::string map_id;   /* the map that receives the points */
    std::string map_key;  /* its secret */
    std::string endpoint; /* where batches go; "": the built-in one */
    int verify_tls;       /* check the map service's certificate and host name */
    std::string ca_file;  /* PEM file to check against; "": the system's store */
    int keep_alive;       /* keep the connection from one post to the next */
} client_settings;

/* The line for a CA file the client cannot load (rc a HALVEX_MAPAPI_CA_FILE_* code): it names
 * map_api_ca_file, ca_file and why. */
std::string client_settings_ca_line(int rc, const std::string &ca_file);

/* Set the map client up with *s: the TLS checks first, the one step that can fail, then the
 * credentials, the endpoint and keep-alive. Returns 0, or the HALVEX_MAPAPI_CA_FILE_* code of
 * a CA file that cannot be loaded, having changed nothing. Before the threads start, or on the
 * sender thread between posts. */
int client_settings_apply(const client_settings *s);

/* Hand *s to the sender, which applies it before its next post; settings offered earlier and
 * not applied yet are replaced. Any thread; takes settings_lock. */
void client_settings_offer(const client_settings *s);

/* Sender thread, before each post: apply the settings offered since the last post, unless a
 * probe holds the client. A CA file that no longer loads keeps every previous setting, with one
 * line. Takes settings_lock. */
void client_settings_take(void);

/* Around a probe of the map service from another thread, which reads the client's settings:
 * while one is held, offered settings wait; holding waits for settings being applied. */
void client_settings_hold(void);
void client_settings_release(void);

#endif
