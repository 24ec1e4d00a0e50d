#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

// Work that can go on beside the thread that hands it over, such as flushing a written file while
// the next one is written: the items are processed in order on a thread of the queue's own, and
// Finish waits until all of them are done. A full queue holds up the thread that adds, so that
// what waits stays bounded. Where no thread can be started, items are processed as they come.
template <class Item> class CBackgroundQueue {
public:
    using Process = std::function<void(Item&)>;

    explicit CBackgroundQueue(Process process, std::size_t capacity = 64)
        : m_process(std::move(process)), m_capacity(capacity) {
        try {
            m_thread = std::thread([this] { Work(); });
        } catch (...) {
        }
    }
    CBackgroundQueue(const CBackgroundQueue&) = delete;
    CBackgroundQueue& operator=(const CBackgroundQueue&) = delete;
    virtual ~CBackgroundQueue() { Finish(); }

    void Add(Item item) {
        if (!m_thread.joinable()) {
            m_process(item);
            return;
        }
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_items.size() < m_capacity; });
        m_items.push_back(std::move(item));
        m_changed.notify_all();
    }

    // Returns once every item added so far has been processed; nothing may be added after.
    void Finish() noexcept {
        if (!m_thread.joinable()) {
            return;
        }
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_finishing = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }

private:
    void Work() noexcept {
        for (;;) {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_changed.wait(lock, [this] { return !m_items.empty() || m_finishing; });
            if (m_items.empty()) {
                return;
            }
            Item item = std::move(m_items.front());
            m_items.pop_front();
            m_changed.notify_all();
            lock.unlock();
            try {
                m_process(item);
            } catch (...) {
            }
        }
    }

    Process m_process;
    const std::size_t m_capacity;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Item> m_items;
    bool m_finishing = false;
    std::thread m_thread;
};
