#include "unzip/ArchiveAccess.h"

#include "common/Errors.h"
#include "common/FileHelpers.h"
#include "zip/ArchiveFactory.h"

#include <utility>

namespace {

// A call that reports success but hands back nothing leaves nothing to work with.
template <class T> CComPointer<T> CheckOpened(HRESULT hr, CComPointer<T> opened) {
    CheckHResult(hr);
    if (!opened) {
        ThrowUnzipError();
    }
    return opened;
}

} // namespace

CComPointer<IStorage> OpenArchive(const std::wstring& path,
                                  std::shared_ptr<const CByteSource> heldFile,
                                  CComPointer<IPersistFile>& persistFile) {
    CComPointer<IClassFactory> factory;
    CheckHResult(CreateArchiveClassFactory(factory.Put(), std::move(heldFile)));
    CheckHResult(factory->CreateInstance(nullptr, IID_IPersistFile, persistFile.PutVoid()));
    if (!persistFile) {
        ThrowUnzipError();
    }
    CheckHResult(persistFile->Load(ToExtendedLengthPath(path).c_str(), 0));
    return QueryStorage(persistFile.Get());
}

CComPointer<IStorage> QueryStorage(IUnknown* object) {
    CComPointer<IStorage> storage;
    const HRESULT hr = object->QueryInterface(IID_IStorage, storage.PutVoid());
    return CheckOpened(hr, std::move(storage));
}

CComPointer<IEnumSTATSTG> EnumerateElements(IStorage* storage) {
    CComPointer<IEnumSTATSTG> enumerator;
    const HRESULT hr = storage->EnumElements(0, nullptr, 0, enumerator.Put());
    return CheckOpened(hr, std::move(enumerator));
}

CComPointer<IStorage> OpenSubStorage(IStorage* storage, const wchar_t* name) {
    CComPointer<IStorage> subStorage;
    const HRESULT hr = storage->OpenStorage(name, nullptr, 0, nullptr, 0, subStorage.Put());
    return CheckOpened(hr, std::move(subStorage));
}

CComPointer<IStream> OpenElementStream(IStorage* storage, const wchar_t* name) {
    CComPointer<IStream> stream;
    const HRESULT hr = storage->OpenStream(name, nullptr, 0, 0, stream.Put());
    return CheckOpened(hr, std::move(stream));
}
