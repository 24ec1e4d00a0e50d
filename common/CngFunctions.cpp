#include "common/CngFunctions.h"

#include "common/Errors.h"
#include "common/SystemErrors.h"
#include "common/SystemLibrary.h"

#include <cstdio>
#include <iterator>
#include <string>
#include <type_traits>

namespace {

const wchar_t* const Unavailable = L"the system's cryptography cannot be used: ";

// The first function that is missing is the one the reason names.
template <class Pointer>
void LookUp(HMODULE module, const char* name, Pointer& function, const char*& missing) noexcept {
    function = FindFunction<std::remove_pointer_t<Pointer>>(module, name);
    if (function == nullptr && missing == nullptr) {
        missing = name;
    }
}

[[noreturn]] void ThrowCngFailure(const wchar_t* call, NTSTATUS status) {
    wchar_t text[96] = {};
    std::swprintf(text, std::size(text), L"the system's cryptography failed: %ls returned 0x%08lX",
                  call, static_cast<unsigned long>(status));
    throw COrvException(text, 0);
}

} // namespace

CCngLibrary::CCngLibrary(const wchar_t* name) noexcept
    : m_name(name), m_module(LoadSystemLibrary(name, m_error)) {
    if (!m_module.IsValid()) {
        return;
    }
    const HMODULE module = m_module.Get();
    TCngFunctions& found = m_functions;
    LookUp(module, "BCryptOpenAlgorithmProvider", found.openAlgorithmProvider, m_missing);
    LookUp(module, "BCryptCloseAlgorithmProvider", found.closeAlgorithmProvider, m_missing);
    LookUp(module, "BCryptCreateHash", found.createHash, m_missing);
    LookUp(module, "BCryptHashData", found.hashData, m_missing);
    LookUp(module, "BCryptFinishHash", found.finishHash, m_missing);
    LookUp(module, "BCryptDestroyHash", found.destroyHash, m_missing);
    LookUp(module, "BCryptImportKeyPair", found.importKeyPair, m_missing);
    LookUp(module, "BCryptDestroyKey", found.destroyKey, m_missing);
    LookUp(module, "BCryptVerifySignature", found.verifySignature, m_missing);
}

const TCngFunctions& CCngLibrary::GetFunctions() const {
    if (!m_module.IsValid()) {
        std::wstring reason =
            std::wstring(Unavailable) + m_name + L" cannot be loaded from the system folder";
        if (const std::wstring text = DescribeSystemError(m_error); !text.empty()) {
            reason += L": " + text;
        }
        throw COrvException(reason, 0);
    }
    if (m_missing != nullptr) {
        const std::string function(m_missing);
        throw COrvException(std::wstring(Unavailable) + m_name + L" has no " +
                                std::wstring(function.begin(), function.end()),
                            0);
    }
    return m_functions;
}

const CCngLibrary& GetCngLibrary() {
    static const CCngLibrary library(L"bcrypt.dll");
    return library;
}

const TCngFunctions& GetCngFunctions() {
    return GetCngLibrary().GetFunctions();
}

void CheckCngStatus(const wchar_t* call, NTSTATUS status) {
    if (!BCRYPT_SUCCESS(status)) {
        ThrowCngFailure(call, status);
    }
}

CCryptAlgorithm OpenCngAlgorithm(const wchar_t* algorithm) {
    CCryptAlgorithm opened;
    CheckCngStatus(L"BCryptOpenAlgorithmProvider",
                   GetCngFunctions().openAlgorithmProvider(opened.Put(), algorithm, nullptr, 0));
    return opened;
}

// A CNG handle exists only where its function was found.
void CryptAlgorithmTraits::Close(BCRYPT_ALG_HANDLE algorithm) noexcept {
    GetCngLibrary().GetLoadedFunctions().closeAlgorithmProvider(algorithm, 0);
}

void CryptKeyTraits::Close(BCRYPT_KEY_HANDLE key) noexcept {
    GetCngLibrary().GetLoadedFunctions().destroyKey(key);
}

void CryptHashTraits::Close(BCRYPT_HASH_HANDLE hash) noexcept {
    GetCngLibrary().GetLoadedFunctions().destroyHash(hash);
}
