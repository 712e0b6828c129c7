// The memory I/O callbacks the core reads and writes a buffer through, driven by a sequence of
// calls with arbitrary offsets, lengths and sizes and checked against a plain byte vector: no
// byte outside the block moves, reads give what was written, growth is zero-filled.
//
// Input: one byte N, N bytes of the block's first contents, then calls of 9 bytes each: kind,
// offset (4 bytes), length or size (4 bytes).
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bd/bd_buf_iface.h"
#include "fuzz/fuzz_support.h"

namespace {

// Blocks are kept below this size: growth to what signed offsets reach is allowed by the
// callbacks, but would only measure the allocator.
constexpr int64_t kMaxBlock = 1 << 20;

struct Block {
    void *accum = nullptr;
    uint32_t length = 0;
    CoreIOObject object{};

    Block() {
        object.name = "Unknown";
        object.context1 = reinterpret_cast<intptr_t>(&accum);
        object.context2 = reinterpret_cast<intptr_t>(&length);
    }
    ~Block() { std::free(accum); }
    Block(const Block &) = delete;
    Block &operator=(const Block &) = delete;
};

void checkSame(const Block &block, const std::vector<uint8_t> &model) {
    QL_FUZZ_CHECK(block.length == model.size());
    QL_FUZZ_CHECK(model.empty() || std::memcmp(block.accum, model.data(), model.size()) == 0);
}

// A read that must move the bytes the model names, into a buffer of exactly that many bytes.
void readCall(Block &block, const std::vector<uint8_t> &model, int32_t offset, int32_t length) {
    int64_t expected = 0;
    if (offset >= 0 && length > 0 && offset < static_cast<int64_t>(model.size())) {
        expected = std::min<int64_t>(length, static_cast<int64_t>(model.size()) - offset);
    }
    std::vector<uint8_t> out(static_cast<std::size_t>(std::max<int64_t>(expected, 1)));
    int32_t done = -1;
    QL_FUZZ_CHECK(QL_BD_memRead(out.data(), offset, length, &done, &block.object) == 0);
    QL_FUZZ_CHECK(done == expected);
    QL_FUZZ_CHECK(expected == 0 || std::memcmp(out.data(), model.data() + offset,
                                               static_cast<size_t>(expected)) == 0);
}

void writeCall(Block &block, std::vector<uint8_t> &model, int32_t offset, int32_t length,
               uint8_t fill) {
    int64_t end = int64_t{offset} + length;
    bool refused = offset < 0 || length <= 0 || end > INT32_MAX;
    if (!refused && end > kMaxBlock) {
        return;
    }
    // A refused call gets a one-byte buffer: reading more of it is a fault.
    std::vector<uint8_t> in(refused ? 1 : static_cast<std::size_t>(length), fill);
    int32_t done = -1;
    QL_FUZZ_CHECK(QL_BD_memWrite(in.data(), offset, length, &done, &block.object) == 0);
    if (refused) {
        QL_FUZZ_CHECK(done == 0);
        return;
    }
    QL_FUZZ_CHECK(done == length);
    if (end > static_cast<int64_t>(model.size())) {
        model.resize(static_cast<std::size_t>(end), 0);
    }
    std::fill_n(model.begin() + offset, length, fill);
}

void setSizeCall(Block &block, std::vector<uint8_t> &model, uint32_t size) {
    if (size > INT32_MAX) {
        QL_FUZZ_CHECK(QL_BD_memSetSize(size, &block.object) == -1);
        return;
    }
    if (size > kMaxBlock) {
        return;
    }
    QL_FUZZ_CHECK(QL_BD_memSetSize(size, &block.object) == 0);
    if (size != 0) {
        model.resize(size, 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) {
        return 0;
    }
    std::size_t first = std::min<std::size_t>(data[0], size - 1);
    std::vector<uint8_t> model(data + 1, data + 1 + first);
    Block block;
    if (!model.empty()) {
        block.accum = std::malloc(model.size());
        QL_FUZZ_CHECK(block.accum != nullptr);
        std::memcpy(block.accum, model.data(), model.size());
        block.length = static_cast<uint32_t>(model.size());
    }
    constexpr std::size_t kCallSize = 9;
    for (std::size_t at = 1 + first; at + kCallSize <= size; at += kCallSize) {
        const uint8_t kind = data[at];
        int32_t offset;
        uint32_t count;
        std::memcpy(&offset, data + at + 1, 4);
        std::memcpy(&count, data + at + 5, 4);
        auto length = static_cast<int32_t>(count);
        switch (kind % 6) {
            case 0:
                readCall(block, model, offset, length);
                break;
            case 1:
                writeCall(block, model, offset, length, kind);
                break;
            case 2:
                setSizeCall(block, model, count);
                break;
            case 3: {
                uint32_t got = 0;
                QL_FUZZ_CHECK(QL_BD_memGetSize(&got, &block.object) == 0);
                QL_FUZZ_CHECK(got == model.size());
                break;
            }
            case 4: {
                int32_t done = 0;
                QL_FUZZ_CHECK(QL_BD_memRead(nullptr, offset, length, nullptr, &block.object) == -1);
                QL_FUZZ_CHECK(QL_BD_memWrite(nullptr, offset, length, &done, nullptr) == -1);
                QL_FUZZ_CHECK(QL_BD_memGetSize(nullptr, &block.object) == -1);
                QL_FUZZ_CHECK(QL_BD_memSetSize(count, nullptr) == -1);
                break;
            }
            default:
                QL_FUZZ_CHECK(QL_BD_memOpen(&block.object) == 0);
                QL_FUZZ_CHECK(QL_BD_memClose(&block.object) == 0);
                break;
        }
        checkSame(block, model);
    }
    return 0;
}
