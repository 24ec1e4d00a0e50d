#pragma once

#include "common/ComPointer.h"
#include "common/Errors.h"
#include "core/ByteSource.h"

#include <objbase.h>
#include <objidl.h>

#include <memory>
#include <string>

// The archive seen as a structured-storage tree: the archive is the root storage, each folder
// a sub-storage, each file a stream. Every failure is "Cannot unzip the downloaded archive.",
// its cause the reason that the component left in its error object (CheckHResult).

// The archive object's IPersistFile goes into the caller's variable at once; the caller keeps
// it until every other reference of the archive is released, and releases it last. The archive
// is read from heldFile, the bytes of the file at that path, which the caller holds open.
CComPointer<IStorage> OpenArchive(const std::wstring& path,
                                  std::shared_ptr<const CByteSource> heldFile,
                                  CComPointer<IPersistFile>& persistFile);

CComPointer<IStorage> QueryStorage(IUnknown* object);
CComPointer<IEnumSTATSTG> EnumerateElements(IStorage* storage);
CComPointer<IStorage> OpenSubStorage(IStorage* storage, const wchar_t* name);
CComPointer<IStream> OpenElementStream(IStorage* storage, const wchar_t* name);

// Hands each element to the handler, freeing its name right after, until Next answers S_FALSE.
// A failing Next would otherwise pass for the end of the level, and part of the update for all
// of it; like an element without a name, which cannot be placed anywhere, it is a damaged
// archive.
template <class Handler> void ForEachElement(IEnumSTATSTG* enumerator, Handler&& handle) {
    for (;;) {
        STATSTG element = {};
        const HRESULT hr = enumerator->Next(1, &element, nullptr);
        const CoTaskMemPointer<wchar_t> name(element.pwcsName);
        if (hr == S_FALSE) {
            return;
        }
        if (hr != S_OK) {
            ThrowUnzipError(hr, enumerator, IID_IEnumSTATSTG);
        }
        if (name == nullptr) {
            ThrowUnzipError(L"an element without a name");
        }
        handle(static_cast<const STATSTG&>(element));
    }
}
