// Where the diagnostic log file goes on the device: "/tolvex.log" in the
// external storage directory that Java reports, else under "/mnt/sdcard".
#ifndef KV_SUPPORT_LOG_PATH_H
#define KV_SUPPORT_LOG_PATH_H

#include <cstddef>

// Writes the path and its NUL into dst when both fit in dstLen bytes;
// otherwise (or for a null dst) leaves dst untouched.
void getLogPath(char* dst, size_t dstLen);

#endif
