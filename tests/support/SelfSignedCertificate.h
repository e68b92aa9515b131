#pragma once
// Self-signed certificates made for a test with OpenSSL's API: an EC P-256 key and a certificate for
// "localhost" (also valid for 127.0.0.1 and ::1), as PEM text.

#include <cstddef>
#include <string>

namespace quill::testing {

struct SelfSignedCertificate {
    std::string keyPem;
    std::string certificatePem;
    // Both, as one identity's PEM text.
    std::string pem() const { return keyPem + certificatePem; }
};

// paddingBytes adds a comment of that size to the certificate, to make the handshake long.
SelfSignedCertificate makeSelfSignedCertificate(const std::string& commonName = "localhost",
                                                size_t paddingBytes = 0);

}  // namespace quill::testing
