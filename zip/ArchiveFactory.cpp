#include "zip/ArchiveFactory.h"

#include "common/ComPointer.h"
#include "zip/ArchiveObject.h"
#include "zip/ComFaults.h"
#include "zip/ComObjectBase.h"

namespace {

class CArchiveClassFactory : public CComObjectBase<IClassFactory> {
public:
    explicit CArchiveClassFactory(std::shared_ptr<const CByteSource> heldFile)
        : m_heldFile(std::move(heldFile)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        return AnswerQueryInterface(iid, out,
                                    {{&IID_IClassFactory, static_cast<IClassFactory*>(this)}});
    }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        return GuardComCall([&] {
            if (out == nullptr) {
                return E_POINTER;
            }
            *out = nullptr;
            if (outer != nullptr) {
                return CLASS_E_NOAGGREGATION;
            }
            const CComPointer<CArchiveObject> object(new CArchiveObject(m_heldFile));
            return object->QueryInterface(iid, out);
        });
    }

    // Nothing here is unloaded, so there is nothing to keep loaded.
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

private:
    std::shared_ptr<const CByteSource> m_heldFile;
};

} // namespace

HRESULT CreateArchiveClassFactory(IClassFactory** factory,
                                  std::shared_ptr<const CByteSource> heldFile) {
    if (factory == nullptr) {
        return E_POINTER;
    }
    *factory = nullptr;
    return GuardComCall([&] {
        *factory = new CArchiveClassFactory(std::move(heldFile));
        return S_OK;
    });
}
