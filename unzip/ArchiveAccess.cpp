#include "unzip/ArchiveAccess.h"

#include "common/Errors.h"
#include "common/FileHelpers.h"
#include "zip/ArchiveFactory.h"

#include <utility>

namespace {

// A call that reports success but hands back nothing leaves nothing to work with.
template <class T>
void CheckOpened(HRESULT hr, const CComPointer<T>& opened, IUnknown* object, REFIID iid) {
    CheckHResult(hr, object, iid);
    if (!opened) {
        ThrowUnzipError(L"a call that succeeded handed out nothing");
    }
}

} // namespace

CComPointer<IStorage> OpenArchive(const std::wstring& path,
                                  std::shared_ptr<const CByteSource> heldFile,
                                  CComPointer<IPersistFile>& persistFile) {
    CComPointer<IClassFactory> factory;
    CheckHResult(CreateArchiveClassFactory(factory.Put(), std::move(heldFile)));
    CheckOpened(factory->CreateInstance(nullptr, IID_IPersistFile, persistFile.PutVoid()),
                persistFile, factory.Get(), IID_IClassFactory);
    CheckHResult(persistFile->Load(ToExtendedLengthPath(path).c_str(), 0), persistFile.Get(),
                 IID_IPersistFile);
    return QueryStorage(persistFile.Get());
}

CComPointer<IStorage> QueryStorage(IUnknown* object) {
    CComPointer<IStorage> storage;
    // QueryInterface leaves no error object.
    const HRESULT hr = object->QueryInterface(IID_IStorage, storage.PutVoid());
    CheckOpened(hr, storage, nullptr, GUID_NULL);
    return storage;
}

CComPointer<IEnumSTATSTG> EnumerateElements(IStorage* storage) {
    CComPointer<IEnumSTATSTG> enumerator;
    const HRESULT hr = storage->EnumElements(0, nullptr, 0, enumerator.Put());
    CheckOpened(hr, enumerator, storage, IID_IStorage);
    return enumerator;
}

CComPointer<IStorage> OpenSubStorage(IStorage* storage, const wchar_t* name) {
    CComPointer<IStorage> subStorage;
    const HRESULT hr = storage->OpenStorage(name, nullptr, 0, nullptr, 0, subStorage.Put());
    CheckOpened(hr, subStorage, storage, IID_IStorage);
    return subStorage;
}

CComPointer<IStream> OpenElementStream(IStorage* storage, const wchar_t* name) {
    CComPointer<IStream> stream;
    const HRESULT hr = storage->OpenStream(name, nullptr, 0, 0, stream.Put());
    CheckOpened(hr, stream, storage, IID_IStorage);
    return stream;
}
