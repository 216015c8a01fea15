// The diagnostic logger: time-stamped text records, hex dumps and function
// entry/exit records. Off until configured; while off every call returns at
// once. Records never carry PINs, PIN values or key material: callers log
// names, lengths and results, and dumps of secret-bearing data are left out
// by the caller.
#ifndef KV_SUPPORT_LOGGER_H
#define KV_SUPPORT_LOGGER_H

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>

enum class LogOutput {
    Off,
    System,  // the Android log (tag "TOLVEX"); standard error on a host
    File,    // appended to a file
};

class MessageLogger {
public:
    static constexpr uint64_t kLevelError = 256;
    static constexpr uint64_t kLevelWarning = 16;
    static constexpr uint64_t kLevelPlain = 4096;
    static constexpr size_t kRecordBytes = 4096;

    MessageLogger() = default;
    ~MessageLogger();
    MessageLogger(const MessageLogger&) = delete;
    MessageLogger& operator=(const MessageLogger&) = delete;

    // Switches the output. For File, path names the file; a null path takes
    // the device log path (getLogPath). False when the file cannot be opened
    // (the logger is then off).
    bool Configure(LogOutput output, const char* path = nullptr);
    bool Enabled() const { return output_.load(std::memory_order_acquire) != LogOutput::Off; }

    void SetLevel(uint64_t level) { level_.store(level, std::memory_order_relaxed); }

    // One record: level prefix, the text (cut to kRecordBytes), a line feed.
    void LogString(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    // The same, the text preceded by indent x 4 blanks.
    void LogString(int indent, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
    // The title as a record, then the hex dump of data as one record.
    void LogBinary(const char* title, const uint8_t* data, size_t len);
    // Title and plain hex text of data, indented, as one record.
    void LogBinary(int indent, const char* title, const uint8_t* data, size_t len);

private:
    void Format(int indent, const char* fmt, va_list args) __attribute__((format(printf, 3, 0)));
    void DoLog(const char* text, size_t len, uint64_t level);

    std::atomic<LogOutput> output_{LogOutput::Off};
    std::atomic<uint64_t> level_{kLevelPlain};
    std::mutex mutex_;  // configuration and output
    std::FILE* file_ = nullptr;
};

// The one process-wide logger.
MessageLogger& get_msg_logger();

// The host's switch of the logger, the value of KVP11_LOG: "stderr" logs to
// standard error, any other text names a file to append to; null or empty
// leaves the logger as it is. False when the file cannot be opened.
bool ConfigureLogging(const char* setting);

// Entry record at construction, exit record at destruction; nothing while
// the logger is off. Depth (0..3 steps of four blanks) follows a process-wide
// nesting counter unless noNest is set.
class MessageLoggerFuncInOut {
public:
    MessageLoggerFuncInOut(const char* name, bool noNest);
    // result: read at exit and printed; when it differs from successValue and
    // showError is set, the system error text is logged as well.
    MessageLoggerFuncInOut(const char* name, const uint32_t* result, uint32_t successValue, bool noNest,
                           bool showError);
    ~MessageLoggerFuncInOut();
    MessageLoggerFuncInOut(const MessageLoggerFuncInOut&) = delete;
    MessageLoggerFuncInOut& operator=(const MessageLoggerFuncInOut&) = delete;

private:
    static constexpr size_t kNameBytes = 270;

    int64_t depth_ = 0;
    char name_[kNameBytes + 1] = {};
    bool active_ = false;
    bool nested_ = false;
    const uint32_t* result_ = nullptr;
    uint32_t successValue_ = 0;
    bool showError_ = false;
};

#endif
