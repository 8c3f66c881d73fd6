// The few hooks newlib calls on a board without an operating system. The heap grows inside the
// region the linker script reserves and never past it: malloc then returns null, which the
// stack reports as "no memory", instead of growing into the stack. Output to file descriptors 1
// and 2 goes to the console UART; there are no files.
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>

#include "board.h"
#include "syscalls.h"

extern "C" {
extern std::uint8_t __heap_start;
extern std::uint8_t __heap_end;
}

namespace {
std::uint8_t* g_break   = &__heap_start;
std::uint8_t* g_highest = &__heap_start;  // newlib may give memory back by a negative step
}  // namespace

namespace tarnet::firmware {

std::uint32_t HeapHighWater() {
    return static_cast<std::uint32_t>(g_highest - &__heap_start);
}
std::uint32_t HeapSize() {
    return static_cast<std::uint32_t>(&__heap_end - &__heap_start);
}

}  // namespace tarnet::firmware

extern "C" {

void* _sbrk(std::ptrdiff_t increment) {
    if (increment > &__heap_end - g_break || increment < &__heap_start - g_break) {
        errno = ENOMEM;
        return reinterpret_cast<void*>(-1);
    }
    std::uint8_t* previous = g_break;
    g_break += increment;
    if (g_break > g_highest) {
        g_highest = g_break;
    }
    return previous;
}

int _write(int fd, const char* data, int length) {
    if ((fd != 1 && fd != 2) || length < 0) {
        errno = EBADF;
        return -1;
    }
    tarnet::firmware::ConsoleWrite(data, static_cast<std::uint32_t>(length));
    return length;
}

int _read(int, char*, int) {
    errno = EBADF;
    return -1;
}

int _close(int) {
    errno = EBADF;
    return -1;
}

int _lseek(int, int, int) {
    errno = ESPIPE;
    return -1;
}

int _fstat(int, struct stat* st) {
    st->st_mode = S_IFCHR;
    return 0;
}

int _isatty(int fd) {
    return fd <= 2 ? 1 : 0;
}

int _getpid() {
    return 1;
}

int _kill(int, int) {
    errno = EINVAL;
    return -1;
}

void _exit(int) {
    for (;;) {
    }
}

}  // extern "C"
