#include "zip/ArchiveObject.h"

#include "common/ComPointer.h"
#include "zip/ComFaults.h"
#include "zip/FileByteSource.h"

#include <algorithm>

CArchiveObject::CArchiveObject(std::shared_ptr<const CByteSource> heldFile)
    : CFolderStorage(nullptr, CZipArchive::RootFolder), m_heldFile(std::move(heldFile)) {}

HRESULT STDMETHODCALLTYPE CArchiveObject::QueryInterface(REFIID iid, void** out) {
    return AnswerQueryInterface(iid, out,
                                {{&IID_IStorage, static_cast<IStorage*>(this)},
                                 {&IID_IPersistFile, static_cast<IPersistFile*>(this)},
                                 {&IID_IPersist, static_cast<IPersistFile*>(this)}});
}

// The component is created directly, never through the registry, so it has no class id.
HRESULT STDMETHODCALLTYPE CArchiveObject::GetClassID(CLSID*) {
    return ReportFailure(E_NOTIMPL);
}

HRESULT STDMETHODCALLTYPE CArchiveObject::IsDirty() {
    return S_FALSE;
}

HRESULT STDMETHODCALLTYPE CArchiveObject::Load(LPCOLESTR path, DWORD mode) {
    return GuardComCall([&] {
        if (path == nullptr) {
            return STG_E_INVALIDPOINTER;
        }
        if (m_archive) {
            return E_UNEXPECTED;
        }
        if ((mode & (STGM_WRITE | STGM_READWRITE)) != 0) {
            return STG_E_ACCESSDENIED;
        }
        std::wstring loaded(path);
        std::shared_ptr<const CByteSource> source = m_heldFile;
        if (!source) {
            std::unique_ptr<CByteSource> opened;
            const HRESULT hr = OpenFileByteSource(loaded, opened);
            if (FAILED(hr)) {
                return hr;
            }
            source = std::move(opened);
        }
        m_archive = std::make_shared<const CZipArchive>(std::move(source));
        m_path = std::move(loaded);
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE CArchiveObject::Save(LPCOLESTR, BOOL) {
    return ReportFailure(E_NOTIMPL);
}

HRESULT STDMETHODCALLTYPE CArchiveObject::SaveCompleted(LPCOLESTR) {
    return ReportFailure(E_NOTIMPL);
}

HRESULT STDMETHODCALLTYPE CArchiveObject::GetCurFile(LPOLESTR* path) {
    return GuardComCall([&] {
        if (path == nullptr) {
            return E_POINTER;
        }
        *path = nullptr;
        if (!m_archive) {
            return E_UNEXPECTED;
        }
        CoTaskMemPointer<wchar_t> copy(
            static_cast<wchar_t*>(CoTaskMemAlloc((m_path.size() + 1) * sizeof(wchar_t))));
        if (!copy) {
            return E_OUTOFMEMORY;
        }
        std::copy(m_path.c_str(), m_path.c_str() + m_path.size() + 1, copy.get());
        *path = copy.release();
        return S_OK;
    });
}
