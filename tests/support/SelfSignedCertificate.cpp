#include "support/SelfSignedCertificate.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <stdexcept>

namespace quill::testing {

namespace {

std::string pemOf(BIO* bio) {
    char* data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    return std::string(data, size_t(n));
}

void addExtension(X509* cert, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    if (!ext || !X509_add_ext(cert, ext, -1)) throw std::runtime_error("certificate extension refused");
    X509_EXTENSION_free(ext);
}

}  // namespace

SelfSignedCertificate makeSelfSignedCertificate(const std::string& commonName, size_t paddingBytes) {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    if (!key || !cert) throw std::runtime_error("OpenSSL could not make a key");
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -60);
    X509_gmtime_adj(X509_getm_notAfter(cert), 24 * 3600);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    addExtension(cert, NID_basic_constraints, "critical,CA:TRUE");
    addExtension(cert, NID_subject_alt_name, "DNS:" + commonName + ",IP:127.0.0.1,IP:::1");
    if (paddingBytes > 0) addExtension(cert, NID_netscape_comment, std::string(paddingBytes, 'q'));
    if (X509_sign(cert, key, EVP_sha256()) == 0) throw std::runtime_error("OpenSSL could not sign");

    SelfSignedCertificate out;
    BIO* keyBio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(keyBio, key, nullptr, nullptr, 0, nullptr, nullptr);
    out.keyPem = pemOf(keyBio);
    BIO_free(keyBio);
    BIO* certBio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(certBio, cert);
    out.certificatePem = pemOf(certBio);
    BIO_free(certBio);
    X509_free(cert);
    EVP_PKEY_free(key);
    return out;
}

}  // namespace quill::testing
