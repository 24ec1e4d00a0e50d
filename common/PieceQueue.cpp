#include "common/PieceQueue.h"

#include "common/Buffers.h"
#include "common/Errors.h"

#include <algorithm>
#include <climits>
#include <cstring>

CPieceQueue::CPieceQueue(Consume consume, std::size_t pieceSize, std::size_t pieceCount)
    : m_consume(std::move(consume)), m_pieceSize(std::max<std::size_t>(pieceSize, 1)),
      m_pieceCount(std::max<std::size_t>(pieceCount, 1)), m_sizes(m_pieceCount) {
    if (m_pieceSize > INT_MAX / m_pieceCount) {
        ThrowOutOfMemory();
    }
    AllocZeroedBuffer(m_pieces, static_cast<int>(m_pieceSize * m_pieceCount));
    try {
        m_thread = std::thread([this] { Work(); });
    } catch (...) {
    }
}

CPieceQueue::~CPieceQueue() {
    Stop();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

unsigned char* CPieceQueue::Take() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_filled < m_pieceCount || m_stopped; });
    if (m_stopped || m_finishing) {
        return nullptr;
    }
    return PieceAt((m_first + m_filled) % m_pieceCount);
}

bool CPieceQueue::Hand(std::size_t size) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_stopped || m_finishing) {
        return false;
    }
    const std::size_t index = (m_first + m_filled) % m_pieceCount;
    if (!m_thread.joinable()) {
        lock.unlock();
        if (ConsumeAt(index, size)) {
            return true;
        }
        lock.lock();
        m_stopped = true;
        return false;
    }
    m_sizes[index] = std::min(size, m_pieceSize);
    ++m_filled;
    m_changed.notify_all();
    return true;
}

bool CPieceQueue::Add(const void* bytes, std::size_t size) {
    const auto* from = static_cast<const unsigned char*>(bytes);
    while (size != 0) {
        unsigned char* piece = Take();
        if (piece == nullptr) {
            return false;
        }
        const std::size_t part = std::min(size, m_pieceSize);
        std::memcpy(piece, from, part);
        if (!Hand(part)) {
            return false;
        }
        from += part;
        size -= part;
    }
    const std::lock_guard<std::mutex> lock(m_mutex);
    return !m_stopped;
}

bool CPieceQueue::Finish() {
    Raise(m_finishing);
    if (m_thread.joinable()) {
        m_thread.join();
    }
    const std::lock_guard<std::mutex> lock(m_mutex);
    return !m_stopped;
}

void CPieceQueue::Stop() {
    Raise(m_stopped);
}

void CPieceQueue::Raise(bool& flag) {
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        flag = true;
    }
    m_changed.notify_all();
}

bool CPieceQueue::ConsumeAt(std::size_t index, std::size_t size) noexcept {
    try {
        return m_consume(PieceAt(index), size);
    } catch (...) {
        return false;
    }
}

void CPieceQueue::Work() noexcept {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_filled != 0 || m_stopped || m_finishing; });
        if (m_stopped || m_filled == 0) {
            return;
        }
        const std::size_t index = m_first;
        const std::size_t size = m_sizes[index];
        lock.unlock();
        const bool consumed = ConsumeAt(index, size);
        lock.lock();
        if (!consumed) {
            m_stopped = true;
        } else {
            m_first = (m_first + 1) % m_pieceCount;
            --m_filled;
        }
        m_changed.notify_all();
    }
}
