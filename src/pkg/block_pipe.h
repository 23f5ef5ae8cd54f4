// A bounded queue of fixed-size blocks between one producing and one
// consuming side, so that the stages of reading a package (raw reading and
// hashing, inflating, writing files) can run side by side on several
// processors with a fixed amount of memory.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class BlockPipe {
public:
    struct Block {
        char* data = nullptr;
        size_t size = 0;
        uint64_t position = 0;  // free for the producer's use (how far its input had got)
    };
    // Fills one block: up to blockSize() bytes at block.data, the count in
    // block.size. A block shorter than blockSize() is the last one.
    using Producer = std::function<void(Block&)>;

    BlockPipe(size_t blockSize, size_t blocks, Producer produce);
    ~BlockPipe();
    BlockPipe(const BlockPipe&) = delete;
    BlockPipe& operator=(const BlockPipe&) = delete;

    // Runs the producer in a thread of its own, ahead of the consumer by at
    // most the pipe's blocks. Without a thread (false) the consumer's next()
    // calls the producer itself, one block at a time.
    bool startThread();

    // Gives back the block handed out before and hands out the next one;
    // false at the end of the data (or once stopping). The block stays valid
    // until the next call.
    bool next(Block& block);

    // Asks the producer's thread to end after the block it is filling (wakes
    // a consumer waiting in next(), which then gets false); join() waits for it.
    void requestStop();
    void join();

    size_t blockSize() const { return blockSize_; }

private:
    void run();

    const size_t blockSize_;
    std::vector<char> storage_;
    std::vector<Block> blocks_;
    Producer produce_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    size_t filled_ = 0;     // blocks filled and not given back (a held one counts)
    size_t head_ = 0;       // the oldest of them
    bool holding_ = false;  // the consumer holds the block at head_
    bool ended_ = false;    // the last block has been filled
    bool stopping_ = false;
};
