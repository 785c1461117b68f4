// Console helpers of the format run: ordered output, the date line, the answer.
#include "run/console.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>

#if defined(_WIN32)
#include <io.h>
#else
#include <poll.h>
#include <unistd.h>
#endif

void fputs_and_flush(const char* text)
{
    // Only the bytes and their order show outside the program, so the stream
    // texts share the C runtime's standard output with the printf-style ones:
    // one buffer, flushed after every text, and no C++ stream runtime to load
    // (which Windows 9x's C runtime could not serve either).
    std::fputs(text, stdout);
    std::fflush(stdout);
    std::clearerr(stdout); // a failed console is tried again with the next text
}

void printf_and_flush(const char* format, ...)
{
    std::va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
    std::fflush(stdout);
    std::clearerr(stdout);
}

void keep_running_on_console_errors()
{
#if defined(SIGPIPE)
    // A reader that has gone away must not end a format halfway; the write
    // fails instead, and the run goes on.
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

int format_date(const std::tm& time, char* text)
{
    static const char day_names[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char month_names[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    if (time.tm_wday < 0 || time.tm_wday > 6 || time.tm_mon < 0 || time.tm_mon > 11)
        return 0;
    long year = static_cast<long>(time.tm_year) + 1900;
    int written = std::snprintf(text, DATE_TEXT_SIZE, "%s %s %02d %02d:%02d:%02d %04ld", day_names[time.tm_wday],
                                month_names[time.tm_mon], time.tm_mday, time.tm_hour, time.tm_min, time.tm_sec, year);
    return written > 0 && static_cast<std::size_t>(written) < DATE_TEXT_SIZE ? 1 : 0;
}

namespace {

#if !defined(_WIN32)
// Another program may have left standard input non-blocking: a read then
// answers "try again" until input comes, which is no end of input.
bool waited_for_standard_input(int error)
{
    if (error != EAGAIN && error != EWOULDBLOCK)
        return false;
    pollfd input{0, POLLIN, 0};
    while (poll(&input, 1, -1) < 0 && errno == EINTR) {
    }
    return true;
}
#endif

} // namespace

long read_standard_input_block(unsigned char* buffer, std::size_t size)
{
    for (;;) {
#if defined(_WIN32)
        long count = _read(0, buffer, static_cast<unsigned>(size));
        if (count >= 0 || errno != EINTR)
            return count;
#else
        long count = static_cast<long>(read(0, buffer, size));
        if (count >= 0 || (errno != EINTR && !waited_for_standard_input(errno)))
            return count;
#endif
    }
}

void wait_for_final_keystroke()
{
    for (;;) {
        errno = 0;
        if (std::getchar() != EOF || !std::ferror(stdin))
            return;
        int error = errno;
        std::clearerr(stdin);
#if defined(_WIN32)
        if (error != EINTR)
            return;
#else
        if (error != EINTR && !waited_for_standard_input(error))
            return;
#endif
    }
}

char read_answer(char answer, AnswerBuffer* buffer, ReadBlock read_block)
{
    for (;;) {
        long count = read_block(buffer->bytes, sizeof buffer->bytes);
        if (count <= 0)
            return answer;
        if (static_cast<std::size_t>(count) > sizeof buffer->bytes)
            count = sizeof buffer->bytes;
        for (long i = 0; i < count; ++i) {
            if (!is_answer_white_space(buffer->bytes[i]))
                return static_cast<char>(buffer->bytes[i]);
        }
    }
}
