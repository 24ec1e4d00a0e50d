#include "zip/ElementInfo.h"

#include "common/ComPointer.h"

#include <algorithm>
#include <cwchar>

static_assert(sizeof(wchar_t) == sizeof(char16_t), "COM names are UTF-16");

HRESULT FillElementInfo(STATSTG& info, const TZipItem& item, DWORD statFlag) {
    info = STATSTG{};
    info.type = item.isFolder ? STGTY_STORAGE : STGTY_STREAM;
    info.cbSize.QuadPart = item.isFolder ? 0 : item.size;
    info.grfMode = STGM_READ | STGM_SHARE_DENY_WRITE;
    if (statFlag == STATFLAG_NONAME) {
        return S_OK;
    }
    CoTaskMemPointer<wchar_t> name(
        static_cast<wchar_t*>(CoTaskMemAlloc((item.name.size() + 1) * sizeof(wchar_t))));
    if (!name) {
        return E_OUTOFMEMORY;
    }
    std::copy(item.name.begin(), item.name.end(), name.get());
    name.get()[item.name.size()] = L'\0';
    info.pwcsName = name.release();
    return S_OK;
}

std::u16string ToArchiveName(const wchar_t* name) {
    return std::u16string(name, name + std::wcslen(name));
}
