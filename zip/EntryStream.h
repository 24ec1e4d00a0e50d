#pragma once

#include "core/ZipEntryReader.h"
#include "zip/ComObjectBase.h"

#include <memory>

// A file of the archive as a read-only stream. Read answers S_OK while data may follow and
// S_FALSE once it comes short at the end; damaged data fails the Read that meets it.
class CEntryStream : public CComObjectBase<IStream> {
public:
    explicit CEntryStream(std::unique_ptr<CZipEntryReader> reader);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;

    HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG size, ULONG* read) override;
    HRESULT STDMETHODCALLTYPE Write(const void* data, ULONG size, ULONG* written) override;

    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin,
                                   ULARGE_INTEGER* position) override;
    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER size) override;
    HRESULT STDMETHODCALLTYPE CopyTo(IStream* destination, ULARGE_INTEGER size,
                                     ULARGE_INTEGER* read, ULARGE_INTEGER* written) override;
    HRESULT STDMETHODCALLTYPE Commit(DWORD flags) override;
    HRESULT STDMETHODCALLTYPE Revert() override;
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER size,
                                         DWORD lockType) override;
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER size,
                                           DWORD lockType) override;
    HRESULT STDMETHODCALLTYPE Stat(STATSTG* info, DWORD statFlag) override;
    HRESULT STDMETHODCALLTYPE Clone(IStream** copy) override;

private:
    std::unique_ptr<CZipEntryReader> m_reader;
};
