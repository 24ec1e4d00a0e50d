#include "zip/ComObjectBase.h"

HRESULT AnswerQueryInterface(REFIID iid, void** out,
                             std::initializer_list<TInterfaceEntry> entries) {
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = nullptr;
    for (const TInterfaceEntry& entry : entries) {
        if (IsEqualIID(iid, *entry.iid) ||
            (IsEqualIID(iid, IID_IUnknown) && &entry == entries.begin())) {
            entry.pointer->AddRef();
            *out = entry.pointer;
            return S_OK;
        }
    }
    return E_NOINTERFACE;
}
