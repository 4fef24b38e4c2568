#include "platform/Sha256.h"

#include <openssl/evp.h>

struct Sha256::Context {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    ~Context() { EVP_MD_CTX_free(ctx); }
};

Sha256::Sha256(bool sha512) : m_ctx(std::make_unique<Context>()), m_bSha512(sha512)
{
    Restart();
}

Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

void Sha256::Restart()
{
    m_bFailed = !m_ctx->ctx || EVP_DigestInit_ex(m_ctx->ctx, m_bSha512 ? EVP_sha512() : EVP_sha256(), nullptr) != 1;
}

bool Sha256::Update(const void* data, size_t size)
{
    if (!m_bFailed && size > 0 && EVP_DigestUpdate(m_ctx->ctx, data, size) != 1)
        m_bFailed = true;
    return !m_bFailed;
}

std::string Sha256::Final()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    std::string hex;
    if (!m_bFailed && EVP_DigestFinal_ex(m_ctx->ctx, digest, &length) == 1) {
        static const char kDigits[] = "0123456789abcdef";
        for (unsigned int i = 0; i < length; ++i) {
            hex += kDigits[digest[i] >> 4];
            hex += kDigits[digest[i] & 15];
        }
    }
    Restart();
    return hex;
}

std::string Sha256Hex(const void* data, size_t size)
{
    Sha256 hash;
    hash.Update(data, size);
    return hash.Final();
}
