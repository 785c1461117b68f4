// The console side of the format run: the date line, the answer reader and
// output that reaches the console in the order written.
#pragma once

#include <cstddef>
#include <ctime>

// The two console writers. Both go through the C library's standard output, one
// buffer flushed after every text, so that every text is on the console, in the
// order written, before the next step begins.

// Writes `text` with fputs and flushes it.
void fputs_and_flush(const char* text);

// Writes with printf and flushes.
void printf_and_flush(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Keeps a failed console (closed, or a reader gone away) from ending the process.
void keep_running_on_console_errors();

// "Mon Jun 07 13:45:31 2004": English names, zero-padded day. `text` takes at
// least DATE_TEXT_SIZE bytes. Returns 0 when the time cannot be written.
constexpr std::size_t DATE_TEXT_SIZE = 25;
int format_date(const std::tm& time, char* text);

// The answer reader's own buffer over standard input: one block per read,
// on a console one typed line.
constexpr std::size_t ANSWER_BLOCK_SIZE = 512;
struct AnswerBuffer {
    unsigned char bytes[ANSWER_BLOCK_SIZE];
};

// Reads up to ANSWER_BLOCK_SIZE bytes into `buffer`; returns the count, 0 at
// end of input, negative on an error. An input that is not ready yet is waited
// for, never taken for its end.
using ReadBlock = long (*)(unsigned char* buffer, std::size_t size);

// The block reader over standard input.
long read_standard_input_block(unsigned char* buffer, std::size_t size);

// Blank, tab, line feed, vertical tab, form feed, carriage return.
constexpr bool is_answer_white_space(unsigned char byte)
{
    return byte == ' ' || (byte >= '\t' && byte <= '\r');
}

// Skips white space block by block and returns the first other byte; the rest
// of its block is dropped. At end of input (or on an input error) returns
// `answer` unchanged.
char read_answer(char answer, AnswerBuffer* buffer, ReadBlock read_block);

// The final keystroke: reads one character through the C library's own input
// buffer (not the answer's) and discards it. Waits for input that is not ready
// yet; returns at once at end of input.
void wait_for_final_keystroke();
