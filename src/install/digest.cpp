// Whether an expanded file holds exactly the payload's bytes: its SHA-256, made by the system's CryptoAPI.
#include "install.h"

#include <cstring>

namespace {

// Read and hashed this many bytes at a time: few calls, and a small part of the main thread's stack.
const DWORD DigestReadSize = 65536;

// Hashes the rest of the file into hash; 1 when all of it was read and hashed, else 0.
int HashRestOfFile(HANDLE file, HCRYPTHASH hash)
{
    unsigned char buffer[DigestReadSize];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, buffer, sizeof buffer, &got, NULL))
            return 0;
        if (got == 0)
            return 1;
        if (!CryptHashData(hash, buffer, got, 0))
            return 0;
    }
}

}  // namespace

int FileHasDigest(HANDLE file, const unsigned char *digest)
{
    HCRYPTPROV provider;
    if (!CryptAcquireContextA(&provider, NULL, NULL, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
        return 0;
    int matches = 0;
    HCRYPTHASH hash;
    if (CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash)) {
        BYTE computed[PayloadDigestSize];
        DWORD length = sizeof computed;
        if (HashRestOfFile(file, hash) && CryptGetHashParam(hash, HP_HASHVAL, computed, &length, 0) &&
            length == sizeof computed)
            matches = memcmp(computed, digest, sizeof computed) == 0;
        CryptDestroyHash(hash);
    }
    CryptReleaseContext(provider, 0);
    return matches;
}
