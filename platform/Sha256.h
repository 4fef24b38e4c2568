// SHA-256 of a stream of blocks, through OpenSSL's EVP interface: the fixity checksum of
// every disk file and tape image the program writes.
#pragma once
#include <cstddef>
#include <memory>
#include <string>

class Sha256 {
public:
    Sha256() : Sha256(false) {}
    ~Sha256();
    Sha256(Sha256&&) noexcept;
    Sha256& operator=(Sha256&&) noexcept;

    // Adds bytes to the digest. False when the library fails (Final() then gives "").
    bool Update(const void* data, size_t size);
    // Ends the digest: 64 lowercase hex digits, or empty after a failure. Starts afresh.
    std::string Final();

protected:
    explicit Sha256(bool sha512);

private:
    struct Context;
    std::unique_ptr<Context> m_ctx;
    bool m_bFailed = false;
    bool m_bSha512 = false;
    void Restart();
};

// SHA-512 the same way (128 hex digits): a bag's second manifest.
class Sha512 : public Sha256 {
public:
    Sha512() : Sha256(true) {}
};

// The digest of one buffer, in hex.
std::string Sha256Hex(const void* data, size_t size);
