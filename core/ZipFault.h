#pragma once

// Why the reader refused an archive or an entry.
enum class ZipFault {
    Damaged,     // the structure, a name or the data contradicts itself or the file
    Unsupported, // encrypted, or a compression method other than stored and deflated
    ReadFailed,  // the source could not give bytes that the structure says are there
};

class CZipException {
public:
    CZipException(ZipFault fault, const char* reason) : m_fault(fault), m_reason(reason) {}

    ZipFault GetFault() const { return m_fault; }
    // A fixed description for diagnostics; never shown to the user.
    const char* GetReason() const { return m_reason; }

private:
    ZipFault m_fault;
    const char* m_reason;
};

[[noreturn]] inline void ThrowDamaged(const char* reason) {
    throw CZipException(ZipFault::Damaged, reason);
}
