#include "zip/EntryStream.h"

#include "zip/ComFaults.h"
#include "zip/ElementInfo.h"

CEntryStream::CEntryStream(std::unique_ptr<CZipEntryReader> reader) : m_reader(std::move(reader)) {}

HRESULT STDMETHODCALLTYPE CEntryStream::QueryInterface(REFIID iid, void** out) {
    return AnswerQueryInterface(iid, out,
                                {{&IID_IStream, static_cast<IStream*>(this)},
                                 {&IID_ISequentialStream, static_cast<ISequentialStream*>(this)}});
}

HRESULT STDMETHODCALLTYPE CEntryStream::Read(void* buffer, ULONG size, ULONG* read) {
    return GuardComCall([&] {
        if (read != nullptr) {
            *read = 0;
        }
        if (buffer == nullptr && size != 0) {
            return STG_E_INVALIDPOINTER;
        }
        const auto got = static_cast<ULONG>(m_reader->Read(buffer, size));
        if (read != nullptr) {
            *read = got;
        }
        const bool shortRead = got < size || (size == 0 && m_reader->IsFinished());
        return shortRead ? S_FALSE : S_OK;
    });
}

HRESULT STDMETHODCALLTYPE CEntryStream::Write(const void*, ULONG, ULONG* written) {
    if (written != nullptr) {
        *written = 0;
    }
    return ReportFailure(STG_E_ACCESSDENIED);
}

// Only the current position can be asked for: the data is a stream to be read once.
HRESULT STDMETHODCALLTYPE CEntryStream::Seek(LARGE_INTEGER move, DWORD origin,
                                             ULARGE_INTEGER* position) {
    const std::uint64_t current = m_reader->GetPosition();
    const bool stays = (origin == STREAM_SEEK_CUR && move.QuadPart == 0) ||
                       (origin == STREAM_SEEK_SET && move.QuadPart >= 0 &&
                        static_cast<std::uint64_t>(move.QuadPart) == current);
    if (!stays) {
        return ReportFailure(STG_E_INVALIDFUNCTION);
    }
    if (position != nullptr) {
        position->QuadPart = current;
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CEntryStream::SetSize(ULARGE_INTEGER) {
    return ReportFailure(STG_E_ACCESSDENIED);
}

HRESULT STDMETHODCALLTYPE CEntryStream::CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*,
                                               ULARGE_INTEGER*) {
    return ReportFailure(E_NOTIMPL);
}

HRESULT STDMETHODCALLTYPE CEntryStream::Commit(DWORD) {
    return ReportFailure(E_NOTIMPL);
}

HRESULT STDMETHODCALLTYPE CEntryStream::Revert() {
    return ReportFailure(E_NOTIMPL);
}

HRESULT STDMETHODCALLTYPE CEntryStream::LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) {
    return ReportFailure(STG_E_INVALIDFUNCTION);
}

HRESULT STDMETHODCALLTYPE CEntryStream::UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) {
    return ReportFailure(STG_E_INVALIDFUNCTION);
}

HRESULT STDMETHODCALLTYPE CEntryStream::Stat(STATSTG* info, DWORD statFlag) {
    return GuardComCall([&] {
        if (info == nullptr) {
            return STG_E_INVALIDPOINTER;
        }
        return FillElementInfo(*info, m_reader->GetItem(), statFlag);
    });
}

HRESULT STDMETHODCALLTYPE CEntryStream::Clone(IStream**) {
    return ReportFailure(E_NOTIMPL);
}
