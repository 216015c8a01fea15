#include "logger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>

#include "android_log.h"
#include "interlocked.h"
#include "log_hex.h"
#include "log_path.h"

namespace {

constexpr size_t kPathBytes = 512;
constexpr int64_t kMaxDepth = 4;
uint32_t g_nesting = 0;

// The log file at path, appended to: made 0600 when new; a symbolic link,
// a pipe or anything else but a regular file at the path is refused.
std::FILE* OpenLogFile(const char* path) {
    const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    struct stat st {};
    std::FILE* file = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? fdopen(fd, "a") : nullptr;
    if (!file) close(fd);
    return file;
}

unsigned long ThreadIdentity() { return static_cast<unsigned long>(syscall(SYS_gettid)); }

const char* LevelMark(uint64_t level) {
    if (level == MessageLogger::kLevelError) return "ERR: ";
    if (level == MessageLogger::kLevelWarning) return "WRN: ";
    return "";
}

// The text of one record, bounded: whatever does not fit is cut.
struct Record {
    char text[MessageLogger::kRecordBytes];
    size_t len = 0;

    void Append(int written) {
        if (written < 0) return;
        len = std::min(len + static_cast<size_t>(written), sizeof text - 2);  // room for LF and NUL
    }
    char* End() { return text + len; }
    size_t Room() const { return sizeof text - 1 - len; }  // keeps one byte for the line feed
    void Finish() {
        text[len++] = '\n';
        text[len] = 0;
    }
};

}  // namespace

MessageLogger& get_msg_logger() {
    static MessageLogger logger;
    return logger;
}

MessageLogger::~MessageLogger() {
    if (file_) std::fclose(file_);
}

bool MessageLogger::Configure(LogOutput output, const char* path) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_) {
        std::fclose(file_);
        file_ = nullptr;
    }
    if (output == LogOutput::File) {
        char devicePath[kPathBytes] = {};
        if (!path) {
            getLogPath(devicePath, sizeof devicePath);
            path = devicePath;
        }
        file_ = path[0] ? OpenLogFile(path) : nullptr;
    }
    const bool opened = output != LogOutput::File || file_;
    output_.store(opened ? output : LogOutput::Off, std::memory_order_release);
    return opened;
}

bool ConfigureLogging(const char* setting) {
    if (!setting || !*setting) return true;
    if (std::strcmp(setting, "stderr") == 0) return get_msg_logger().Configure(LogOutput::System);
    return get_msg_logger().Configure(LogOutput::File, setting);
}

void MessageLogger::Format(int indent, const char* fmt, va_list args) {
    const uint64_t level = level_.load(std::memory_order_relaxed);
    Record r;
    r.Append(std::snprintf(r.End(), r.Room(), "[%d-%lu] %s", static_cast<int>(getpid()), ThreadIdentity(),
                           LevelMark(level)));
    for (int i = 0; i < indent && r.Room() > 4; ++i) r.Append(std::snprintf(r.End(), r.Room(), "    "));
    r.Append(std::vsnprintf(r.End(), r.Room(), fmt, args));
    r.Finish();
    DoLog(r.text, r.len, level);
}

void MessageLogger::LogString(const char* fmt, ...) {
    if (!Enabled() || !fmt || !fmt[0]) return;
    va_list args;
    va_start(args, fmt);
    Format(0, fmt, args);
    va_end(args);
}

void MessageLogger::LogString(int indent, const char* fmt, ...) {
    if (!Enabled() || !fmt || !fmt[0]) return;
    va_list args;
    va_start(args, fmt);
    Format(indent, fmt, args);
    va_end(args);
}

void MessageLogger::LogBinary(const char* title, const uint8_t* data, size_t len) {
    if (!Enabled()) return;
    LogString("%s", title ? title : "");
    const std::string dump = msglog_hexdump(data, len);
    DoLog(dump.c_str(), dump.size(), level_.load(std::memory_order_relaxed));
}

void MessageLogger::LogBinary(int indent, const char* title, const uint8_t* data, size_t len) {
    if (!Enabled()) return;
    static const char kHex[] = "0123456789ABCDEF";
    // The record holds at most kRecordBytes; more hex text than that would be cut anyway.
    const size_t shown = data ? std::min(len, kRecordBytes / 2) : 0;
    std::string hex;
    hex.reserve(shown * 2);
    for (size_t i = 0; i < shown; ++i) {
        hex += kHex[data[i] >> 4];
        hex += kHex[data[i] & 0x0F];
    }
    LogString(indent, "%s%s", title ? title : "", data ? hex.c_str() : "NULL");
}

void MessageLogger::DoLog(const char* text, size_t len, uint64_t level) {
    char stamp[25] = {};
    const time_t now = time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local)) std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S ", &local);
    const bool endsLine = len > 0 && text[len - 1] == '\n';
    std::lock_guard<std::mutex> lock(mutex_);
    switch (output_.load(std::memory_order_acquire)) {
        case LogOutput::Off:
            return;
        case LogOutput::System:
#ifdef __ANDROID__
            KvLogPrint(level == kLevelError ? ANDROID_LOG_ERROR : ANDROID_LOG_INFO, kLogTag, "%s", text);
#else
            if (level == kLevelError) {
                std::fprintf(stderr, "\x1b[1;33;41m%s%s\x1b[0m\n", stamp, text);
            } else {
                std::fprintf(stderr, "%s%s%s", stamp, text, endsLine ? "" : "\n");
            }
#endif
            return;
        case LogOutput::File:
            if (!file_) return;
            std::fprintf(file_, "%s%s%s", stamp, text, endsLine ? "" : "\n");
            std::fflush(file_);
            return;
    }
}

MessageLoggerFuncInOut::MessageLoggerFuncInOut(const char* name, bool noNest)
    : MessageLoggerFuncInOut(name, nullptr, 0, noNest, false) {}

MessageLoggerFuncInOut::MessageLoggerFuncInOut(const char* name, const uint32_t* result, uint32_t successValue,
                                               bool noNest, bool showError)
    : result_(result), successValue_(successValue), showError_(showError) {
    MessageLogger& logger = get_msg_logger();
    if (!logger.Enabled()) return;
    active_ = true;
    nested_ = !noNest;
    // Without nesting the counter is only read: one step up and back.
    const int64_t counter = InterlockedIncrement(&g_nesting);
    if (!nested_) InterlockedDecrement(&g_nesting);
    depth_ = std::min(counter, kMaxDepth);
    const char* shown = name && name[0] ? name : "Function_Name_Not_Define";
    std::strncpy(name_, shown, kNameBytes);
    logger.LogString("FUNC %*s-> %s()", static_cast<int>((depth_ - 1) * 4), "", name_);
}

MessageLoggerFuncInOut::~MessageLoggerFuncInOut() {
    if (!active_) return;
    const int savedErrno = errno;
    if (nested_) InterlockedDecrement(&g_nesting);
    MessageLogger& logger = get_msg_logger();
    const int pad = static_cast<int>((depth_ - 1) * 4);
    if (!result_) {
        logger.LogString("FUNC %*s<- %s()", pad, "", name_);
        return;
    }
    if (*result_ != successValue_ && showError_)
        logger.LogString("Err[0x%x]:%s", static_cast<unsigned>(savedErrno), std::strerror(savedErrno));
    logger.LogString("FUNC %*s<- %s(),dwRet=0x%x", pad, "", name_, *result_);
}
