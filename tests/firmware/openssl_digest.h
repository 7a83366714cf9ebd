// SHA-256 by OpenSSL, the independent reference for digests.
#pragma once

#include "support.h"

#include <openssl/evp.h>

inline bytes openssl_sha256(const std::uint8_t *data, std::size_t size)
{
    bytes digest(32);
    unsigned int length = 0;
    EVP_Digest(data, size, digest.data(), &length, EVP_sha256(), nullptr);
    return digest;
}
inline bytes openssl_sha256(const bytes &data) { return openssl_sha256(data.data(), data.size()); }
