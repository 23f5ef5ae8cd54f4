#include "pkg/block_pipe.h"

#include <system_error>
#include <utility>

BlockPipe::BlockPipe(size_t blockSize, size_t blocks, Producer produce)
    : blockSize_(blockSize), storage_(blockSize * blocks), blocks_(blocks), produce_(std::move(produce)) {
    for (size_t i = 0; i < blocks; ++i)
        blocks_[i].data = storage_.data() + i * blockSize;
}

BlockPipe::~BlockPipe() {
    requestStop();
    join();
}

bool BlockPipe::startThread() {
    if (thread_.joinable())
        return true;
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void BlockPipe::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (size_t tail = head_;; tail = (tail + 1) % blocks_.size()) {
        changed_.wait(lock, [&] { return stopping_ || filled_ < blocks_.size(); });
        if (stopping_)
            return;
        // The block at the tail is neither queued nor held: it is filled
        // without the lock.
        Block& block = blocks_[tail];
        lock.unlock();
        produce_(block);
        const bool last = block.size < blockSize_;
        lock.lock();
        ++filled_;
        ended_ = last;
        changed_.notify_all();
        if (last)
            return;
    }
}

bool BlockPipe::next(Block& block) {
    if (!thread_.joinable()) {
        if (ended_ || stopping_)
            return false;
        Block& only = blocks_[0];
        produce_(only);
        ended_ = only.size < blockSize_;
        block = only;
        return block.size > 0;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (holding_) {
        holding_ = false;
        --filled_;
        head_ = (head_ + 1) % blocks_.size();
        changed_.notify_all();
    }
    changed_.wait(lock, [&] { return stopping_ || filled_ > 0 || ended_; });
    if (stopping_ || filled_ == 0)
        return false;
    holding_ = true;
    block = blocks_[head_];
    return block.size > 0;
}

void BlockPipe::requestStop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
}

void BlockPipe::join() {
    if (thread_.joinable())
        thread_.join();
}
