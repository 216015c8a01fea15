#include "android_log.h"

#ifndef __ANDROID__
#include <cstdarg>
#include <cstdio>

int KvLogPrint(int prio, const char* tag, const char* fmt, ...) {
    const char letter = prio >= ANDROID_LOG_ERROR ? 'E' : prio == ANDROID_LOG_WARN ? 'W' : 'I';
    std::fprintf(stderr, "%c/%s: ", letter, tag);
    va_list args;
    va_start(args, fmt);
    int n = std::vfprintf(stderr, fmt, args);
    va_end(args);
    std::fputc('\n', stderr);
    return n;
}
#endif
