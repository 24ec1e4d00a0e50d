#pragma once

#include <objbase.h>

#include <atomic>
#include <initializer_list>

// A COM object that deletes itself when its last reference is released. Objects are used on
// one thread, but the count stays atomic so that a stray reference on another thread is safe.
template <class Interface> class CComObjectBase : public Interface {
public:
    CComObjectBase() = default;
    CComObjectBase(const CComObjectBase&) = delete;
    CComObjectBase& operator=(const CComObjectBase&) = delete;
    virtual ~CComObjectBase() = default;

    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_references; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --m_references;
        if (left == 0) {
            delete this;
        }
        return left;
    }

private:
    std::atomic<ULONG> m_references{1};
};

struct TInterfaceEntry {
    const IID* iid;
    IUnknown* pointer;
};

// QueryInterface over the interfaces an object has; the first entry also answers IUnknown,
// so that every query for IUnknown gives the same pointer.
HRESULT AnswerQueryInterface(REFIID iid, void** out,
                             std::initializer_list<TInterfaceEntry> entries);
