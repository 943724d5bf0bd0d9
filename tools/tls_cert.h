/* tls_cert.h -- make a self-signed certificate for loopback HTTPS servers (sink and tests). */
#ifndef TLS_CERT_H
#define TLS_CERT_H

/* Write a new private key (PEM) to key_path and a self-signed certificate (PEM) for
 * "localhost" and 127.0.0.1, valid for ten years, to cert_path. Returns 0, or -1 with one
 * line on standard error. */
int tls_cert_create(const char *cert_path, const char *key_path);

#endif
