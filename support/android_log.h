// Log lines for the Android system log; host builds write them to standard error.
#ifndef KV_SUPPORT_ANDROID_LOG_H
#define KV_SUPPORT_ANDROID_LOG_H

#ifdef __ANDROID__
#include <android/log.h>
#define KvLogPrint __android_log_print
#else
enum { ANDROID_LOG_INFO = 4, ANDROID_LOG_WARN = 5, ANDROID_LOG_ERROR = 6 };
int KvLogPrint(int prio, const char* tag, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
#endif

constexpr const char* kLogTag = "TOLVEX";

#endif
