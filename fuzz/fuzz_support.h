// What every fuzz target shares: a reader over the fuzzer's bytes, the pool
// balance check around one machine's life, and the way a target reports a
// fault (it aborts, so libFuzzer keeps the input). The platform's rules are
// checked by its default handler, which aborts on any violation.
#pragma once

#include <dlfcn.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "platform/kernel/pool.h"

namespace vexa::fuzz {

[[noreturn]] inline void Fail(const std::string& what) {
    std::fprintf(stderr, "fuzz target fault: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

// libFuzzer counts coverage in every loaded image and cannot forget one, so
// the driver images stay mapped for the whole run: the machine's loader then
// loads and unloads the same copy for each input (their globals must be
// reset by their unload, as they are).
inline void KeepImagesLoaded(std::initializer_list<std::string> images) {
    for (const std::string& image : images) {
        if (dlopen(image.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE) == nullptr) Fail(dlerror());
    }
}

// Takes values from the front of the input; an exhausted input reads zeros.
class Reader {
public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool empty() const { return offset_ >= size_; }
    size_t remaining() const { return size_ - std::min(offset_, size_); }

    uint8_t u8() {
        return offset_ < size_ ? data_[offset_++] : 0;
    }
    uint16_t u16() { return static_cast<uint16_t>(u8() | (u8() << 8)); }
    uint32_t u32() { return static_cast<uint32_t>(u16()) | (static_cast<uint32_t>(u16()) << 16); }
    uint64_t u64() { return static_cast<uint64_t>(u32()) | (static_cast<uint64_t>(u32()) << 32); }
    // A value in [0, count).
    size_t pick(size_t count) { return count == 0 ? 0 : u8() % count; }
    // Up to `bytes` bytes (fewer when the input runs out).
    std::vector<uint8_t> bytes(size_t bytes) {
        size_t n = std::min(bytes, remaining());
        std::vector<uint8_t> out(data_ + offset_, data_ + offset_ + n);
        offset_ += n;
        return out;
    }
    // Fills `out` from the input, zeros past its end.
    void fill(uint8_t* out, size_t bytes) {
        size_t n = std::min(bytes, remaining());
        if (n != 0) std::memcpy(out, data_ + offset_, n);
        if (bytes > n) std::memset(out + n, 0, bytes - n);
        offset_ += n;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t offset_ = 0;
};

// Every pool tag's outstanding blocks and bytes must be back where they were
// once the machine that ran the input has shut down.
class PoolBalance {
public:
    PoolBalance() : before_(platform::pool::snapshot()) {}

    void check() const {
        std::map<ULONG, platform::pool::TagStats> after = platform::pool::snapshot();
        for (const auto& [tag, stats] : after) {
            auto it = before_.find(tag);
            int64_t blocks = it == before_.end() ? 0 : it->second.blocks;
            int64_t bytes = it == before_.end() ? 0 : it->second.bytes;
            if (stats.blocks != blocks || stats.bytes != bytes) {
                char text[5] = {static_cast<char>(tag >> 24), static_cast<char>(tag >> 16),
                                static_cast<char>(tag >> 8), static_cast<char>(tag), 0};
                Fail("pool tag '" + std::string(text) + "' holds " + std::to_string(stats.blocks - blocks) +
                     " blocks (" + std::to_string(stats.bytes - bytes) + " bytes) after the machine shut down");
            }
        }
    }

private:
    std::map<ULONG, platform::pool::TagStats> before_;
};

}  // namespace vexa::fuzz
