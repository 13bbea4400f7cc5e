#include "ts_output_queue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Bytes that differ from their neighbours, so a reordering or a lost piece shows.
std::vector<uint8_t> pattern(size_t size, uint32_t seed = 1)
{
    std::vector<uint8_t> bytes(size);
    uint32_t x = seed;
    for (auto &b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return bytes;
}

// Takes chunks until the queue says stop; returns everything taken and the chunk sizes.
std::vector<uint8_t> drain(TsOutputQueue &queue, std::vector<size_t> *sizes = nullptr)
{
    std::vector<uint8_t> out;
    uint8_t chunk[SRT_CHUNK_SIZE];
    for (size_t n; (n = queue.take_chunk(chunk)) > 0;) {
        out.insert(out.end(), chunk, chunk + n);
        if (sizes)
            sizes->push_back(n);
    }
    return out;
}

TEST(TsOutputQueue, OneAvioBlockFitsAtOnceAndSetsHighWater)
{
    TsOutputQueue queue;
    const auto block = pattern(32768);
    const auto begin = Clock::now();
    ASSERT_TRUE(queue.push(block.data(), block.size()));
    EXPECT_LT(Clock::now() - begin, 1s);
    EXPECT_EQ(queue.buffered(), 32768u);
    EXPECT_EQ(queue.high_water(), 32768u);
}

TEST(TsOutputQueue, WrapAroundKeepsOrderAndHighWaterNeverDrops)
{
    TsOutputQueue queue;
    // Fill nearly to the end of the storage, take most of it out, then push a block that
    // must be split at the end of the storage.
    const auto first = pattern(SRT_QUEUE_CAPACITY - 100, 7);
    const auto second = pattern(5000, 9);
    ASSERT_TRUE(queue.push(first.data(), first.size()));
    std::vector<uint8_t> out;
    uint8_t chunk[SRT_CHUNK_SIZE];
    while (queue.buffered() >= SRT_CHUNK_SIZE) {
        const size_t n = queue.take_chunk(chunk);
        ASSERT_EQ(n, SRT_CHUNK_SIZE);
        out.insert(out.end(), chunk, chunk + n);
    }
    ASSERT_TRUE(queue.push(second.data(), second.size()));
    queue.mark_finishing();
    std::vector<size_t> sizes;
    const auto rest = drain(queue, &sizes);
    out.insert(out.end(), rest.begin(), rest.end());

    std::vector<uint8_t> expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    ASSERT_EQ(out.size(), expected.size());
    EXPECT_TRUE(out == expected);
    EXPECT_EQ(queue.high_water(), SRT_QUEUE_CAPACITY - 100);
    // Only the very last chunk of a finishing queue may be short.
    for (size_t i = 0; i + 1 < sizes.size(); ++i)
        EXPECT_EQ(sizes[i], SRT_CHUNK_SIZE) << "chunk " << i;
    EXPECT_EQ(sizes.back(), expected.size() % SRT_CHUNK_SIZE);
}

TEST(TsOutputQueue, ConcurrentProducerAndConsumerDeliverEveryByteInOrder)
{
    TsOutputQueue queue;
    // Several times the capacity in uneven blocks, so the ring wraps at many offsets.
    const auto data = pattern(3 * SRT_QUEUE_CAPACITY + 12345, 3);
    std::thread producer([&] {
        size_t pos = 0;
        size_t step = 1;
        while (pos < data.size()) {
            const size_t n = std::min(data.size() - pos, (step * 7919) % 32768 + 1);
            if (!queue.push(data.data() + pos, n)) {
                ADD_FAILURE() << "push failed at " << pos;
                queue.close_queue();   // lets the consumer stop
                return;
            }
            pos += n;
            ++step;
        }
        queue.mark_finishing();
    });
    const auto out = drain(queue);
    producer.join();
    ASSERT_EQ(out.size(), data.size());
    EXPECT_TRUE(out == data);
    EXPECT_LE(queue.high_water(), SRT_QUEUE_CAPACITY);
}

TEST(TsOutputQueue, ShortRestWaitsUntilFinishing)
{
    TsOutputQueue queue;
    const auto bytes = pattern(SRT_CHUNK_SIZE - 1);
    ASSERT_TRUE(queue.push(bytes.data(), bytes.size()));
    std::vector<uint8_t> got(SRT_CHUNK_SIZE);
    auto taken = std::async(std::launch::async, [&] { return queue.take_chunk(got.data()); });
    EXPECT_EQ(taken.wait_for(300ms), std::future_status::timeout) << "1315 bytes went out mid-run";
    queue.mark_finishing();
    ASSERT_EQ(taken.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(taken.get(), SRT_CHUNK_SIZE - 1);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), got.begin()));
    EXPECT_EQ(queue.take_chunk(got.data()), 0u);
}

TEST(TsOutputQueue, BatchTakesWholeChunksOnlyAndTheRestLastWhenFinishing)
{
    TsOutputQueue queue;
    const auto bytes = pattern(5 * SRT_CHUNK_SIZE + 100, 5);
    ASSERT_TRUE(queue.push(bytes.data(), bytes.size()));
    std::vector<uint8_t> got;
    std::vector<uint8_t> batch(3 * SRT_CHUNK_SIZE);
    EXPECT_EQ(queue.take_chunks(batch.data(), 3), 3 * SRT_CHUNK_SIZE);  // capped by the caller
    got.insert(got.end(), batch.begin(), batch.end());
    EXPECT_EQ(queue.take_chunks(batch.data(), 3), 2 * SRT_CHUNK_SIZE);  // whole chunks only
    got.insert(got.end(), batch.begin(), batch.begin() + 2 * SRT_CHUNK_SIZE);

    auto rest = std::async(std::launch::async, [&] { return queue.take_chunks(batch.data(), 3); });
    EXPECT_EQ(rest.wait_for(300ms), std::future_status::timeout) << "100 bytes went out mid-run";
    queue.mark_finishing();
    ASSERT_EQ(rest.wait_for(5s), std::future_status::ready);
    ASSERT_EQ(rest.get(), 100u);
    got.insert(got.end(), batch.begin(), batch.begin() + 100);
    EXPECT_TRUE(got == bytes);
    EXPECT_EQ(queue.take_chunks(batch.data(), 3), 0u);
}

// The muxer hands over each packet's TS on its own, often a few TS packets at a time: the
// waiting sender must be woken once those small pieces make up a chunk, and batches must
// carry every byte in order.
TEST(TsOutputQueue, SmallPiecesWakeTheBatchTakerOnceTheyMakeAChunk)
{
    TsOutputQueue queue;
    {
        const auto packets = pattern(SRT_CHUNK_SIZE, 11);  // seven TS packets
        std::vector<uint8_t> got(16 * SRT_CHUNK_SIZE);
        auto taken = std::async(std::launch::async, [&] { return queue.take_chunks(got.data(), 16); });
        for (size_t i = 0; i < 6; ++i)
            ASSERT_TRUE(queue.push(packets.data() + 188 * i, 188));
        EXPECT_EQ(taken.wait_for(200ms), std::future_status::timeout) << "woken before a whole chunk";
        ASSERT_TRUE(queue.push(packets.data() + 188 * 6, 188));
        ASSERT_EQ(taken.wait_for(5s), std::future_status::ready) << "not woken by the seventh packet";
        ASSERT_EQ(taken.get(), SRT_CHUNK_SIZE);
        EXPECT_TRUE(std::equal(packets.begin(), packets.end(), got.begin()));
    }

    const auto data = pattern(2 * SRT_QUEUE_CAPACITY + 777, 7);
    std::thread producer([&] {
        size_t pos = 0;
        size_t step = 0;
        while (pos < data.size()) {
            const size_t n = std::min(data.size() - pos, size_t{188} * (1 + step % 9));
            if (!queue.push(data.data() + pos, n)) {
                ADD_FAILURE() << "push failed at " << pos;
                queue.close_queue();
                return;
            }
            pos += n;
            if (++step % 50 == 0)
                std::this_thread::sleep_for(1ms);  // lets the taker catch up and wait
        }
        queue.mark_finishing();
    });
    std::vector<uint8_t> out;
    std::vector<uint8_t> batch(16 * SRT_CHUNK_SIZE);
    std::vector<size_t> sizes;
    for (size_t n; (n = queue.take_chunks(batch.data(), 16)) > 0;) {
        out.insert(out.end(), batch.begin(), batch.begin() + static_cast<std::ptrdiff_t>(n));
        sizes.push_back(n);
    }
    producer.join();
    ASSERT_EQ(out.size(), data.size());
    EXPECT_TRUE(out == data);
    for (size_t i = 0; i + 1 < sizes.size(); ++i)
        EXPECT_EQ(sizes[i] % SRT_CHUNK_SIZE, 0u) << "batch " << i;
}

TEST(TsOutputQueue, FullQueueFailsAfterOneWaitWithoutProgress)
{
    struct Case {
        const char *name;
        std::chrono::milliseconds wait;
    };
    // The production limit once, and a short one.
    for (const Case &c : {Case{"default", std::chrono::duration_cast<std::chrono::milliseconds>(SRT_WRITE_WAIT)},
                          Case{"short", 200ms}}) {
        SCOPED_TRACE(c.name);
        TsOutputQueue queue(c.wait);
        const auto full = pattern(SRT_QUEUE_CAPACITY);
        ASSERT_TRUE(queue.push(full.data(), full.size()));
        const uint8_t one = 1;
        const auto begin = Clock::now();
        EXPECT_FALSE(queue.push(&one, 1));
        const auto waited = Clock::now() - begin;
        EXPECT_GE(waited, c.wait - 10ms);
        EXPECT_LT(waited, c.wait + 3s);
        // A stall does not close the queue by itself; the caller decides.
        EXPECT_FALSE(queue.closed());
        EXPECT_EQ(queue.buffered(), SRT_QUEUE_CAPACITY);
    }
}

TEST(TsOutputQueue, BlockLargerThanFreeSpaceGoesInPiecemealAsSpaceFrees)
{
    TsOutputQueue queue(2s);
    const auto head = pattern(SRT_QUEUE_CAPACITY - 1000, 5);
    const auto tail = pattern(20000, 6);
    ASSERT_TRUE(queue.push(head.data(), head.size()));
    auto pushed = std::async(std::launch::async, [&] {
        const bool ok = queue.push(tail.data(), tail.size());
        if (!ok)
            queue.close_queue();   // lets the consumer below stop
        return ok;
    });
    std::vector<uint8_t> out;
    uint8_t chunk[SRT_CHUNK_SIZE];
    // Each chunk taken frees space well within the wait limit.
    while (out.size() < head.size() + tail.size() - SRT_CHUNK_SIZE) {
        const size_t n = queue.take_chunk(chunk);
        ASSERT_GT(n, 0u);
        out.insert(out.end(), chunk, chunk + n);
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(pushed.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(pushed.get());
    queue.mark_finishing();
    const auto rest = drain(queue);
    out.insert(out.end(), rest.begin(), rest.end());
    std::vector<uint8_t> expected = head;
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_TRUE(out == expected);
}

TEST(TsOutputQueue, CloseWakesWaitingProducerAndConsumer)
{
    struct Case {
        const char *name;
        bool fill;   // true: the producer waits for space; false: the consumer waits for data
    };
    for (const Case &c : {Case{"producer", true}, Case{"consumer", false}}) {
        SCOPED_TRACE(c.name);
        TsOutputQueue queue;   // full wait of 5 s: only close can end it early
        const auto full = pattern(SRT_QUEUE_CAPACITY);
        if (c.fill) {
            ASSERT_TRUE(queue.push(full.data(), full.size()));
        }
        std::vector<uint8_t> buf(SRT_CHUNK_SIZE);
        const uint8_t one = 1;
        auto waiter = std::async(std::launch::async, [&] {
            return c.fill ? (queue.push(&one, 1) ? 1u : 0u) : queue.take_chunk(buf.data());
        });
        ASSERT_EQ(waiter.wait_for(200ms), std::future_status::timeout);
        const auto begin = Clock::now();
        queue.close_queue();
        ASSERT_EQ(waiter.wait_for(2s), std::future_status::ready);
        EXPECT_LT(Clock::now() - begin, 2s);
        EXPECT_EQ(waiter.get(), 0u);
    }
}

TEST(TsOutputQueue, ClosedQueueDropsContentAndRefusesBothSides)
{
    TsOutputQueue queue;
    const auto bytes = pattern(10 * SRT_CHUNK_SIZE);
    ASSERT_TRUE(queue.push(bytes.data(), bytes.size()));
    queue.close_queue();
    EXPECT_TRUE(queue.closed());
    EXPECT_EQ(queue.buffered(), 0u);
    uint8_t chunk[SRT_CHUNK_SIZE];
    EXPECT_EQ(queue.take_chunk(chunk), 0u);
    const auto begin = Clock::now();
    EXPECT_FALSE(queue.push(bytes.data(), 1));
    EXPECT_LT(Clock::now() - begin, 1s);
    // Finishing after a close does not bring the bytes back.
    queue.mark_finishing();
    EXPECT_EQ(queue.take_chunk(chunk), 0u);
    EXPECT_EQ(queue.high_water(), bytes.size());
}

} // namespace
