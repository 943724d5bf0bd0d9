// halvex_mapapi_tls.cpp -- how the map client checks the map service: the operator's CA file,
// read once at set-up, and the TLS options each post's handle gets.
#include "mapapi/halvex_mapapi_tls.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mapapi/halvex_mapapi.h"
#include "mapapi/halvex_mapapi_setup.h"

// Locks: none. [I] written by halvex_mapapi_set_tls_verify() during set-up (or on the posting
// thread between posts, while no probe runs), otherwise only read.
static int tls_verify;  // [I] 1: check the map service's certificate and host name
static char tls_ca_file[HALVEX_MAPAPI_CA_FILE_MAX + 1];  // [I] "" for the system's store
// [I] The certificates of tls_ca_file, shared by every post; NULL with it "".
static X509_STORE *tls_ca_store;

// The certificates of the PEM text in, added to store one at a time, so that a bundle of
// repeated certificates costs the memory of its distinct ones. Returns how many were read, or
// -1 when an entry does not parse.
static int ca_store_fill(X509_STORE *store, BIO *in) {
    int count = 0;
    X509 *cert;
    ERR_clear_error();
    while ((cert = PEM_read_bio_X509_AUX(in, NULL, NULL, NULL)) != NULL) {
        if (X509_STORE_add_cert(store, cert) == 1)
            count++;
        X509_free(cert);
    }
    unsigned long end = ERR_peek_last_error();  // the read that found no further certificate
    ERR_clear_error();
    bool at_end = ERR_GET_LIB(end) == ERR_LIB_PEM && ERR_GET_REASON(end) == PEM_R_NO_START_LINE;
    return at_end ? count : -1;
}

// The regular file at path opened for reading, or NULL with *rc set. Opened without waiting
// and looked at once open, so that a FIFO, even one put in the file's place meanwhile, cannot
// hold set-up for good; a device such as /dev/zero would never end.
static FILE *ca_file_open(const char *path, int *rc) {
    struct stat st;
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    bool regular = fd >= 0 ? fstat(fd, &st) == 0 && S_ISREG(st.st_mode)
                           : stat(path, &st) == 0 && S_ISREG(st.st_mode);
    FILE *file = fd >= 0 && regular ? fdopen(fd, "r") : NULL;
    if (!file && fd >= 0)
        close(fd);
    if (!file)  // a regular file that cannot be read holds no certificate to use
        *rc = regular ? HALVEX_MAPAPI_CA_FILE_NO_CERTIFICATE : HALVEX_MAPAPI_CA_FILE_NOT_REGULAR;
    return file;
}

// A store of the certificates in the regular file at path, or NULL with *rc set. Trusts a
// certificate of the file even when it is not a root, as libcurl does with a file of its own.
static X509_STORE *ca_store_load(const char *path, int *rc) {
    FILE *file = ca_file_open(path, rc);
    if (!file)
        return NULL;
    BIO *in = BIO_new_fp(file, BIO_CLOSE);
    if (!in)
        fclose(file);
    X509_STORE *store = in ? X509_STORE_new() : NULL;
    if (store && ca_store_fill(store, in) > 0 &&
        X509_STORE_set_flags(store, X509_V_FLAG_PARTIAL_CHAIN) == 1) {
        BIO_free(in);
        return store;
    }
    X509_STORE_free(store);
    BIO_free(in);
    *rc = HALVEX_MAPAPI_CA_FILE_NO_CERTIFICATE;
    return NULL;
}

int halvex_mapapi_set_tls_verify(int verify, const char *ca_file) {
    if (!ca_file)
        ca_file = "";
    if (strlen(ca_file) > HALVEX_MAPAPI_CA_FILE_MAX)
        return HALVEX_MAPAPI_CA_FILE_TOO_LONG;
    X509_STORE *store = NULL;
    int rc = 0;
    if (*ca_file && !(store = ca_store_load(ca_file, &rc)))
        return rc;
    int verify_now = verify || *ca_file;
    // The file's certificates may have changed even where its name did not.
    if (store || tls_ca_store || verify_now != tls_verify)
        mapapi_setup.generation++;
    X509_STORE_free(tls_ca_store);
    tls_ca_store = store;
    memcpy(tls_ca_file, ca_file, strlen(ca_file) + 1);
    tls_verify = verify_now;
    return 0;
}

int halvex_mapapi_check_ca_file(const char *ca_file) {
    if (!ca_file || !*ca_file)
        return 0;
    if (strlen(ca_file) > HALVEX_MAPAPI_CA_FILE_MAX)
        return HALVEX_MAPAPI_CA_FILE_TOO_LONG;
    int rc = 0;
    X509_STORE_free(ca_store_load(ca_file, &rc));
    return rc;
}

// Each post's TLS context checks against the store read at set-up; it holds a reference of
// its own, released with the context.
static CURLcode tls_ctx_prepare(CURL *, void *ssl_ctx, void *) {
    if (X509_STORE_up_ref(tls_ca_store) != 1)
        return CURLE_OUT_OF_MEMORY;
    SSL_CTX_set_cert_store((SSL_CTX *)ssl_ctx, tls_ca_store);
    return CURLE_OK;
}

// Verification against the operator's file uses the certificates read at set-up: libcurl would
// read the whole file again for every post. A libcurl built on another TLS library reads it.
static void tls_ca_set(CURL *curl) {
    if (!tls_ca_store)
        return;
    if (curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, tls_ctx_prepare) != CURLE_OK) {
        curl_easy_setopt(curl, CURLOPT_CAINFO, tls_ca_file);
        return;
    }
    curl_easy_setopt(curl, CURLOPT_CAINFO, NULL);  // nor read its built-in bundle or folder
    curl_easy_setopt(curl, CURLOPT_CAPATH, NULL);
}

void mapapi_tls_options_set(CURL *curl) {
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, tls_verify ? 1L : 0L);
    if (tls_verify) {
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
        tls_ca_set(curl);
    }
}
