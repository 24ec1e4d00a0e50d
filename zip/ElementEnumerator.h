#pragma once

#include "core/ZipArchive.h"
#include "zip/ComObjectBase.h"

#include <cstddef>
#include <memory>

// Lists the elements of one folder in central directory order.
class CElementEnumerator : public CComObjectBase<IEnumSTATSTG> {
public:
    CElementEnumerator(std::shared_ptr<const CZipArchive> archive, std::size_t folder,
                       std::size_t position);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;

    HRESULT STDMETHODCALLTYPE Next(ULONG count, STATSTG* elements, ULONG* fetched) override;
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override;
    HRESULT STDMETHODCALLTYPE Reset() override;
    HRESULT STDMETHODCALLTYPE Clone(IEnumSTATSTG** copy) override;

private:
    HRESULT Fetch(ULONG count, STATSTG* elements, ULONG* fetched);
    const std::vector<std::size_t>& Children() const;

    std::shared_ptr<const CZipArchive> m_archive;
    std::size_t m_folder;
    std::size_t m_position;
};
