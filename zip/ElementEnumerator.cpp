#include "zip/ElementEnumerator.h"

#include "zip/ComFaults.h"
#include "zip/ElementInfo.h"

#include <algorithm>

CElementEnumerator::CElementEnumerator(std::shared_ptr<const CZipArchive> archive,
                                       std::size_t folder, std::size_t position)
    : m_archive(std::move(archive)), m_folder(folder), m_position(position) {}

HRESULT STDMETHODCALLTYPE CElementEnumerator::QueryInterface(REFIID iid, void** out) {
    return AnswerQueryInterface(iid, out, {{&IID_IEnumSTATSTG, static_cast<IEnumSTATSTG*>(this)}});
}

const std::vector<std::size_t>& CElementEnumerator::Children() const {
    return m_archive->GetItem(m_folder).children;
}

HRESULT STDMETHODCALLTYPE CElementEnumerator::Next(ULONG count, STATSTG* elements, ULONG* fetched) {
    return GuardComCall([&] { return Fetch(count, elements, fetched); });
}

HRESULT CElementEnumerator::Fetch(ULONG count, STATSTG* elements, ULONG* fetched) {
    if (elements == nullptr) {
        return STG_E_INVALIDPOINTER;
    }
    // Without a place for the count, the caller could not tell how many elements it got.
    if (fetched == nullptr && count != 1) {
        return STG_E_INVALIDPARAMETER;
    }
    ULONG filled = 0;
    while (filled < count && m_position < Children().size()) {
        const HRESULT result = FillElementInfo(
            elements[filled], m_archive->GetItem(Children()[m_position]), STATFLAG_DEFAULT);
        if (FAILED(result)) {
            // A failed call hands out nothing, so the names of this call go back.
            for (ULONG i = 0; i < filled; ++i) {
                CoTaskMemFree(elements[i].pwcsName);
                elements[i].pwcsName = nullptr;
            }
            m_position -= filled;
            if (fetched != nullptr) {
                *fetched = 0;
            }
            return result;
        }
        ++filled;
        ++m_position;
    }
    if (fetched != nullptr) {
        *fetched = filled;
    }
    return filled == count ? S_OK : S_FALSE;
}

HRESULT STDMETHODCALLTYPE CElementEnumerator::Skip(ULONG count) {
    const std::size_t left = Children().size() - m_position;
    m_position += std::min<std::size_t>(count, left);
    return count <= left ? S_OK : S_FALSE;
}

HRESULT STDMETHODCALLTYPE CElementEnumerator::Reset() {
    m_position = 0;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CElementEnumerator::Clone(IEnumSTATSTG** copy) {
    return GuardComCall([&] {
        if (copy == nullptr) {
            return STG_E_INVALIDPOINTER;
        }
        *copy = nullptr;
        *copy = new CElementEnumerator(m_archive, m_folder, m_position);
        return S_OK;
    });
}
