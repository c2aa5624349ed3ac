// The stand-in's CryptoAPI: a verify-only AES provider with SHA-256 hashes, the one thing the updater asks of it.
#include "standin.h"

#include <cstring>

namespace {

StandinHandle *Hash(HCRYPTHASH hash)
{
    return HandleFromValue((uintptr_t)hash, HANDLE_HASH);
}

}  // namespace

BOOL CryptAcquireContextA(HCRYPTPROV *provider, LPCSTR container, LPCSTR, DWORD type, DWORD flags)
{
    const StandinCall *failed = StandinEnter(CallCryptAcquireContextA);
    if (failed != NULL)
        return (BOOL)failed->failure;
    if (provider == NULL || container != NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // No key containers here: only the context that hashes.
    if (type != PROV_RSA_AES || flags != CRYPT_VERIFYCONTEXT) {
        SetLastError(type != PROV_RSA_AES ? NTE_BAD_TYPE : NTE_BAD_FLAGS);
        return FALSE;
    }
    StandinHandle *handle = HandleNew(HANDLE_CRYPT);
    if (handle == NULL) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    snprintf(handle->path, sizeof handle->path, "%s", "PROV_RSA_AES");
    *provider = (HCRYPTPROV)HandleValue(handle);
    return TRUE;
}

BOOL CryptCreateHash(HCRYPTPROV provider, ALG_ID algorithm, HCRYPTKEY key, DWORD flags, HCRYPTHASH *hash)
{
    const StandinCall *failed = StandinEnter(CallCryptCreateHash);
    if (failed != NULL)
        return (BOOL)failed->failure;
    if (HandleFromValue((uintptr_t)provider, HANDLE_CRYPT) == NULL || hash == NULL) {
        SetLastError(hash == NULL ? ERROR_INVALID_PARAMETER : NTE_BAD_UID);
        return FALSE;
    }
    if (algorithm != CALG_SHA_256 || key != 0 || flags != 0) {
        SetLastError(algorithm != CALG_SHA_256 ? NTE_BAD_ALGID : NTE_BAD_FLAGS);
        return FALSE;
    }
    StandinHandle *handle = HandleNew(HANDLE_HASH);
    if (handle == NULL) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    Sha256Start(&handle->sha);
    snprintf(handle->path, sizeof handle->path, "%s", "SHA-256");
    *hash = (HCRYPTHASH)HandleValue(handle);
    return TRUE;
}

BOOL CryptHashData(HCRYPTHASH hash, const BYTE *data, DWORD length, DWORD flags)
{
    const StandinCall *failed = StandinEnter(CallCryptHashData);
    if (failed != NULL)
        return (BOOL)failed->failure;
    StandinHandle *handle = Hash(hash);
    if (handle == NULL || flags != 0 || handle->hashFinished) {
        SetLastError(handle == NULL ? NTE_BAD_HASH : handle->hashFinished ? NTE_BAD_HASH : NTE_BAD_FLAGS);
        return FALSE;
    }
    Sha256Add(&handle->sha, data, length);
    return TRUE;
}

BOOL CryptGetHashParam(HCRYPTHASH hash, DWORD parameter, BYTE *data, DWORD *length, DWORD flags)
{
    const StandinCall *failed = StandinEnter(CallCryptGetHashParam);
    if (failed != NULL)
        return (BOOL)failed->failure;
    StandinHandle *handle = Hash(hash);
    if (handle == NULL || parameter != HP_HASHVAL || length == NULL || flags != 0) {
        SetLastError(handle == NULL ? NTE_BAD_HASH : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Too small a buffer (or none) gets the size it needs, and the hash stays open.
    if (data == NULL || *length < Sha256Size) {
        *length = Sha256Size;
        SetLastError(data == NULL ? ERROR_SUCCESS : ERROR_MORE_DATA);
        return data == NULL;
    }
    // The value ends the hash: later data is refused, and asking again gives the same value.
    if (!handle->hashFinished) {
        Sha256Finish(&handle->sha, handle->hashValue);
        handle->hashFinished = 1;
    }
    memcpy(data, handle->hashValue, Sha256Size);
    *length = Sha256Size;
    return TRUE;
}

BOOL CryptDestroyHash(HCRYPTHASH hash)
{
    const StandinCall *failed = StandinEnter(CallCryptDestroyHash);
    StandinHandle *handle = Hash(hash);
    if (handle == NULL) {
        SetLastError(NTE_BAD_HASH);
        return FALSE;
    }
    HandleFree(handle);
    return failed != NULL ? (BOOL)failed->failure : TRUE;
}

BOOL CryptReleaseContext(HCRYPTPROV provider, DWORD flags)
{
    const StandinCall *failed = StandinEnter(CallCryptReleaseContext);
    StandinHandle *handle = HandleFromValue((uintptr_t)provider, HANDLE_CRYPT);
    if (handle == NULL || flags != 0) {
        SetLastError(handle == NULL ? NTE_BAD_UID : NTE_BAD_FLAGS);
        return FALSE;
    }
    HandleFree(handle);
    return failed != NULL ? (BOOL)failed->failure : TRUE;
}
