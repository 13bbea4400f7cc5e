#include "events_log.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// Sends one standard stream (1 or 2) into a temporary file until release().
class StreamCapture {
public:
    explicit StreamCapture(int fd) : fd_(fd)
    {
        char pattern[] = "/tmp/nuvix_capture_XXXXXX";
        int file = ::mkstemp(pattern);
        path_ = pattern;
        std::fflush(fd_ == 1 ? stdout : stderr);
        saved_ = ::dup(fd_);
        ::dup2(file, fd_);
        ::close(file);
    }
    ~StreamCapture()
    {
        release();
        ::unlink(path_.c_str());
    }
    std::string release()
    {
        if (saved_ >= 0) {
            std::fflush(fd_ == 1 ? stdout : stderr);
            ::dup2(saved_, fd_);
            ::close(saved_);
            saved_ = -1;
        }
        std::ifstream in(path_, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

private:
    int fd_;
    int saved_ = -1;
    std::string path_;
};

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));   // an unterminated tail
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

class LocalTimeUtc : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char *tz = std::getenv("TZ");
        had_tz_ = tz != nullptr;
        if (had_tz_)
            saved_tz_ = tz;
        ::setenv("TZ", "UTC", 1);
        ::tzset();
    }
    void TearDown() override
    {
        if (had_tz_)
            ::setenv("TZ", saved_tz_.c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }

private:
    bool had_tz_ = false;
    std::string saved_tz_;
};

TEST_F(LocalTimeUtc, LogLineIsTimeTwoBlanksMessage)
{
    const std::time_t when = 1769882709;   // 2026-01-31 18:05:09 UTC
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"SRT output queue stalled", "2026-01-31 18:05:09  SRT output queue stalled\n"},
        {"", "2026-01-31 18:05:09  \n"},
        {"two\nlines", "2026-01-31 18:05:09  two\nlines\n"},
        {std::string("nul\0byte", 8), std::string("2026-01-31 18:05:09  nul\0byte\n", 30)},
        {"100% %s %n", "2026-01-31 18:05:09  100% %s %n\n"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(format_log_line(when, c.first), c.second);
}

TEST_F(LocalTimeUtc, LogLineUsesTheLocalTimeZone)
{
    ::setenv("TZ", "XST-3", 1);   // three hours east of UTC
    ::tzset();
    EXPECT_EQ(format_log_line(1769882709, "x"), "2026-01-31 21:05:09  x\n");
}

TEST(LogLine, WritesOneStampedLineToStandardError)
{
    StreamCapture capture(2);
    std::time_t before = std::time(nullptr);
    log_line("hello log");
    std::time_t after = std::time(nullptr);
    std::string text = capture.release();
    bool matches_a_second = false;
    for (std::time_t t = before; t <= after; ++t)
        matches_a_second = matches_a_second || text == format_log_line(t, "hello log");
    EXPECT_TRUE(matches_a_second) << text;
    EXPECT_TRUE(std::regex_match(text, std::regex(
        "\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}  hello log\n"))) << text;
}

TEST(LogLine, LinesOfTwoThreadsStayWhole)
{
    const int lines_per_thread = 2000;
    const std::string body_a(3000, 'a');
    const std::string body_b(3000, 'b');
    StreamCapture capture(2);
    // Both threads start writing together, so their lines really compete.
    std::atomic<int> ready{0};
    auto writer = [lines_per_thread, &ready](const std::string &body) {
        ready.fetch_add(1);
        while (ready.load() < 2)
            std::this_thread::yield();
        for (int i = 0; i < lines_per_thread; ++i)
            log_line(body + std::to_string(i));
    };
    std::thread first(writer, body_a);
    std::thread second(writer, body_b);
    first.join();
    second.join();
    std::string text = capture.release();

    const std::regex stamp("\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}  ");
    std::vector<int> next_index(2, 0);
    for (const auto &line : split_lines(text)) {
        ASSERT_GT(line.size(), 21u + 3000u) << "broken line: " << line.substr(0, 80);
        ASSERT_TRUE(std::regex_match(line.substr(0, 21), stamp)) << line.substr(0, 80);
        const std::string rest = line.substr(21);
        const std::string &body = rest[0] == 'a' ? body_a : body_b;
        ASSERT_EQ(rest.compare(0, body.size(), body), 0) << "mixed line: " << line.substr(0, 80);
        const std::string digits = rest.substr(body.size());
        ASSERT_TRUE(std::regex_match(digits, std::regex("\\d+"))) << "mixed line tail: " << digits.substr(0, 80);
        // Each thread's lines arrive complete and in its own order.
        int writer_index = rest[0] == 'a' ? 0 : 1;
        EXPECT_EQ(std::stoi(digits), next_index[writer_index]);
        ++next_index[writer_index];
    }
    EXPECT_EQ(next_index[0], lines_per_thread);
    EXPECT_EQ(next_index[1], lines_per_thread);
}

TEST(EmitEvent, WritesOneJsonObjectPerLine)
{
    const std::vector<std::pair<std::pair<std::string, std::string>, std::string>> cases = {
        {{"eof", ""}, "{\"event\":\"eof\"}\n"},
        {{"running", ""}, "{\"event\":\"running\"}\n"},
        {{"error", "bad_arguments"}, "{\"event\":\"error\",\"detail\":\"bad_arguments\"}\n"},
        {{"error", "mux_open_failed"}, "{\"event\":\"error\",\"detail\":\"mux_open_failed\"}\n"},
    };
    for (const auto &c : cases) {
        StreamCapture capture(1);
        emit_event(c.first.first, c.first.second);
        EXPECT_EQ(capture.release(), c.second);
    }
}

TEST(EmitEvent, IsFlushedAtOnce)
{
    // A reader on the other end of a pipe must see the line without the process exiting.
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::fflush(stdout);
    int saved = ::dup(1);
    ::dup2(fds[1], 1);
    emit_event("running");
    ::dup2(saved, 1);
    ::close(saved);
    ::close(fds[1]);
    ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
    char buffer[64] = {};
    ssize_t n = ::read(fds[0], buffer, sizeof buffer);
    ::close(fds[0]);
    EXPECT_EQ(std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0), "{\"event\":\"running\"}\n");
}

} // namespace
