#pragma once

#include "common/ComPointer.h"

#include <oaidl.h>
#include <objbase.h>

#include <atomic>
#include <initializer_list>

struct TInterfaceEntry {
    const IID* iid;
    IUnknown* pointer;
};

// QueryInterface over the interfaces an object has; the first entry also answers IUnknown,
// so that every query for IUnknown gives the same pointer.
HRESULT AnswerQueryInterface(REFIID iid, void** out,
                             std::initializer_list<TInterfaceEntry> entries);

// A COM object that deletes itself when its last reference is released. Objects are used on
// one thread, but the count stays atomic so that a stray reference on another thread is safe.
// Each of its interfaces leaves an error object for its failures (zip/ComFaults.h), which
// ISupportErrorInfo tells callers.
template <class Interface> class CComObjectBase : public Interface, public ISupportErrorInfo {
public:
    CComObjectBase() = default;
    CComObjectBase(const CComObjectBase&) = delete;
    CComObjectBase& operator=(const CComObjectBase&) = delete;
    virtual ~CComObjectBase() = default;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override = 0;
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_references; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --m_references;
        if (left == 0) {
            delete this;
        }
        return left;
    }

    HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) override {
        CComPointer<IUnknown> answered;
        const bool has = !IsEqualIID(iid, IID_ISupportErrorInfo) &&
                         SUCCEEDED(QueryInterface(iid, answered.PutVoid()));
        return has ? S_OK : S_FALSE;
    }

protected:
    // The object's own interfaces and ISupportErrorInfo.
    HRESULT AnswerQueryInterface(REFIID iid, void** out,
                                 std::initializer_list<TInterfaceEntry> entries) {
        if (out != nullptr && IsEqualIID(iid, IID_ISupportErrorInfo)) {
            AddRef();
            *out = static_cast<ISupportErrorInfo*>(this);
            return S_OK;
        }
        return ::AnswerQueryInterface(iid, out, entries);
    }

private:
    std::atomic<ULONG> m_references{1};
};
