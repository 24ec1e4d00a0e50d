#pragma once

#include "zip/FolderStorage.h"

#include <memory>
#include <string>

// The object that the class factory makes: IPersistFile loads the archive, and the object is
// then the root storage of it. A damaged archive fails the load. Given the bytes of a file that
// its caller holds open, Load reads those rather than whatever the path names by then.
class CArchiveObject : public CFolderStorage, public IPersistFile {
public:
    explicit CArchiveObject(std::shared_ptr<const CByteSource> heldFile = nullptr);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return CFolderStorage::AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return CFolderStorage::Release(); }

    HRESULT STDMETHODCALLTYPE GetClassID(CLSID* clsid) override;
    HRESULT STDMETHODCALLTYPE IsDirty() override;
    HRESULT STDMETHODCALLTYPE Load(LPCOLESTR path, DWORD mode) override;
    HRESULT STDMETHODCALLTYPE Save(LPCOLESTR path, BOOL remember) override;
    HRESULT STDMETHODCALLTYPE SaveCompleted(LPCOLESTR path) override;
    HRESULT STDMETHODCALLTYPE GetCurFile(LPOLESTR* path) override;

private:
    std::shared_ptr<const CByteSource> m_heldFile;
    std::wstring m_path;
};
