// Fuzz target: the answer reader fed arbitrary standard input, delivered in
// blocks of arbitrary sizes, with read errors and early ends of input.
//
// Input layout:
//   byte 0        the answer the reader starts from
//   byte 1        n: the number of schedule steps (n % 33)
//   bytes 2..n+1  the schedule: how the fake standard input serves each read
//   the rest      the bytes standing in for standard input
//
// A schedule step s serves one read: s == 0 fails the read (-1), s == 1 ends
// input early (0, as Ctrl-D on a console does), any other s delivers up to
// 1 + (s - 2) * 511 / 253 bytes (1..512), never more than asked for. The
// schedule repeats; an empty schedule serves whole 512-byte blocks, as a pipe
// would.
//
// Checked: the reader only ever hands the fake its own 512-byte buffer, never
// reads a byte the fake did not deliver (the rest of the buffer is poisoned),
// never reads again after input ended, stops reading once it has its answer,
// and returns what a plain scan of the delivered blocks gives.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sanitizer/asan_interface.h>

#include "run/console.h"

namespace {

struct FakeInput {
    const std::uint8_t* schedule = nullptr;
    std::size_t schedule_size = 0;
    const std::uint8_t* data = nullptr;
    std::size_t data_size = 0;

    std::size_t step = 0;     // schedule steps used so far
    std::size_t position = 0; // bytes of data delivered so far
    bool ended = false;       // a read returned 0 or -1
    std::size_t reads = 0;

    AnswerBuffer* buffer = nullptr; // the only buffer the reader may hand over
};

FakeInput* current = nullptr;

void fail(const char* what)
{
    std::fprintf(stderr, "answer reader fuzz: %s\n", what);
    std::abort();
}

// What the next read returns, given `room` bytes of space: -1, 0 or a count.
long next_block_size(FakeInput* input, std::size_t room)
{
    std::size_t wanted = ANSWER_BLOCK_SIZE;
    if (input->schedule_size > 0) {
        std::uint8_t s = input->schedule[input->step % input->schedule_size];
        if (s == 0)
            return -1;
        if (s == 1)
            return 0;
        wanted = 1 + (static_cast<std::size_t>(s) - 2) * 511 / 253;
    }
    ++input->step;
    std::size_t left = input->data_size - input->position;
    std::size_t count = wanted;
    if (count > room)
        count = room;
    if (count > left)
        count = left;
    return static_cast<long>(count);
}

long fake_read_block(unsigned char* destination, std::size_t size)
{
    FakeInput* input = current;
    if (input->ended)
        fail("read again after the end of input");
    ++input->reads;
    if (destination != input->buffer->bytes)
        fail("read into a buffer that is not the answer buffer");
    if (size == 0 || size > sizeof input->buffer->bytes)
        fail("asked for a block size outside 1..512");

    // Everything is readable while the fake fills it in.
    ASAN_UNPOISON_MEMORY_REGION(input->buffer->bytes, sizeof input->buffer->bytes);
    long count = next_block_size(input, size);
    if (count <= 0) {
        input->ended = true;
        // A failed read leaves the buffer undefined: poison all of it.
        ASAN_POISON_MEMORY_REGION(input->buffer->bytes, sizeof input->buffer->bytes);
        return count;
    }
    std::memcpy(destination, input->data + input->position, static_cast<std::size_t>(count));
    input->position += static_cast<std::size_t>(count);
    // Bytes beyond the delivered count hold stale data; reading them is a fault.
    ASAN_POISON_MEMORY_REGION(input->buffer->bytes + count, sizeof input->buffer->bytes - count);
    return count;
}

bool reference_white_space(std::uint8_t byte)
{
    switch (byte) {
    case ' ': case '\t': case '\n': case '\v': case '\f': case '\r': return true;
    default: return false;
    }
}

struct ReferenceResult {
    char answer;
    std::size_t reads;    // how many reads the reader makes
    std::size_t position; // how many bytes it takes from standard input
};

// The plain scan: block after block as the fake serves them, the first
// non-blank byte of the first block that has one; the rest of that block is
// gone with it.
ReferenceResult reference_scan(char start, const std::uint8_t* schedule, std::size_t schedule_size,
                               const std::uint8_t* data, std::size_t data_size)
{
    ReferenceResult result{start, 0, 0};
    std::size_t step = 0;
    for (;;) {
        ++result.reads;
        std::size_t wanted = ANSWER_BLOCK_SIZE;
        if (schedule_size > 0) {
            std::uint8_t s = schedule[step % schedule_size];
            if (s <= 1)
                return result; // read error or early end: the start answer stays
            wanted = 1 + (static_cast<std::size_t>(s) - 2) * 511 / 253;
        }
        ++step;
        std::size_t left = data_size - result.position;
        std::size_t count = wanted < left ? wanted : left;
        if (count == 0)
            return result;
        const std::uint8_t* block = data + result.position;
        result.position += count;
        for (std::size_t i = 0; i < count; ++i)
            if (!reference_white_space(block[i])) {
                result.answer = static_cast<char>(block[i]);
                return result;
            }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    char start = static_cast<char>(data[0]);
    std::size_t schedule_size = data[1] % 33;
    if (size < 2 + schedule_size)
        return 0;

    FakeInput input;
    input.schedule = data + 2;
    input.schedule_size = schedule_size;
    input.data = data + 2 + schedule_size;
    input.data_size = size - 2 - schedule_size;
    // On the heap, exactly its own size, so that any step past it is caught.
    input.buffer = new AnswerBuffer;
    current = &input;

    char answer = read_answer(start, input.buffer, fake_read_block);

    ASAN_UNPOISON_MEMORY_REGION(input.buffer->bytes, sizeof input.buffer->bytes);
    delete input.buffer;
    current = nullptr;

    ReferenceResult expected = reference_scan(start, input.schedule, schedule_size, input.data, input.data_size);
    if (answer != expected.answer)
        fail("the answer is not the first non-blank byte of the delivered input");
    if (input.reads != expected.reads)
        fail("read a different number of blocks than the answer needs");
    if (input.position != expected.position)
        fail("took a different number of bytes from standard input than the answer's blocks");
    return 0;
}
