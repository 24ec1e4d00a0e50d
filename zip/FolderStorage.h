#pragma once

#include "core/ZipArchive.h"
#include "zip/ComObjectBase.h"

#include <cstddef>
#include <memory>

// A folder of the archive as a read-only storage: its elements can be listed and opened.
// Every object made from it shares the parsed archive, which lives as long as any of them.
class CFolderStorage : public CComObjectBase<IStorage> {
public:
    CFolderStorage(std::shared_ptr<const CZipArchive> archive, std::size_t folder);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;

    HRESULT STDMETHODCALLTYPE CreateStream(const OLECHAR* name, DWORD mode, DWORD reserved1,
                                           DWORD reserved2, IStream** stream) override;
    HRESULT STDMETHODCALLTYPE OpenStream(const OLECHAR* name, void* reserved1, DWORD mode,
                                         DWORD reserved2, IStream** stream) override;
    HRESULT STDMETHODCALLTYPE CreateStorage(const OLECHAR* name, DWORD mode, DWORD reserved1,
                                            DWORD reserved2, IStorage** storage) override;
    HRESULT STDMETHODCALLTYPE OpenStorage(const OLECHAR* name, IStorage* priority, DWORD mode,
                                          SNB exclude, DWORD reserved, IStorage** storage) override;
    HRESULT STDMETHODCALLTYPE CopyTo(DWORD excludedCount, const IID* excludedIids, SNB exclude,
                                     IStorage* destination) override;
    HRESULT STDMETHODCALLTYPE MoveElementTo(const OLECHAR* name, IStorage* destination,
                                            const OLECHAR* newName, DWORD flags) override;
    HRESULT STDMETHODCALLTYPE Commit(DWORD flags) override;
    HRESULT STDMETHODCALLTYPE Revert() override;
    HRESULT STDMETHODCALLTYPE EnumElements(DWORD reserved1, void* reserved2, DWORD reserved3,
                                           IEnumSTATSTG** enumerator) override;
    HRESULT STDMETHODCALLTYPE DestroyElement(const OLECHAR* name) override;
    HRESULT STDMETHODCALLTYPE RenameElement(const OLECHAR* oldName,
                                            const OLECHAR* newName) override;
    HRESULT STDMETHODCALLTYPE SetElementTimes(const OLECHAR* name, const FILETIME* created,
                                              const FILETIME* accessed,
                                              const FILETIME* modified) override;
    HRESULT STDMETHODCALLTYPE SetClass(REFCLSID clsid) override;
    HRESULT STDMETHODCALLTYPE SetStateBits(DWORD bits, DWORD mask) override;
    HRESULT STDMETHODCALLTYPE Stat(STATSTG* info, DWORD statFlag) override;

protected:
    // The archive object fills this in when it loads its file; until then it is null.
    std::shared_ptr<const CZipArchive> m_archive;

private:
    // Finds the child of this folder with the name, of the kind asked for, and hands out the
    // object that create makes for it.
    template <class Interface, class Create>
    HRESULT OpenChild(const OLECHAR* name, DWORD mode, bool folder, Interface** out,
                      Create create) const;

    std::size_t m_folder;
};
