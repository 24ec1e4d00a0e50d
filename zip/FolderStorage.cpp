#include "zip/FolderStorage.h"

#include "zip/ComFaults.h"
#include "zip/ElementEnumerator.h"
#include "zip/ElementInfo.h"
#include "zip/EntryStream.h"

namespace {

constexpr DWORD WritingModes = STGM_WRITE | STGM_READWRITE;

} // namespace

CFolderStorage::CFolderStorage(std::shared_ptr<const CZipArchive> archive, std::size_t folder)
    : m_archive(std::move(archive)), m_folder(folder) {}

HRESULT STDMETHODCALLTYPE CFolderStorage::QueryInterface(REFIID iid, void** out) {
    return AnswerQueryInterface(iid, out, {{&IID_IStorage, static_cast<IStorage*>(this)}});
}

template <class Interface, class Create>
HRESULT CFolderStorage::OpenChild(const OLECHAR* name, DWORD mode, bool folder, Interface** out,
                                  Create create) const {
    return GuardComCall([&] {
        if (out == nullptr) {
            return STG_E_INVALIDPOINTER;
        }
        *out = nullptr;
        if (name == nullptr) {
            return STG_E_INVALIDPOINTER;
        }
        if (!m_archive) {
            return E_UNEXPECTED;
        }
        if ((mode & WritingModes) != 0) {
            return STG_E_ACCESSDENIED;
        }
        const auto found = m_archive->FindChild(m_folder, ToArchiveName(name));
        if (!found || m_archive->GetItem(*found).isFolder != folder) {
            return STG_E_FILENOTFOUND;
        }
        *out = create(*found);
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE CFolderStorage::OpenStream(const OLECHAR* name, void*, DWORD mode, DWORD,
                                                     IStream** stream) {
    return OpenChild(name, mode, false, stream, [&](std::size_t item) {
        return new CEntryStream(std::make_unique<CZipEntryReader>(m_archive, item));
    });
}

HRESULT STDMETHODCALLTYPE CFolderStorage::OpenStorage(const OLECHAR* name, IStorage*, DWORD mode,
                                                      SNB, DWORD, IStorage** storage) {
    return OpenChild(name, mode, true, storage,
                     [&](std::size_t folder) { return new CFolderStorage(m_archive, folder); });
}

HRESULT STDMETHODCALLTYPE CFolderStorage::EnumElements(DWORD, void*, DWORD,
                                                       IEnumSTATSTG** enumerator) {
    return GuardComCall([&] {
        if (enumerator == nullptr) {
            return STG_E_INVALIDPOINTER;
        }
        *enumerator = nullptr;
        if (!m_archive) {
            return E_UNEXPECTED;
        }
        *enumerator = new CElementEnumerator(m_archive, m_folder, 0);
        return S_OK;
    });
}

HRESULT STDMETHODCALLTYPE CFolderStorage::Stat(STATSTG* info, DWORD statFlag) {
    return GuardComCall([&] {
        if (info == nullptr) {
            return STG_E_INVALIDPOINTER;
        }
        if (!m_archive) {
            return E_UNEXPECTED;
        }
        return FillElementInfo(*info, m_archive->GetItem(m_folder), statFlag);
    });
}

// The archive is read-only and has no other use for the remaining operations.

HRESULT STDMETHODCALLTYPE CFolderStorage::CreateStream(const OLECHAR*, DWORD, DWORD, DWORD,
                                                       IStream**) {
    return ReportFailure(E_NOTIMPL);
}

HRESULT STDMETHODCALLTYPE CFolderStorage::CreateStorage(const OLECHAR*, DWORD, DWORD, DWORD,
                                                        IStorage**) {
    return ReportFailure(E_NOTIMPL);
}

HRESULT STDMETHODCALLTYPE CFolderStorage::CopyTo(DWORD, const IID*, SNB, IStorage*) {
    return ReportFailure(E_NOTIMPL);
}

HRESULT STDMETHODCALLTYPE CFolderStorage::MoveElementTo(const OLECHAR*, IStorage*, const OLECHAR*,
                                                        DWORD) {
    return ReportFailure(E_NOTIMPL);
}

HRESULT STDMETHODCALLTYPE CFolderStorage::Commit(DWORD) {
    return ReportFailure(E_NOTIMPL);
}

HRESULT STDMETHODCALLTYPE CFolderStorage::Revert() {
    return ReportFailure(E_NOTIMPL);
}

HRESULT STDMETHODCALLTYPE CFolderStorage::DestroyElement(const OLECHAR*) {
    return ReportFailure(E_NOTIMPL);
}

HRESULT STDMETHODCALLTYPE CFolderStorage::RenameElement(const OLECHAR*, const OLECHAR*) {
    return ReportFailure(E_NOTIMPL);
}

HRESULT STDMETHODCALLTYPE CFolderStorage::SetElementTimes(const OLECHAR*, const FILETIME*,
                                                          const FILETIME*, const FILETIME*) {
    return ReportFailure(E_NOTIMPL);
}

HRESULT STDMETHODCALLTYPE CFolderStorage::SetClass(REFCLSID) {
    return ReportFailure(E_NOTIMPL);
}

HRESULT STDMETHODCALLTYPE CFolderStorage::SetStateBits(DWORD, DWORD) {
    return ReportFailure(E_NOTIMPL);
}
