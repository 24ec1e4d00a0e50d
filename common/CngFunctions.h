#pragma once

#include "common/Handle.h"

#include <windows.h>

#include <bcrypt.h>

// The functions of Windows' cryptography (CNG) that the updater calls. bcrypt.dll is not one of
// Windows' known DLLs, so importing it would let a DLL of that name beside the updater run in
// it; it is loaded from the system folder instead, and its functions are looked up.
struct TCngFunctions {
    decltype(&BCryptOpenAlgorithmProvider) openAlgorithmProvider = nullptr;
    decltype(&BCryptCloseAlgorithmProvider) closeAlgorithmProvider = nullptr;
    decltype(&BCryptCreateHash) createHash = nullptr;
    decltype(&BCryptHashData) hashData = nullptr;
    decltype(&BCryptFinishHash) finishHash = nullptr;
    decltype(&BCryptDestroyHash) destroyHash = nullptr;
    decltype(&BCryptImportKeyPair) importKeyPair = nullptr;
    decltype(&BCryptDestroyKey) destroyKey = nullptr;
    decltype(&BCryptVerifySignature) verifySignature = nullptr;
};

// A DLL of the system folder with every function above looked up, or the reason why it cannot
// serve. Loading it throws nothing, so that the one of the process is tried exactly once.
class CCngLibrary {
public:
    // The name is a literal: it is kept as it is, for the reason.
    explicit CCngLibrary(const wchar_t* name) noexcept;
    CCngLibrary(const CCngLibrary&) = delete;
    CCngLibrary& operator=(const CCngLibrary&) = delete;
    virtual ~CCngLibrary() = default;

    // Throws COrvException with the reason when the DLL cannot be loaded or lacks a function.
    const TCngFunctions& GetFunctions() const;
    // Without the check, for whoever holds what one of the functions made.
    const TCngFunctions& GetLoadedFunctions() const noexcept { return m_functions; }

private:
    const wchar_t* m_name;
    CModule m_module;
    DWORD m_error = ERROR_SUCCESS;
    const char* m_missing = nullptr;
    TCngFunctions m_functions;
};

// The process's bcrypt.dll, loaded by whichever thread needs it first. Only what uses CNG fails
// where it cannot be had (COrvException with the reason); nothing else depends on it.
const CCngLibrary& GetCngLibrary();
const TCngFunctions& GetCngFunctions();

// A failed CNG call throws COrvException naming the call and its status.
void CheckCngStatus(const wchar_t* call, NTSTATUS status);

CCryptAlgorithm OpenCngAlgorithm(const wchar_t* algorithm);
