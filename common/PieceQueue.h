#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// Bytes handed over, in order, from the thread that produces them to a thread of the queue's own
// that consumes them, through a fixed number of pieces of a fixed size allocated once. The
// producer goes on with the next piece while the last ones are consumed and waits only while
// every piece is full, so the queue never holds more than its pieces. A consumer that fails, or a
// stop by either side, ends both: the producer's calls answer false from then on, and nothing
// more is consumed. Where no thread can be started, each piece is consumed as it is handed over.
class CPieceQueue {
public:
    // False when the consumer cannot go on; an exception counts as false.
    using Consume = std::function<bool(const unsigned char* bytes, std::size_t size)>;

    // Throws "Out of memory" when the pieces cannot be had.
    CPieceQueue(Consume consume, std::size_t pieceSize, std::size_t pieceCount);
    CPieceQueue(const CPieceQueue&) = delete;
    CPieceQueue& operator=(const CPieceQueue&) = delete;
    // Stops without consuming what is still queued.
    virtual ~CPieceQueue();

    std::size_t GetPieceSize() const { return m_pieceSize; }

    // For a producer that fills the pieces itself: the next free piece, waited for while every
    // piece is full; null once the queue has stopped.
    unsigned char* Take();
    // Hands the piece that Take gave over, filled with size bytes; false once the queue has
    // stopped.
    bool Hand(std::size_t size);
    // Copies the bytes over, in as many pieces as they take; false once the queue has stopped.
    bool Add(const void* bytes, std::size_t size);

    // Returns once everything handed over is consumed, and ends the queue's thread; true when
    // all of it was. Nothing may be handed over afterwards.
    bool Finish();
    // Ends both sides at once; the consumer finishes the piece it is at and takes no other.
    void Stop();

private:
    unsigned char* PieceAt(std::size_t index) const { return m_pieces.get() + index * m_pieceSize; }
    bool ConsumeAt(std::size_t index, std::size_t size) noexcept;
    // Sets one of the two flags below, and wakes both sides to see it.
    void Raise(bool& flag);
    void Work() noexcept;

    Consume m_consume;
    const std::size_t m_pieceSize;
    const std::size_t m_pieceCount;
    std::unique_ptr<unsigned char[]> m_pieces;
    std::vector<std::size_t> m_sizes;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::size_t m_first = 0;  // the oldest piece handed over and not yet consumed
    std::size_t m_filled = 0; // pieces handed over and not yet consumed, the one at work included
    bool m_finishing = false;
    bool m_stopped = false;
    // Last, so that the thread starts once everything it uses is there.
    std::thread m_thread;
};
