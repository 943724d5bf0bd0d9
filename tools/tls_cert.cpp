// tls_cert.cpp -- a self-signed certificate made with OpenSSL, so no tool is shelled out to.
#include "tls_cert.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <stdio.h>

static const long CERT_VALID_SECONDS = 10L * 365 * 24 * 3600;

static EVP_PKEY *key_generate(void) {
    return EVP_EC_gen("P-256");
}

static int cert_extension_add(X509 *cert, int nid, const char *value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, NULL, NULL, 0);
    X509_EXTENSION *ext = X509V3_EXT_conf_nid(NULL, &ctx, nid, value);
    if (!ext)
        return -1;
    int ok = X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
    return ok ? 0 : -1;
}

static X509 *cert_make(EVP_PKEY *key) {
    X509 *cert = X509_new();
    if (!cert)
        return NULL;
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), CERT_VALID_SECONDS);
    X509_set_pubkey(cert, key);
    X509_NAME *name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, (const unsigned char *)"localhost", -1, -1,
                               0);
    X509_set_issuer_name(cert, name);
    if (cert_extension_add(cert, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1") != 0 ||
        !X509_sign(cert, key, EVP_sha256())) {
        X509_free(cert);
        return NULL;
    }
    return cert;
}

static int pem_files_write(const char *cert_path, const char *key_path, X509 *cert, EVP_PKEY *key) {
    FILE *kf = fopen(key_path, "w");
    if (!kf)
        return -1;
    int ok = PEM_write_PrivateKey(kf, key, NULL, NULL, 0, NULL, NULL);
    ok = (fclose(kf) == 0) && ok;
    FILE *cf = fopen(cert_path, "w");
    if (!cf)
        return -1;
    ok = PEM_write_X509(cf, cert) && ok;
    ok = (fclose(cf) == 0) && ok;
    return ok ? 0 : -1;
}

int tls_cert_create(const char *cert_path, const char *key_path) {
    EVP_PKEY *key = key_generate();
    X509 *cert = key ? cert_make(key) : NULL;
    int rc = cert ? pem_files_write(cert_path, key_path, cert, key) : -1;
    if (rc != 0)
        fprintf(stderr, "Could not create a certificate at %s\n", cert_path);
    X509_free(cert);
    EVP_PKEY_free(key);
    return rc;
}
