// The TLS context over OpenSSL 3: one SSL object per context reading and writing through a BIO whose
// read and write call the caller's transport callbacks; OpenSSL's results mapped onto the status
// numbers of SecureTransport.h.

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <map>
#include <mutex>

#include "platform/securetransport/SecureTransport.h"

namespace quill::platform::securetransport {

namespace {

// Unless told otherwise, OpenSSL frees its global state from an exit handler. The dispatch pool's threads
// are not joined at exit and may still be inside a TLS call then, on state freed under them. Asked for
// before main, so that it comes before OpenSSL's first initialisation.
[[maybe_unused]] const bool openSSLKeptUntilExit = OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;

Bytes derOf(X509* x) {
    unsigned char* out = nullptr;
    int n = i2d_X509(x, &out);
    if (n <= 0) return {};
    Bytes der(out, out + n);
    OPENSSL_free(out);
    return der;
}

X509* x509From(const Bytes& der) {
    const unsigned char* p = der.data();
    return d2i_X509(nullptr, &p, long(der.size()));
}

bool isIPAddress(const std::string& text) {
    unsigned char buf[sizeof(in6_addr)];
    return inet_pton(AF_INET, text.c_str(), buf) == 1 || inet_pton(AF_INET6, text.c_str(), buf) == 1;
}

int engineVersion(long version) {
    switch (version) {
        case kSSLProtocol3:
            return SSL3_VERSION;
        case kTLSProtocol1:
            return TLS1_VERSION;
        case kTLSProtocol11:
            return TLS1_1_VERSION;
        case kTLSProtocol12:
            return TLS1_2_VERSION;
        case kTLSProtocol13:
            return TLS1_3_VERSION;
        default:
            return -1;
    }
}

int stateIndex() {
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

// Client sessions by peer ID, for resuming with the same server later. Bounded: the oldest key goes.
class SessionCache {
  public:
    // Never destroyed: a connection on a pool thread may still use it while the process exits, and the
    // sessions it holds stay reachable instead of being lost with the map at exit.
    static SessionCache& instance() {
        static SessionCache* const cache = new SessionCache;
        return *cache;
    }
    // A new reference to the session kept under key, or null.
    SSL_SESSION* take(const Bytes& key) {
        std::lock_guard lock(mutex_);
        auto it = sessions_.find(key);
        if (it == sessions_.end()) return nullptr;
        SSL_SESSION_up_ref(it->second);
        return it->second;
    }
    // Keeps the caller's reference.
    void put(const Bytes& key, SSL_SESSION* session) {
        std::lock_guard lock(mutex_);
        auto it = sessions_.find(key);
        if (it != sessions_.end()) {
            SSL_SESSION_free(it->second);
            it->second = session;
            return;
        }
        if (sessions_.size() >= kMaxSessions) {
            SSL_SESSION_free(sessions_.at(order_.front()));
            sessions_.erase(order_.front());
            order_.erase(order_.begin());
        }
        sessions_.emplace(key, session);
        order_.push_back(key);
    }

  private:
    static constexpr size_t kMaxSessions = 64;
    std::mutex mutex_;
    std::map<Bytes, SSL_SESSION*> sessions_;
    std::vector<Bytes> order_;
};

}  // namespace

// ---- certificates, identities, trust ----

std::string Certificate::commonName() const {
    X509* x = x509From(der_);
    if (!x) return {};
    char name[256] = {};
    int n = X509_NAME_get_text_by_NID(X509_get_subject_name(x), NID_commonName, name, sizeof name);
    X509_free(x);
    return n > 0 ? std::string(name, size_t(n)) : std::string();
}

struct Identity::State {
    EVP_PKEY* key = nullptr;
    std::vector<X509*> chain;
    std::vector<Certificate> certificates;
    ~State() {
        EVP_PKEY_free(key);
        for (X509* x : chain)
            X509_free(x);
    }
};

namespace {

// Answers OpenSSL's request for a pass-phrase with none, noting that it was asked: without a callback
// of our own OpenSSL prompts on the controlling terminal and waits for someone to type.
int refusePassphrase(char*, int, int, void* asked) {
    *static_cast<bool*>(asked) = true;
    return -1;
}

}  // namespace

std::optional<Identity> Identity::fromPEM(std::string_view pem, std::string* why) {
    auto state = std::make_shared<State>();
    bool encrypted = false;
    BIO* in = BIO_new_mem_buf(pem.data(), int(pem.size()));
    state->key = PEM_read_bio_PrivateKey(in, nullptr, refusePassphrase, &encrypted);
    BIO_free(in);
    in = BIO_new_mem_buf(pem.data(), int(pem.size()));
    while (X509* x = PEM_read_bio_X509(in, nullptr, nullptr, nullptr)) {
        state->chain.push_back(x);
        state->certificates.emplace_back(derOf(x));
    }
    BIO_free(in);
    const char* failure = nullptr;
    if (!state->key) {
        failure = encrypted ? "the private key is encrypted (no pass-phrase is asked for)" : "no private key";
    } else if (state->chain.empty()) {
        failure = "no certificate";
    } else if (X509_check_private_key(state->chain[0], state->key) != 1) {
        failure = "the private key does not match the certificate";
    }
    ERR_clear_error();
    if (failure) {
        if (why) *why = failure;
        return std::nullopt;
    }
    return Identity(std::move(state));
}

const std::vector<Certificate>& Identity::certificates() const {
    return state_->certificates;
}

namespace {

// The system's trust store, read once: reading it parses every certificate of the bundle, far too much for
// every connection and every evaluation. Verification only reads it, so connections share it.
X509_STORE* systemTrustStore() {
    static X509_STORE* const store = [] {
        X509_STORE* s = X509_STORE_new();
        if (s) X509_STORE_set_default_paths(s);
        ERR_clear_error();
        return s;
    }();
    return store;
}

}  // namespace

bool Trust::evaluate(const std::optional<std::string>& hostName, std::string* why) const {
    if (chain_.empty()) {
        if (why) *why = "no certificate";
        return false;
    }
    X509_STORE* store = systemTrustStore();
    X509* leaf = x509From(chain_[0].der());
    STACK_OF(X509)* untrusted = sk_X509_new_null();
    for (size_t i = 1; i < chain_.size(); ++i)
        if (X509* x = x509From(chain_[i].der())) sk_X509_push(untrusted, x);
    X509_STORE_CTX* ctx = X509_STORE_CTX_new();
    bool ok = false;
    if (leaf && ctx && X509_STORE_CTX_init(ctx, store, leaf, untrusted) == 1) {
        X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(ctx);
        X509_VERIFY_PARAM_set_purpose(param, X509_PURPOSE_SSL_SERVER);
        if (hostName && isIPAddress(*hostName)) {
            X509_VERIFY_PARAM_set1_ip_asc(param, hostName->c_str());
        } else if (hostName) {
            X509_VERIFY_PARAM_set1_host(param, hostName->c_str(), 0);
        }
        ok = X509_verify_cert(ctx) == 1;
        if (!ok && why) *why = X509_verify_cert_error_string(X509_STORE_CTX_get_error(ctx));
    } else if (why) {
        *why = "unreadable certificate";
    }
    X509_STORE_CTX_free(ctx);
    sk_X509_pop_free(untrusted, X509_free);
    X509_free(leaf);
    ERR_clear_error();
    return ok;
}

// ---- the context ----

struct SSLContext::State {
    SSLProtocolSide side = kSSLClientSide;
    SSL_CTX* ctx = nullptr;
    SSL* ssl = nullptr;
    SSLReadFunc readFn;
    SSLWriteFunc writeFn;
    // What the transport answered when it last failed inside the current call (closed).
    OSStatus transportStatus = noErr;
    bool breakOnServerAuth = false;
    // The handshake has stopped once for the caller's judgement; verification passes afterwards.
    bool serverAuthBroken = false;
    std::vector<Certificate> peerChain;
    Bytes peerID;
    // A write the transport refused, kept for write(nullptr, 0).
    Bytes pendingWrite;
    bool closed = false;
    // A server has settled which earlier sessions it may resume (keyServerSessions).
    bool sessionsKeyed = false;

    ~State() {
        SSL_free(ssl);  // also frees the BIO
        SSL_CTX_free(ctx);
    }

    // A server resumes only sessions it made with the same peer ID and certificate: OpenSSL resumes a
    // session only into the session ID context it was made in, here a digest of both. A server
    // without a peer ID hands out no session to resume.
    void keyServerSessions() {
        sessionsKeyed = true;
        if (!peerID.empty()) {
            Bytes key(sizeof(uint64_t));
            const uint64_t idLength = peerID.size();
            std::memcpy(key.data(), &idLength, sizeof idLength);
            key.insert(key.end(), peerID.begin(), peerID.end());
            if (X509* own = SSL_get_certificate(ssl)) {
                const Bytes der = derOf(own);
                key.insert(key.end(), der.begin(), der.end());
            }
            unsigned char digest[EVP_MAX_MD_SIZE];
            unsigned int length = 0;
            if (EVP_Digest(key.data(), key.size(), digest, &length, EVP_sha256(), nullptr) == 1 &&
                SSL_set_session_id_context(ssl, digest, length) == 1)
                return;
        }
        SSL_set_options(ssl, SSL_OP_NO_TICKET);
        SSL_set_num_tickets(ssl, 0);
        ERR_clear_error();
    }

    void beginCall() {
        ERR_clear_error();
        transportStatus = noErr;
    }

    OSStatus failureStatus() const {
        const int reason = ERR_GET_REASON(ERR_peek_last_error());
        if (transportStatus == errSSLClosedAbort || reason == SSL_R_UNEXPECTED_EOF_WHILE_READING)
            return errSSLClosedAbort;
        if (reason == SSL_R_CERTIFICATE_VERIFY_FAILED) {
            const long result = SSL_get_verify_result(ssl);
            if (result == X509_V_ERR_HOSTNAME_MISMATCH || result == X509_V_ERR_IP_ADDRESS_MISMATCH)
                return errSSLHostNameMismatch;
            if (result == X509_V_ERR_CERT_HAS_EXPIRED) return errSSLCertExpired;
            return errSSLXCertChainInvalid;
        }
        switch (reason) {
            case SSL_R_SSLV3_ALERT_BAD_CERTIFICATE:
            case SSL_R_SSLV3_ALERT_CERTIFICATE_UNKNOWN:
            case SSL_R_SSLV3_ALERT_UNSUPPORTED_CERTIFICATE:
            case SSL_R_SSLV3_ALERT_CERTIFICATE_EXPIRED:
            case SSL_R_SSLV3_ALERT_CERTIFICATE_REVOKED:
            case SSL_R_TLSV1_ALERT_UNKNOWN_CA:
                return errSSLPeerBadCert;
            case SSL_R_NO_SHARED_CIPHER:
            case SSL_R_NO_CIPHERS_AVAILABLE:
            case SSL_R_NO_PROTOCOLS_AVAILABLE:
            case SSL_R_UNSUPPORTED_PROTOCOL:
            case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
            case SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE:
                return errSSLNegotiation;
            default:
                return errSSLProtocol;
        }
    }

    // The status of a failed SSL_* call.
    OSStatus mapResult(int ret) {
        OSStatus status;
        switch (SSL_get_error(ssl, ret)) {
            case SSL_ERROR_WANT_READ:
            case SSL_ERROR_WANT_WRITE:
                status = errSSLWouldBlock;
                break;
            case SSL_ERROR_WANT_RETRY_VERIFY:
                status = errSSLPeerAuthCompleted;
                break;
            case SSL_ERROR_ZERO_RETURN:
                status = errSSLClosedGraceful;
                break;
            case SSL_ERROR_SYSCALL:
                status = transportStatus != noErr ? transportStatus : errSSLClosedAbort;
                break;
            case SSL_ERROR_SSL:
                status = failureStatus();
                break;
            default:
                status = errSSLInternal;
        }
        ERR_clear_error();
        return status;
    }
};

namespace {

using State = SSLContext::State;

// The transport BIO: its data is the context's state.
int transportRead(BIO* bio, char* out, int length) {
    auto* state = static_cast<State*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    if (length <= 0) return 0;
    size_t n = size_t(length);
    const OSStatus status = state->readFn(out, &n);
    if (n > 0) return int(n);
    if (status == noErr || status == errSSLWouldBlock) {
        BIO_set_retry_read(bio);
        return -1;
    }
    state->transportStatus = status;
    return 0;
}

int transportWrite(BIO* bio, const char* in, int length) {
    auto* state = static_cast<State*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    if (length <= 0) return 0;
    size_t n = size_t(length);
    const OSStatus status = state->writeFn(in, &n);
    if (n > 0) return int(n);
    if (status == noErr || status == errSSLWouldBlock) {
        BIO_set_retry_write(bio);
        return -1;
    }
    state->transportStatus = status;
    return -1;
}

long transportControl(BIO*, int command, long, void*) {
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int transportCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

BIO_METHOD* transportMethod() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "quill transport");
        BIO_meth_set_read(m, transportRead);
        BIO_meth_set_write(m, transportWrite);
        BIO_meth_set_ctrl(m, transportControl);
        BIO_meth_set_create(m, transportCreate);
        return m;
    }();
    return method;
}

// Replaces the default verification of a client: keeps the chain for copyPeerTrust and, when the
// caller judges the server, stops the handshake once for it.
int verifyServer(X509_STORE_CTX* store, void* arg) {
    auto* state = static_cast<State*>(arg);
    state->peerChain.clear();
    X509* leaf = X509_STORE_CTX_get0_cert(store);
    if (leaf) state->peerChain.emplace_back(derOf(leaf));
    if (STACK_OF(X509)* sent = X509_STORE_CTX_get0_untrusted(store)) {
        for (int i = 0; i < sk_X509_num(sent); ++i) {
            X509* x = sk_X509_value(sent, i);
            if (x != leaf) state->peerChain.emplace_back(derOf(x));
        }
    }
    if (!state->breakOnServerAuth) return X509_verify_cert(store);
    if (state->serverAuthBroken) return 1;
    state->serverAuthBroken = true;
    return SSL_set_retry_verify(state->ssl) ? 1 : 0;
}

// The SSL_CTX of every server context, made once: a server's session tickets are sealed with keys of its
// SSL_CTX, so only a shared one can open them on a later connection. The sessions live in the tickets the
// clients keep; the server keeps none itself.
SSL_CTX* serverContext() {
    static SSL_CTX* const ctx = [] {
        SSL_CTX* c = SSL_CTX_new(TLS_server_method());
        if (c) SSL_CTX_set_session_cache_mode(c, SSL_SESS_CACHE_OFF);
        ERR_clear_error();
        return c;
    }();
    return ctx;
}

int newClientSession(SSL* ssl, SSL_SESSION* session) {
    auto* state = static_cast<State*>(SSL_get_ex_data(ssl, stateIndex()));
    if (!state || state->peerID.empty()) return 0;
    SessionCache::instance().put(state->peerID, session);
    return 1;
}

}  // namespace

SSLContext::SSLContext(std::unique_ptr<State> state) : state_(std::move(state)) {}
SSLContext::~SSLContext() = default;

std::unique_ptr<SSLContext> SSLContext::create(SSLProtocolSide side) {
    auto state = std::make_unique<State>();
    state->side = side;
    if (side == kSSLServerSide) {
        state->ctx = serverContext();
        if (state->ctx) SSL_CTX_up_ref(state->ctx);
    } else {
        state->ctx = SSL_CTX_new(TLS_client_method());
    }
    if (!state->ctx) {
        ERR_clear_error();
        return nullptr;
    }
    if (side == kSSLClientSide) {
        if (X509_STORE* store = systemTrustStore()) SSL_CTX_set1_cert_store(state->ctx, store);
        SSL_CTX_set_cert_verify_callback(state->ctx, verifyServer, state.get());
        SSL_CTX_set_session_cache_mode(state->ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
        SSL_CTX_sess_set_new_cb(state->ctx, newClientSession);
    }
    state->ssl = SSL_new(state->ctx);
    if (!state->ssl) {
        ERR_clear_error();
        return nullptr;
    }
    SSL_set_ex_data(state->ssl, stateIndex(), state.get());
    // A refused write is sent again from the context's own copy.
    SSL_set_mode(state->ssl, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (side == kSSLClientSide) {
        SSL_set_verify(state->ssl, SSL_VERIFY_PEER, nullptr);
        SSL_set_connect_state(state->ssl);
    } else {
        SSL_set_accept_state(state->ssl);
    }
    return std::unique_ptr<SSLContext>(new SSLContext(std::move(state)));
}

SSLProtocolSide SSLContext::side() const {
    return state_->side;
}

OSStatus SSLContext::setIOFuncs(SSLReadFunc read, SSLWriteFunc write) {
    if (!read || !write || SSL_get_rbio(state_->ssl)) return errSecParam;
    BIO* bio = BIO_new(transportMethod());
    if (!bio) {
        ERR_clear_error();
        return errSSLInternal;
    }
    BIO_set_data(bio, state_.get());
    state_->readFn = std::move(read);
    state_->writeFn = std::move(write);
    SSL_set_bio(state_->ssl, bio, bio);
    return noErr;
}

OSStatus SSLContext::setBreakOnServerAuth(bool on) {
    if (state_->side != kSSLClientSide) return errSecParam;
    state_->breakOnServerAuth = on;
    return noErr;
}

OSStatus SSLContext::setPeerDomainName(const std::string& name) {
    SSL* ssl = state_->ssl;
    bool ok;
    if (isIPAddress(name)) {
        ok = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), name.c_str()) == 1;
    } else {
        ok = !name.empty() && SSL_set_tlsext_host_name(ssl, name.c_str()) == 1 &&
             SSL_set1_host(ssl, name.c_str()) == 1;
    }
    ERR_clear_error();
    return ok ? noErr : errSecParam;
}

OSStatus SSLContext::setCertificate(const Identity& identity) {
    SSL* ssl = state_->ssl;
    const auto& id = *identity.state();
    bool ok = SSL_use_certificate(ssl, id.chain[0]) == 1 && SSL_use_PrivateKey(ssl, id.key) == 1;
    for (size_t i = 1; ok && i < id.chain.size(); ++i)
        ok = SSL_add1_chain_cert(ssl, id.chain[i]) == 1;
    ERR_clear_error();
    return ok ? noErr : errSecParam;
}

OSStatus SSLContext::setPeerID(const Bytes& peerID) {
    if (peerID.empty()) return errSecParam;
    state_->peerID = peerID;
    if (state_->side == kSSLClientSide) {
        if (SSL_SESSION* session = SessionCache::instance().take(peerID)) {
            SSL_set_session(state_->ssl, session);
            SSL_SESSION_free(session);
        }
    }
    ERR_clear_error();
    return noErr;
}

OSStatus SSLContext::setProtocolVersionMin(long version) {
    const int v = engineVersion(version);
    const bool ok = v > 0 && SSL_set_min_proto_version(state_->ssl, v) == 1;
    ERR_clear_error();
    return ok ? noErr : errSecParam;
}

OSStatus SSLContext::setProtocolVersionMax(long version) {
    const int v = engineVersion(version);
    const bool ok = v > 0 && SSL_set_max_proto_version(state_->ssl, v) == 1;
    ERR_clear_error();
    return ok ? noErr : errSecParam;
}

OSStatus SSLContext::setEnabledCiphers(const std::vector<uint16_t>& suites) {
    SSL* ssl = state_->ssl;
    std::string tls13, older;
    for (uint16_t id : suites) {
        const unsigned char bytes[2] = {uint8_t(id >> 8), uint8_t(id)};
        const SSL_CIPHER* cipher = SSL_CIPHER_find(ssl, bytes);
        if (!cipher) continue;
        std::string& list = std::strcmp(SSL_CIPHER_get_version(cipher), "TLSv1.3") == 0 ? tls13 : older;
        if (!list.empty()) list += ':';
        list += SSL_CIPHER_get_name(cipher);
    }
    bool ok = !tls13.empty() || !older.empty();
    // TLS 1.3 suites and the older ones are configured apart; a side without suites is turned off.
    if (ok) ok = SSL_set_ciphersuites(ssl, tls13.c_str()) == 1;
    if (ok && older.empty()) ok = SSL_set_min_proto_version(ssl, TLS1_3_VERSION) == 1;
    if (ok && !older.empty()) ok = SSL_set_cipher_list(ssl, older.c_str()) == 1;
    if (ok && tls13.empty()) ok = SSL_set_max_proto_version(ssl, TLS1_2_VERSION) == 1;
    ERR_clear_error();
    return ok ? noErr : errSecParam;
}

OSStatus SSLContext::setDiffieHellmanParams(const Bytes& params) {
    BIO* in = BIO_new_mem_buf(params.data(), int(params.size()));
    EVP_PKEY* dh = PEM_read_bio_Parameters(in, nullptr);
    BIO_free(in);
    if (!dh) {
        const unsigned char* p = params.data();
        dh = d2i_KeyParams(EVP_PKEY_DH, nullptr, &p, long(params.size()));
    }
    const bool ok = dh && SSL_set0_tmp_dh_pkey(state_->ssl, dh) == 1;
    if (!ok) EVP_PKEY_free(dh);
    ERR_clear_error();
    return ok ? noErr : errSecParam;
}

OSStatus SSLContext::handshake() {
    state_->beginCall();
    if (state_->side == kSSLServerSide && !state_->sessionsKeyed) state_->keyServerSessions();
    const int r = SSL_do_handshake(state_->ssl);
    if (r == 1) return noErr;
    return state_->mapResult(r);
}

OSStatus SSLContext::read(void* data, size_t length, size_t* processed) {
    *processed = 0;
    state_->beginCall();
    if (SSL_read_ex(state_->ssl, data, length, processed) == 1) return noErr;
    *processed = 0;
    return state_->mapResult(0);
}

OSStatus SSLContext::write(const void* data, size_t length, size_t* processed) {
    *processed = 0;
    state_->beginCall();
    Bytes& pending = state_->pendingWrite;
    size_t n = 0;
    if (!pending.empty()) {
        if (SSL_write_ex(state_->ssl, pending.data(), pending.size(), &n) != 1) return state_->mapResult(0);
        *processed = pending.size();
        pending.clear();
    }
    if (length == 0) return noErr;
    if (SSL_write_ex(state_->ssl, data, length, &n) == 1) {
        *processed += n;
        return noErr;
    }
    const OSStatus status = state_->mapResult(0);
    if (status == errSSLWouldBlock) {
        const auto* p = static_cast<const uint8_t*>(data);
        pending.assign(p, p + length);
    }
    return status;
}

OSStatus SSLContext::close() {
    if (state_->closed) return noErr;
    state_->closed = true;
    state_->beginCall();
    SSL_shutdown(state_->ssl);
    ERR_clear_error();
    return noErr;
}

bool SSLContext::sessionWasResumed() const {
    return SSL_session_reused(state_->ssl) == 1;
}

size_t SSLContext::bufferedReadSize() const {
    return size_t(SSL_pending(state_->ssl));
}

std::shared_ptr<const Trust> SSLContext::copyPeerTrust() const {
    std::vector<Certificate> chain = state_->peerChain;
    if (chain.empty()) {
        if (STACK_OF(X509)* sent = SSL_get_peer_cert_chain(state_->ssl)) {
            for (int i = 0; i < sk_X509_num(sent); ++i)
                chain.emplace_back(derOf(sk_X509_value(sent, i)));
        }
    }
    if (chain.empty()) return nullptr;
    return std::make_shared<const Trust>(std::move(chain));
}

std::string SSLContext::protocolVersion() const {
    return SSL_is_init_finished(state_->ssl) ? SSL_get_version(state_->ssl) : "";
}

std::string SSLContext::cipher() const {
    const SSL_CIPHER* c = SSL_get_current_cipher(state_->ssl);
    return c && SSL_is_init_finished(state_->ssl) ? SSL_CIPHER_get_name(c) : "";
}

}  // namespace quill::platform::securetransport
