#pragma once

#include <string>
#include <string_view>
#include <utility>

// Why the reader refused an archive or an entry.
enum class ZipFault {
    Damaged,     // the structure, a name or the data contradicts itself or the file
    Unsupported, // encrypted, or a compression method other than stored and deflated
    ReadFailed,  // the source could not give bytes that the structure says are there
};

class CZipException {
public:
    CZipException(ZipFault fault, std::string reason, std::u16string entry = std::u16string())
        : m_fault(fault), m_reason(std::move(reason)), m_entry(std::move(entry)) {}

    ZipFault GetFault() const { return m_fault; }
    // A description for diagnostics; never shown to the user.
    const std::string& GetReason() const { return m_reason; }
    // The path in the archive, '/' between its components, of the entry that the fault is about;
    // empty where it is about the archive as a whole.
    const std::u16string& GetEntry() const { return m_entry; }
    // The code that meets a fault does not always know which entry it was reading for; the code
    // that does names it, unless a nearer one already has.
    void NameEntry(std::u16string_view entry) {
        if (m_entry.empty()) {
            m_entry = entry;
        }
    }
    // "entry: reason", or the reason alone, in UTF-8.
    std::string Describe() const;

private:
    ZipFault m_fault;
    std::string m_reason;
    std::u16string m_entry;
};

[[noreturn]] inline void ThrowDamaged(std::string reason) {
    throw CZipException(ZipFault::Damaged, std::move(reason));
}

// Runs the body; a CZipException that it throws leaves named after the entry that nameOf gives,
// unless it names one already.
template <class NameOf, class Body> decltype(auto) NamingEntry(NameOf&& nameOf, Body&& body) {
    try {
        return body();
    } catch (CZipException& fault) {
        fault.NameEntry(nameOf());
        throw;
    }
}
