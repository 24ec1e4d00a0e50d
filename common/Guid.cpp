#include "common/Guid.h"

#include "common/ComPointer.h"
#include "common/Errors.h"
#include "common/ScopeGuards.h"

void CreateGuidString(std::wstring& out) {
    CGuidGuard guid;
    if (!guid.Create() || guid.Get() == nullptr) {
        ThrowUnknownError();
    }
    LPOLESTR raw = nullptr;
    if (FAILED(StringFromCLSID(*guid.Get(), &raw))) {
        ThrowUnknownError();
    }
    const CoTaskMemPointer<wchar_t> text(raw);
    out = text.get();
}
