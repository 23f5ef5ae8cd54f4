#include "pkg/block_pipe.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>

namespace {

// Produces `total` bytes (byte i is i % 251) in blocks of 8; position = bytes so far.
BlockPipe::Producer counting(size_t total, size_t& made) {
    return [total, &made](BlockPipe::Block& block) {
        block.size = std::min<size_t>(8, total - made);
        for (size_t i = 0; i < block.size; ++i)
            block.data[i] = char((made + i) % 251);
        made += block.size;
        block.position = made;
    };
}

std::string drain(BlockPipe& pipe, std::vector<uint64_t>* positions = nullptr) {
    std::string out;
    BlockPipe::Block block;
    while (pipe.next(block)) {
        out.append(block.data, block.size);
        if (positions)
            positions->push_back(block.position);
    }
    EXPECT_FALSE(pipe.next(block));  // stays ended
    return out;
}

TEST(BlockPipe, ThreadedAndInlineHandOutTheSameBytes) {
    for (size_t total : {0u, 5u, 8u, 64u, 1001u}) {
        std::string expected;
        for (size_t i = 0; i < total; ++i)
            expected += char(i % 251);
        for (bool threaded : {false, true}) {
            size_t made = 0;
            BlockPipe pipe(8, 3, counting(total, made));
            if (threaded) {
                ASSERT_TRUE(pipe.startThread());
            }
            std::vector<uint64_t> positions;
            EXPECT_EQ(drain(pipe, &positions), expected) << total << (threaded ? " threaded" : " inline");
            for (size_t i = 0; i < positions.size(); ++i)
                EXPECT_EQ(positions[i], std::min<uint64_t>(8 * (i + 1), total));
        }
    }
}

TEST(BlockPipe, ProducerStaysWithinItsBlocks) {
    std::atomic<int> produced{0};
    BlockPipe pipe(4, 3, [&](BlockPipe::Block& block) {
        ++produced;
        block.size = 4;
    });
    ASSERT_TRUE(pipe.startThread());
    // Waits until the producer got to `count`, then gives it time to overrun.
    auto reaches = [&](int count) {
        for (int i = 0; i < 5000 && produced.load() < count; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return produced.load();
    };
    BlockPipe::Block block;
    ASSERT_TRUE(pipe.next(block));  // held: it is not refilled under the reader
    EXPECT_EQ(reaches(3), 3);
    ASSERT_TRUE(pipe.next(block));
    EXPECT_EQ(reaches(4), 4);
    // Stopping ends a producer that waits for room.
    pipe.requestStop();
    pipe.join();
    EXPECT_FALSE(pipe.next(block));
}

TEST(BlockPipe, StopWakesAReaderWaitingForAStuckProducer) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    BlockPipe pipe(4, 2, [released](BlockPipe::Block& block) {
        released.wait();
        block.size = 4;
    });
    ASSERT_TRUE(pipe.startThread());
    auto reader = std::async(std::launch::async, [&] {
        BlockPipe::Block block;
        return pipe.next(block);
    });
    EXPECT_EQ(reader.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    pipe.requestStop();
    EXPECT_FALSE(reader.get());
    // The producer finishes the block it is in, then ends.
    release.set_value();
    pipe.join();
}

}  // namespace
