// A bcrypt.dll as a web page might save it to Downloads beside the updater: loaded, it leaves a
// marker beside itself, and its functions answer every check of the updater with success, a
// signature included. The tests put it beside the updater and assert that it never runs.

#include "common/Handle.h"

#include <windows.h>

#include <bcrypt.h>

#include <string>

namespace {

constexpr NTSTATUS Success = 0;
// Any non-null value serves as a handle that nobody looks into.
int g_object = 0;

void LeaveMarker(HINSTANCE module) {
    std::wstring path(MAX_PATH, L'\0');
    path.resize(GetModuleFileNameW(module, path.data(), MAX_PATH));
    path.resize(path.find_last_of(L'\\') + 1);
    // Created and closed at once: that it exists is the mark.
    CFileHandle(CreateFileW((path + L"planted-dll-ran.txt").c_str(), GENERIC_WRITE, 0, nullptr,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

} // namespace

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        LeaveMarker(module);
    }
    return TRUE;
}

extern "C" {

__declspec(dllexport) NTSTATUS WINAPI
    BCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE* algorithm, LPCWSTR, LPCWSTR, ULONG) {
    *algorithm = &g_object;
    return Success;
}

__declspec(dllexport) NTSTATUS WINAPI BCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE, ULONG) {
    return Success;
}

__declspec(dllexport) NTSTATUS WINAPI BCryptCreateHash(BCRYPT_ALG_HANDLE, BCRYPT_HASH_HANDLE* hash,
                                                       PUCHAR, ULONG, PUCHAR, ULONG, ULONG) {
    *hash = &g_object;
    return Success;
}

__declspec(dllexport) NTSTATUS WINAPI BCryptHashData(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG) {
    return Success;
}

__declspec(dllexport) NTSTATUS WINAPI BCryptFinishHash(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG) {
    return Success;
}

__declspec(dllexport) NTSTATUS WINAPI BCryptDestroyHash(BCRYPT_HASH_HANDLE) {
    return Success;
}

__declspec(dllexport) NTSTATUS WINAPI
    BCryptImportKeyPair(BCRYPT_ALG_HANDLE, BCRYPT_KEY_HANDLE, LPCWSTR, BCRYPT_KEY_HANDLE* key,
                        PUCHAR, ULONG, ULONG) {
    *key = &g_object;
    return Success;
}

__declspec(dllexport) NTSTATUS WINAPI BCryptDestroyKey(BCRYPT_KEY_HANDLE) {
    return Success;
}

// "Valid", whatever is asked.
__declspec(dllexport) NTSTATUS WINAPI
    BCryptVerifySignature(BCRYPT_KEY_HANDLE, VOID*, PUCHAR, ULONG, PUCHAR, ULONG, ULONG) {
    return Success;
}

} // extern "C"
