#include "FakeStorage.h"

#include <algorithm>
#include <cstring>

namespace {

// Reference counting shared by the fakes; every count is mirrored in the ledger.
template <class Interface> class FakeUnknown : public Interface {
public:
    FakeUnknown(FakeLedger& ledger, const IID& iid) : m_ledger(ledger), m_iid(iid) {
        ++m_ledger.liveReferences;
    }
    virtual ~FakeUnknown() = default;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (iid != IID_IUnknown && iid != m_iid) {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        *out = this;
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override {
        ++m_ledger.liveReferences;
        return ++m_count;
    }
    ULONG STDMETHODCALLTYPE Release() override {
        --m_ledger.liveReferences;
        const ULONG left = --m_count;
        if (left == 0) {
            delete this;
        }
        return left;
    }

protected:
    FakeLedger& m_ledger;

private:
    IID m_iid;
    ULONG m_count = 1;
};

class FakeStreamObject : public FakeUnknown<IStream> {
public:
    FakeStreamObject(const FakeElement& element, FakeLedger& ledger)
        : FakeUnknown(ledger, IID_IStream), m_element(element) {}

    HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG size, ULONG* read) override {
        m_ledger.readRequests.emplace_back(m_element.name, size);
        *read = 0;
        if (m_reads++ == m_element.failingRead || m_reads > 1000) {
            return STG_E_READFAULT;
        }
        const std::uint64_t left = m_element.deliveredSize - m_position;
        const ULONG count =
            static_cast<ULONG>(std::min<std::uint64_t>({left, size, m_element.mostPerRead}));
        auto* bytes = static_cast<unsigned char*>(buffer);
        for (ULONG i = 0; i < count; ++i) {
            bytes[i] = FakeByte(m_position + i);
        }
        m_position += count;
        *read = count;
        const bool atEnd = m_position == m_element.deliveredSize;
        return atEnd && count < size && !m_element.emptyReadsAtEnd ? S_FALSE : S_OK;
    }
    HRESULT STDMETHODCALLTYPE Write(const void*, ULONG, ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*,
                                     ULARGE_INTEGER*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Revert() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Clone(IStream**) override { return E_NOTIMPL; }

private:
    const FakeElement& m_element;
    std::uint64_t m_position = 0;
    int m_reads = 0;
};

class FakeEnumerator : public FakeUnknown<IEnumSTATSTG> {
public:
    FakeEnumerator(const FakeElement& folder, FakeLedger& ledger)
        : FakeUnknown(ledger, IID_IEnumSTATSTG), m_folder(folder) {}

    HRESULT STDMETHODCALLTYPE Next(ULONG count, STATSTG* elements, ULONG* fetched) override {
        if (count != 1 || fetched != nullptr) {
            return E_INVALIDARG;
        }
        if (m_calls++ == m_folder.failingNext) {
            return STG_E_READFAULT;
        }
        if (m_next == m_folder.children.size()) {
            return S_FALSE;
        }
        const FakeElement& child = m_folder.children[m_next++];
        *elements = STATSTG{};
        if (!child.nameless) {
            const std::size_t bytes = (child.name.size() + 1) * sizeof(wchar_t);
            elements->pwcsName = static_cast<wchar_t*>(CoTaskMemAlloc(bytes));
            std::memcpy(elements->pwcsName, child.name.c_str(), bytes);
        }
        elements->type = child.type;
        elements->cbSize.QuadPart = child.declaredSize;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reset() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Clone(IEnumSTATSTG**) override { return E_NOTIMPL; }

private:
    const FakeElement& m_folder;
    std::size_t m_next = 0;
    int m_calls = 0;
};

class FakeStorageObject : public FakeUnknown<IStorage> {
public:
    FakeStorageObject(const FakeElement& folder, FakeLedger& ledger)
        : FakeUnknown(ledger, IID_IStorage), m_folder(folder) {}

    HRESULT STDMETHODCALLTYPE OpenStream(const OLECHAR* name, void*, DWORD, DWORD,
                                         IStream** stream) override {
        *stream = nullptr;
        const FakeElement* child = Find(name, STGTY_STREAM);
        if (!child) {
            return STG_E_FILENOTFOUND;
        }
        *stream = new FakeStreamObject(*child, m_ledger);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OpenStorage(const OLECHAR* name, IStorage*, DWORD, SNB, DWORD,
                                          IStorage** storage) override {
        *storage = nullptr;
        const FakeElement* child = Find(name, STGTY_STORAGE);
        if (!child) {
            return STG_E_FILENOTFOUND;
        }
        if (!child->opensAsNull) {
            *storage = new FakeStorageObject(*child, m_ledger);
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE EnumElements(DWORD, void*, DWORD,
                                           IEnumSTATSTG** enumerator) override {
        *enumerator = new FakeEnumerator(m_folder, m_ledger);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE CreateStream(const OLECHAR*, DWORD, DWORD, DWORD,
                                           IStream**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE CreateStorage(const OLECHAR*, DWORD, DWORD, DWORD,
                                            IStorage**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE CopyTo(DWORD, const IID*, SNB, IStorage*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE MoveElementTo(const OLECHAR*, IStorage*, const OLECHAR*,
                                            DWORD) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Revert() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DestroyElement(const OLECHAR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RenameElement(const OLECHAR*, const OLECHAR*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SetElementTimes(const OLECHAR*, const FILETIME*, const FILETIME*,
                                              const FILETIME*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SetClass(REFCLSID) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetStateBits(DWORD, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }

private:
    const FakeElement* Find(const OLECHAR* name, DWORD type) const {
        for (const FakeElement& child : m_folder.children) {
            if (child.type == type && child.name == name) {
                return &child;
            }
        }
        return nullptr;
    }

    const FakeElement& m_folder;
};

} // namespace

FakeElement FakeStream(const std::wstring& name, std::uint64_t size) {
    FakeElement element;
    element.name = name;
    element.declaredSize = size;
    element.deliveredSize = size;
    return element;
}

FakeElement FakeFolder(const std::wstring& name, std::vector<FakeElement> children) {
    FakeElement element;
    element.name = name;
    element.type = STGTY_STORAGE;
    element.children = std::move(children);
    return element;
}

unsigned char FakeByte(std::uint64_t offset) {
    return static_cast<unsigned char>((offset * 131 + (offset >> 16)) & 0xFF);
}

CComPointer<IStorage> MakeFakeStorage(const FakeElement& tree, FakeLedger& ledger) {
    return CComPointer<IStorage>(new FakeStorageObject(tree, ledger));
}

CComPointer<IEnumSTATSTG> MakeFakeEnumerator(const FakeElement& tree, FakeLedger& ledger) {
    return CComPointer<IEnumSTATSTG>(new FakeEnumerator(tree, ledger));
}
