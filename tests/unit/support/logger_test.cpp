// The diagnostic logger: dump lines worked out by hand, record prefixes and
// cuts, entry/exit records, a 1 MiB dump, many threads at once, the path.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log_hex.h"
#include "log_path.h"
#include "logger.h"

namespace {

std::string Blanks(size_t n) { return std::string(n, ' '); }

struct LineCase {
    std::vector<uint8_t> data;
    std::string expected;
};

TEST(LogHexLine, MatchesTheLayout) {
    const std::vector<LineCase> cases = {
        {{}, Blanks(54) + ": \r\n"},
        {{0x41, 0x42, 0x00, 0xFF},
         "    41 42 00 FF " + Blanks(54 - 16) + ": AB..\r\n"},
        {{0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37},
         "    30 31 32 33 34 35 36 37-" + Blanks(54 - 28) + ": 01234567\r\n"},
        {{0x7E, 0x7F, 0x80, 0x20, 0x1F, 0xE9, 0x61, 0x7A, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07},
         "    7E 7F 80 20 1F E9 61 7A-00 01 02 03 04 05 06 07   : ~.. ..az........\r\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(msglog_lineprinthex(c.data.data(), c.data.size()), c.expected);
    const uint8_t seventeen[17] = {};
    EXPECT_EQ(msglog_lineprinthex(seventeen, 17), "");
}

TEST(LogHexDump, LinesOf16AndARemainder) {
    const uint8_t data[18] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 'l', 'm', 'n', 'o', 'p', 0x01, 0x41};
    EXPECT_EQ(msglog_hexdump(data, sizeof data),
              "    61 62 63 64 65 66 67 68-69 6A 6B 6C 6D 6E 6F 70   : abcdefghijklmnop\r\n"
              "    01 41 " + Blanks(54 - 10) + ": .A\r\n");
    EXPECT_EQ(msglog_hexdump(nullptr, 5), "NULL");
}

TEST(LogHexDump, AMebibyteShowsOnly256FullLines) {
    std::vector<uint8_t> big(1 << 20);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i);
    const std::string dump = msglog_hexdump(big.data(), big.size());
    const std::string line = msglog_lineprinthex(big.data(), 16);
    ASSERT_EQ(line.size(), 74u);
    EXPECT_EQ(dump.size(), 256u * 74u);
    EXPECT_EQ(dump.substr(0, 74), line);
    // The last line shown holds bytes 4080..4095: F0..FF.
    EXPECT_EQ(dump.substr(255 * 74, 52), "    F0 F1 F2 F3 F4 F5 F6 F7-F8 F9 FA FB FC FD FE FF ");
}

// The logger writing to a private file for one test; off again afterwards.
class LogFile : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kvlog-XXXXXX";
        int fd = mkstemp(tmpl);
        ASSERT_GE(fd, 0);
        close(fd);
        path_ = tmpl;
        ASSERT_TRUE(get_msg_logger().Configure(LogOutput::File, path_.c_str()));
    }
    void TearDown() override {
        get_msg_logger().Configure(LogOutput::Off);
        get_msg_logger().SetLevel(MessageLogger::kLevelPlain);
        std::remove(path_.c_str());
    }
    std::vector<std::string> Lines() {
        std::ifstream in(path_);
        std::vector<std::string> lines;
        for (std::string l; std::getline(in, l);) lines.push_back(l);
        return lines;
    }
    // The text after the record prefix "YYYY-MM-DD hh:mm:ss [pid-tid] ",
    // or "<no prefix>" when the line does not start with one of this process.
    static std::string AfterPrefix(const std::string& line) {
        const std::string bad = "<no prefix>";
        const char* shape = "dddd-dd-dd dd:dd:dd [";
        const size_t n = std::strlen(shape);
        if (line.size() < n) return bad;
        for (size_t i = 0; i < n; ++i) {
            const bool digit = std::isdigit(static_cast<unsigned char>(line[i])) != 0;
            if (shape[i] == 'd' ? !digit : line[i] != shape[i]) return bad;
        }
        const std::string pid = std::to_string(getpid()) + "-";
        if (line.compare(n, pid.size(), pid) != 0) return bad;
        size_t at = n + pid.size(), tid = at;
        while (at < line.size() && std::isdigit(static_cast<unsigned char>(line[at]))) ++at;
        if (at == tid || line.compare(at, 2, "] ") != 0) return bad;
        return line.substr(at + 2);
    }
    std::string path_;
};

TEST_F(LogFile, RecordsCarryTimePidThreadAndLevel) {
    MessageLogger& log = get_msg_logger();
    log.LogString("plain %d", 1);
    log.SetLevel(MessageLogger::kLevelWarning);
    log.LogString("warned %s", "x");
    log.SetLevel(MessageLogger::kLevelError);
    log.LogString(2, "failed");
    log.SetLevel(MessageLogger::kLevelPlain);
    log.LogString("%s", "");  // an empty text is still a record
    log.LogBinary(1, "key id ", reinterpret_cast<const uint8_t*>("\x01\xAB"), 2);
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(AfterPrefix(lines[0]), "plain 1") << lines[0];
    EXPECT_EQ(AfterPrefix(lines[1]), "WRN: warned x") << lines[1];
    EXPECT_EQ(AfterPrefix(lines[2]), "ERR:         failed") << lines[2];
    EXPECT_EQ(AfterPrefix(lines[3]), "") << lines[3];
    EXPECT_EQ(AfterPrefix(lines[4]), "    key id 01AB") << lines[4];
}

TEST_F(LogFile, LongRecordsAreCut) {
    const std::string huge(3 * MessageLogger::kRecordBytes, 'z');
    get_msg_logger().LogString("%s", huge.c_str());
    get_msg_logger().LogString(1000, "%s", huge.c_str());
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    for (const auto& l : lines) {
        const size_t record = l.size() - 20 + 1;  // without the time, with the line feed
        EXPECT_EQ(record, MessageLogger::kRecordBytes - 1);
    }
    EXPECT_EQ(lines[0].back(), 'z');
}

TEST_F(LogFile, BinaryDumpsAndNullData) {
    get_msg_logger().LogBinary("title", nullptr, 3);
    std::vector<uint8_t> big(1 << 20, 0x5A);
    get_msg_logger().LogBinary("big", big.data(), big.size());
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 2u + 1u + 256u);
    EXPECT_EQ(AfterPrefix(lines[0]), "title");
    // A dump line: the date, the time without its prefix, then the text.
    EXPECT_EQ(lines[1].size(), 24u) << lines[1];
    EXPECT_EQ(lines[1].substr(4, 1) + lines[1].substr(20), "-NULL") << lines[1];
    EXPECT_EQ(AfterPrefix(lines[2]), "big");
    const std::string full = "    5A 5A 5A 5A 5A 5A 5A 5A-5A 5A 5A 5A 5A 5A 5A 5A   : ZZZZZZZZZZZZZZZZ\r";
    EXPECT_EQ(lines[3].substr(20), full);
    for (size_t i = 4; i < lines.size(); ++i) EXPECT_EQ(lines[i], full);
}

TEST_F(LogFile, FunctionEntryAndExitRecordsNest) {
    uint32_t rv = 0xA0;
    {
        MessageLoggerFuncInOut outer("C_Outer", &rv, 0, false, false);
        MessageLoggerFuncInOut inner("C_Inner", false);
        MessageLoggerFuncInOut flat(nullptr, true);
    }
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 6u);
    const std::vector<std::string> expected = {"FUNC -> C_Outer()",
                                               "FUNC     -> C_Inner()",
                                               "FUNC         -> Function_Name_Not_Define()",
                                               "FUNC         <- Function_Name_Not_Define()",
                                               "FUNC     <- C_Inner()",
                                               "FUNC <- C_Outer(),dwRet=0xa0"};
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(AfterPrefix(lines[i]), expected[i]);
}

TEST_F(LogFile, NothingOnceSwitchedOff) {
    get_msg_logger().Configure(LogOutput::Off);
    EXPECT_FALSE(get_msg_logger().Enabled());
    get_msg_logger().LogString("dropped");
    { MessageLoggerFuncInOut guard("C_Dropped", false); }
    EXPECT_TRUE(Lines().empty());
    EXPECT_FALSE(get_msg_logger().Configure(LogOutput::File, "/nonexistent-dir/x.log"));
    EXPECT_FALSE(get_msg_logger().Enabled());
}

// KVP11_LOG's values: unset or empty leaves the logger as it is, "stderr"
// and a path switch it on, a path that cannot be opened leaves it off.
TEST_F(LogFile, TheHostSwitchTakesStderrOrAPath) {
    get_msg_logger().Configure(LogOutput::Off);
    EXPECT_TRUE(ConfigureLogging(nullptr));
    EXPECT_TRUE(ConfigureLogging(""));
    EXPECT_FALSE(get_msg_logger().Enabled());
    EXPECT_TRUE(ConfigureLogging("stderr"));
    EXPECT_TRUE(get_msg_logger().Enabled());
    EXPECT_FALSE(ConfigureLogging("/nonexistent-dir/x.log"));
    EXPECT_FALSE(get_msg_logger().Enabled());
    ASSERT_TRUE(ConfigureLogging(path_.c_str()));
    get_msg_logger().LogString("switched on by its path");
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("switched on by its path"), std::string::npos);
}

TEST_F(LogFile, EightThreadsWriteWholeRecords) {
    constexpr int kThreads = 8, kRecords = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            const uint8_t bytes[20] = {static_cast<uint8_t>(t)};
            for (int i = 0; i < kRecords; ++i) {
                MessageLoggerFuncInOut guard("C_Thread", true);
                get_msg_logger().LogString("thread %d record %d %s", t, i, std::string(100, 'a' + t).c_str());
                get_msg_logger().LogBinary(1, "b ", bytes, sizeof bytes);
            }
        });
    }
    for (auto& th : threads) th.join();
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kRecords * 4));
    std::vector<int> counts(kThreads, 0);
    // Each line is one whole record: a thread's text, its dump line, or its
    // function records.
    for (const auto& l : lines) {
        const std::string rest = AfterPrefix(l);
        int t = -1, i = -1, at = 0;
        if (std::sscanf(rest.c_str(), "thread %d record %d %n", &t, &i, &at) == 2 && t >= 0 && t < kThreads) {
            EXPECT_EQ(rest.substr(static_cast<size_t>(at)), std::string(100, static_cast<char>('a' + t))) << l;
            ++counts[t];
            continue;
        }
        const size_t arrow = rest.find_first_not_of(' ', 4);
        const bool func = rest.compare(0, 4, "FUNC") == 0 && arrow != std::string::npos && arrow > 4 &&
                          (rest.substr(arrow) == "-> C_Thread()" || rest.substr(arrow) == "<- C_Thread()");
        const bool dump = rest.size() == 46 && rest.compare(0, 7, "    b 0") == 0 && rest[7] >= '0' &&
                          rest[7] <= '7' && rest.substr(8) == std::string(38, '0');
        EXPECT_TRUE(func || dump) << l;
    }
    for (int c : counts) EXPECT_EQ(c, kRecords);
}

TEST(LogPath, FallbackWithoutJavaAndShortBuffers) {
    char path[64];
    getLogPath(path, sizeof path);
    EXPECT_STREQ(path, "/mnt/sdcard/tolvex.log");
    char small[22];
    std::memset(small, 'x', sizeof small);
    getLogPath(small, sizeof small);  // 22 characters and the NUL do not fit
    EXPECT_EQ(std::string(small, sizeof small), std::string(22, 'x'));
    getLogPath(nullptr, 100);
}

}  // namespace
