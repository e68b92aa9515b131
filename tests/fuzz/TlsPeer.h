#pragma once
// A TLS endpoint made with OpenSSL over memory buffers, for the TLS fuzz target and its seeds: the bytes
// it would send are taken out, the bytes it receives are put in, so the caller decides how and when they
// travel (whole, in pieces, mixed with other bytes).

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quill::fuzz {

using SslContextPtr = std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)>;

// A client that accepts any server, or a server presenting the identity in pem (key and certificate);
// maxVersion is an OpenSSL version number (TLS1_2_VERSION, TLS1_3_VERSION). Null on failure.
inline SslContextPtr makeTlsContext(bool server, const std::string& pem, int maxVersion) {
    SslContextPtr ctx(SSL_CTX_new(server ? TLS_server_method() : TLS_client_method()), SSL_CTX_free);
    if (!ctx || SSL_CTX_set_max_proto_version(ctx.get(), maxVersion) != 1) return {nullptr, SSL_CTX_free};
    if (server) {
        BIO* in = BIO_new_mem_buf(pem.data(), int(pem.size()));
        EVP_PKEY* key = PEM_read_bio_PrivateKey(in, nullptr, nullptr, nullptr);
        BIO_free(in);
        in = BIO_new_mem_buf(pem.data(), int(pem.size()));
        X509* cert = PEM_read_bio_X509(in, nullptr, nullptr, nullptr);
        BIO_free(in);
        const bool ok = key && cert && SSL_CTX_use_certificate(ctx.get(), cert) == 1 &&
                        SSL_CTX_use_PrivateKey(ctx.get(), key) == 1;
        EVP_PKEY_free(key);
        X509_free(cert);
        if (!ok) return {nullptr, SSL_CTX_free};
    } else {
        SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
    }
    ERR_clear_error();
    return ctx;
}

class MemoryTls {
  public:
    MemoryTls(SSL_CTX* ctx, bool server) : ssl_(SSL_new(ctx)) {
        in_ = BIO_new(BIO_s_mem());
        out_ = BIO_new(BIO_s_mem());
        SSL_set_bio(ssl_, in_, out_);  // the SSL object owns both
        if (server) {
            SSL_set_accept_state(ssl_);
        } else {
            SSL_set_connect_state(ssl_);
        }
    }
    ~MemoryTls() { SSL_free(ssl_); }
    MemoryTls(const MemoryTls&) = delete;
    MemoryTls& operator=(const MemoryTls&) = delete;

    SSL* ssl() const { return ssl_; }

    // Goes on with the handshake: 1 when done, 0 when it waits for input, -1 when it failed.
    int handshake() {
        const int r = SSL_do_handshake(ssl_);
        if (r == 1) return 1;
        const int error = SSL_get_error(ssl_, r);
        ERR_clear_error();
        return error == SSL_ERROR_WANT_READ ? 0 : -1;
    }
    // Encrypts data into records (taken out with takeOutput); false when it could not.
    bool write(const uint8_t* data, size_t length) {
        size_t done = 0;
        const bool ok = length == 0 || SSL_write_ex(ssl_, data, length, &done) == 1;
        ERR_clear_error();
        return ok;
    }
    void giveInput(const uint8_t* data, size_t length) {
        if (length > 0) BIO_write(in_, data, int(length));
    }
    // What it has sent since the last call.
    std::vector<uint8_t> takeOutput() {
        std::vector<uint8_t> out(size_t(BIO_ctrl_pending(out_)));
        if (!out.empty()) BIO_read(out_, out.data(), int(out.size()));
        return out;
    }

  private:
    SSL* ssl_;
    BIO* in_;
    BIO* out_;
};

}  // namespace quill::fuzz
