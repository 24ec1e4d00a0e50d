#include "common/PieceQueue.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t PieceSize = 4;
constexpr std::size_t PieceCount = 3;

// A consumer held at its first piece until released, so that the producer fills every piece.
class HeldConsumer {
public:
    // Answers this for every piece once released.
    explicit HeldConsumer(bool goesOn) : m_goesOn(goesOn), m_released(m_release.get_future()) {}

    CPieceQueue::Consume Get() {
        return [this](const unsigned char* bytes, std::size_t size) {
            m_released.wait();
            m_thread = GetCurrentThreadId();
            m_consumed.append(reinterpret_cast<const char*>(bytes), size);
            ++m_pieces;
            return m_goesOn;
        };
    }
    void Release() { m_release.set_value(); }

    std::string m_consumed;
    std::atomic<int> m_pieces{0};
    DWORD m_thread = 0;

private:
    const bool m_goesOn;
    std::promise<void> m_release;
    std::shared_future<void> m_released;
};

// Hands the text over a piece at a time on a thread of its own, counting the pieces handed.
class Producer {
public:
    Producer(CPieceQueue& queue, const std::string& text)
        : m_thread([this, &queue, text] {
              for (std::size_t at = 0; at < text.size() && m_goesOn; at += PieceSize) {
                  m_goesOn = queue.Add(text.data() + at, text.substr(at, PieceSize).size());
                  m_handed += m_goesOn ? 1 : 0;
              }
          }) {}
    ~Producer() { Join(); }

    // Until the producer has handed over as many pieces as it can without a consumer.
    void WaitUntilEveryPieceIsFull() const {
        for (int waited = 0; m_handed < static_cast<int>(PieceCount) && waited < 10000; ++waited) {
            Sleep(1);
        }
        Sleep(50);
    }
    void Join() {
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }

    std::atomic<int> m_handed{0};
    std::atomic<bool> m_goesOn{true};

private:
    std::thread m_thread;
};

const std::string Text = "the bytes of a signed archive, piece by piece";

} // namespace

TEST(PieceQueue, HoldsUpTheProducerOnceEveryPieceIsFullAndConsumesInOrder) {
    HeldConsumer consumer(true);
    CPieceQueue queue(consumer.Get(), PieceSize, PieceCount);
    {
        Producer producer(queue, Text);
        producer.WaitUntilEveryPieceIsFull();
        EXPECT_EQ(producer.m_handed, static_cast<int>(PieceCount));
        consumer.Release();
    }
    EXPECT_TRUE(queue.Finish());
    EXPECT_EQ(consumer.m_consumed, Text);
    EXPECT_NE(consumer.m_thread, GetCurrentThreadId());
}

// Either way the producer, waiting for a free piece, goes on at once with false, and nothing
// after the piece at work is consumed.
TEST(PieceQueue, AStopFromEitherSideEndsBoth) {
    for (const bool consumerFails : {true, false}) {
        SCOPED_TRACE(consumerFails ? "the consumer fails" : "the producer stops");
        HeldConsumer consumer(!consumerFails);
        CPieceQueue queue(consumer.Get(), PieceSize, PieceCount);
        Producer producer(queue, Text);
        producer.WaitUntilEveryPieceIsFull();
        if (!consumerFails) {
            queue.Stop();
        }
        consumer.Release();
        producer.Join();
        EXPECT_FALSE(producer.m_goesOn);
        EXPECT_EQ(producer.m_handed, static_cast<int>(PieceCount));
        EXPECT_FALSE(queue.Finish());
        EXPECT_EQ(consumer.m_pieces, 1);
        EXPECT_EQ(queue.Take(), nullptr);
    }
    // A queue that nobody hands anything is stopped by its end.
    HeldConsumer idle(true);
    const CPieceQueue unused(idle.Get(), PieceSize, PieceCount);
}
