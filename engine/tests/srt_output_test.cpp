#include "srt_output.h"

#include "loopback_services.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::vector<uint8_t> pattern(size_t size)
{
    std::vector<uint8_t> bytes(size);
    uint32_t x = 12345;
    for (auto &b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return bytes;
}

size_t count_of(const std::string &text, const std::string &needle)
{
    size_t n = 0;
    for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1))
        ++n;
    return n;
}

// Collects what log_line writes to standard error while it lives.
class LogCapture {
public:
    LogCapture() { testing::internal::CaptureStderr(); }
    ~LogCapture()
    {
        if (!taken_)
            testing::internal::GetCapturedStderr();
    }
    std::string text()
    {
        taken_ = true;
        return testing::internal::GetCapturedStderr();
    }

private:
    bool taken_ = false;
};

class SrtOutputTest : public testing::Test {
protected:
    void SetUp() override
    {
        char dir_template[] = "/tmp/nuvix_srt_output_XXXXXX";
        ASSERT_NE(mkdtemp(dir_template), nullptr);
        dir = dir_template;
        received_path = dir + "/received.ts";
    }
    void TearDown() override
    {
        listener.stop();
        std::remove(received_path.c_str());
        rmdir(dir.c_str());
    }
    void start_listener(const std::vector<std::string> &args = {})
    {
        std::string error;
        ASSERT_TRUE(listener.start(received_path, args, error)) << error;
    }
    std::vector<uint8_t> received() const
    {
        std::ifstream in(received_path, std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    std::string dir;
    std::string received_path;
    LoopbackSrtListener listener;
};

TEST_F(SrtOutputTest, GracefulFinishDeliversEveryByteInOrderIncludingTheShortLastChunk)
{
    start_listener();
    // Larger than the queue and not a whole number of chunks.
    const auto data = pattern(3 * SRT_QUEUE_CAPACITY + 777);
    LogCapture log;
    {
        SrtOutput output;
        std::string error;
        ASSERT_TRUE(output.start(listener.url("?streamid=feed"), error)) << error;
        for (size_t pos = 0; pos < data.size(); pos += 32768) {
            const int32_t n = static_cast<int32_t>(std::min<size_t>(32768, data.size() - pos));
            ASSERT_TRUE(output.write(data.data() + pos, n)) << "at " << pos;
        }
        const size_t high_water = output.queue.high_water();
        EXPECT_GE(high_water, 32768u);
        output.finish();
        EXPECT_FALSE(output.write(data.data(), 188)) << "a finished output took more bytes";
        const std::string text = log.text();
        EXPECT_NE(text.find("SRT queue high-water " + std::to_string(output.queue.high_water()) +
                            "/658000 bytes"),
                  std::string::npos)
            << text;
        EXPECT_EQ(text.find("SRT closed, buffered TS dropped"), std::string::npos) << text;
        testing::internal::CaptureStderr();
    }
    const std::string after = testing::internal::GetCapturedStderr();
    EXPECT_EQ(count_of(after, "SRT closed, buffered TS dropped"), 1u) << after;

    ASSERT_TRUE(listener.wait_connection_closed(10s)) << listener.output_text();
    listener.stop();
    EXPECT_NE(listener.output_text().find("accepted streamid=feed*lossless"), std::string::npos)
        << listener.output_text();
    const auto got = received();
    ASSERT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data) << "bytes arrived changed or out of order";
}

TEST_F(SrtOutputTest, ClosedPortFailsAfterTheConnectTimeout)
{
    const int port = closed_loopback_port();
    ASSERT_GT(port, 0);
    LogCapture log;
    SrtOutput output;
    std::string error;
    const auto begin = Clock::now();
    EXPECT_FALSE(output.start("srt://127.0.0.1:" + std::to_string(port) + "?streamid=a", error));
    const auto took = Clock::now() - begin;
    EXPECT_EQ(error, "SRT connection failed");
    EXPECT_GE(took, 2500ms);
    EXPECT_LT(took, 10s);
    const uint8_t byte = 0x47;
    EXPECT_FALSE(output.write(&byte, 1));
    const std::string text = log.text();
    EXPECT_NE(text.find("SRT connect failed: "), std::string::npos) << text;
    EXPECT_EQ(text.find("getaddrinfo"), std::string::npos) << text;
}

TEST_F(SrtOutputTest, FailuresBeforeAnyConnectionAttemptAreQuick)
{
    start_listener();
    const std::string port = std::to_string(listener.port());
    struct Case {
        const char *name;
        std::string url;
        std::string error;       // returned by start
        std::string logged;      // expected in the log; empty: nothing at all logged
    };
    const Case cases[] = {
        {"bad scheme", "SRT://127.0.0.1:" + port + "?streamid=a", "SRT URL must start with srt://", ""},
        {"no port", "srt://127.0.0.1?streamid=a", "SRT URL must contain host:port", ""},
        {"no stream id", "srt://127.0.0.1:" + port, "SRT URL has no streamid", ""},
        // A service name nobody knows fails inside getaddrinfo without asking any resolver.
        {"unknown service", "srt://127.0.0.1:nuvix-no-such-service?streamid=a", "SRT connection failed",
         "SRT connect failed: getaddrinfo: "},
        // libsrt wants at least 10 characters.
        {"passphrase refused", "srt://127.0.0.1:" + port + "?streamid=a&passphrase=short",
         "SRT connection failed", "SRT connect failed: "},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        std::string error;
        const auto begin = Clock::now();
        {
            SrtOutput output;
            EXPECT_FALSE(output.start(c.url, error));
            EXPECT_LT(Clock::now() - begin, 2s) << "looks like a connection attempt was made";
            EXPECT_EQ(error, c.error);
            const std::string text = log.text();
            if (c.logged.empty()) {
                EXPECT_EQ(text, "");
            } else {
                EXPECT_NE(text.find(c.logged), std::string::npos) << text;
            }
            if (c.name == std::string("passphrase refused")) {
                EXPECT_EQ(text.find("getaddrinfo"), std::string::npos) << text;
            }
            testing::internal::CaptureStderr();   // destruction logs the drop line
        }
        testing::internal::GetCapturedStderr();
    }
    // Nothing reached the listener.
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(listener.output_text().find("accepted"), std::string::npos) << listener.output_text();
}

TEST_F(SrtOutputTest, AbortWhileConnectingEndsTheStartAsAConnectionFailure)
{
    const int port = closed_loopback_port();
    ASSERT_GT(port, 0);
    LogCapture log;
    SrtOutput output;
    std::thread stopper([] {
        std::this_thread::sleep_for(300ms);
        abort_active_output();
    });
    std::string error;
    const auto begin = Clock::now();
    EXPECT_FALSE(output.start("srt://127.0.0.1:" + std::to_string(port) + "?streamid=a", error));
    const auto took = Clock::now() - begin;
    stopper.join();
    EXPECT_EQ(error, "SRT connection failed");
    EXPECT_LT(took, 2500ms) << "the abort did not cut the connection attempt short";
    const std::string text = log.text();
    EXPECT_NE(text.find("SRT connect failed: "), std::string::npos) << text;
    EXPECT_EQ(count_of(text, "SRT closed, buffered TS dropped"), 1u) << text;
}

TEST_F(SrtOutputTest, AbortBeforeTheSocketIsStoredGivesUpWithSrtDropped)
{
    start_listener();
    LogCapture log;
    SrtOutput output;
    output.abort();
    std::string error;
    EXPECT_FALSE(output.start(listener.url("?streamid=a"), error));
    EXPECT_EQ(error, "SRT connection failed");
    const std::string text = log.text();
    EXPECT_NE(text.find("SRT connect failed: SRT dropped"), std::string::npos) << text;
}

TEST_F(SrtOutputTest, RepeatedAbortsLogOnceAndFinishAfterwardsIsNotGraceful)
{
    start_listener();
    LogCapture log;
    {
        SrtOutput output;
        std::string error;
        ASSERT_TRUE(output.start(listener.url("?streamid=a"), error)) << error;
        const auto data = pattern(5000);
        ASSERT_TRUE(output.write(data.data(), static_cast<int32_t>(data.size())));
        output.abort();
        {
            std::lock_guard<std::mutex> lock(output.socket_lock);
            EXPECT_EQ(output.sock, SRT_INVALID_SOCK) << "the abort left the socket open";
        }
        abort_active_output();
        output.abort();
        EXPECT_FALSE(output.write(data.data(), 188));
        output.finish();
        output.close();
    }
    const std::string text = log.text();
    EXPECT_EQ(count_of(text, "SRT closed, buffered TS dropped"), 1u) << text;
    EXPECT_EQ(text.find("high-water"), std::string::npos) << text;
    EXPECT_EQ(text.find("SRT send failed"), std::string::npos) << text;
}

TEST_F(SrtOutputTest, WritesAreRefusedSilentlyBeforeStartAndWithBadArguments)
{
    start_listener();
    LogCapture log;
    SrtOutput output;
    const auto data = pattern(1000);
    EXPECT_FALSE(output.write(data.data(), 1000)) << "not connected yet";
    std::string error;
    ASSERT_TRUE(output.start(listener.url("?streamid=a"), error)) << error;
    EXPECT_FALSE(output.write(nullptr, 10));
    EXPECT_FALSE(output.write(data.data(), 0));
    EXPECT_FALSE(output.write(data.data(), -5));
    EXPECT_EQ(output.queue.buffered(), 0u);
    EXPECT_TRUE(output.write(data.data(), 1000)) << "a refused call must not poison the output";
    output.close();
    const std::string text = log.text();
    EXPECT_EQ(text.find("stalled"), std::string::npos) << text;
}

TEST_F(SrtOutputTest, ReceiverThatStopsReadingMakesWritesFailAndStayFailed)
{
    start_listener({"--mode", "noread"});
    LogCapture log;
    SrtOutput output;
    std::string error;
    ASSERT_TRUE(output.start(listener.url("?streamid=a"), error)) << error;
    const auto block = pattern(32768);
    const auto limit = Clock::now() + 90s;
    size_t written = 0;
    bool refused = false;
    while (Clock::now() < limit && written < (1u << 30)) {
        if (!output.write(block.data(), static_cast<int32_t>(block.size()))) {
            refused = true;
            break;
        }
        written += block.size();
    }
    ASSERT_TRUE(refused) << "writes never failed after " << written << " bytes";
    EXPECT_TRUE(output.failed);
    const auto begin = Clock::now();
    EXPECT_FALSE(output.write(block.data(), 188));
    EXPECT_LT(Clock::now() - begin, 100ms) << "a later write waited instead of failing at once";
    output.close();
    const std::string text = log.text();
    EXPECT_TRUE(text.find("SRT send failed: ") != std::string::npos ||
                text.find("SRT output queue stalled") != std::string::npos)
        << text;
}

// The stop-event thread may abort the active output while the pipeline thread ends and
// destroys it; every output must still log its drop line exactly once.
TEST_F(SrtOutputTest, ConcurrentAbortOfTheActiveOutputRacesDestructionSafely)
{
    start_listener({"--accepts", "0"});
    std::atomic<bool> stop{false};
    LogCapture log;
    std::thread stopper([&] {
        while (!stop.load()) {
            abort_active_output();
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    });
    const int rounds = 8;
    int connected = 0;
    const auto data = pattern(20000);
    for (int i = 0; i < rounds; ++i) {
        SrtOutput output;
        std::string error;
        if (output.start(listener.url("?streamid=race"), error)) {
            ++connected;
            output.write(data.data(), static_cast<int32_t>(data.size()));
            if (i % 2)
                output.finish();
        } else {
            EXPECT_EQ(error, "SRT connection failed");
        }
    }
    stop = true;
    stopper.join();
    abort_active_output();   // nothing registered any more: must be a no-op
    const std::string text = log.text();
    EXPECT_EQ(count_of(text, "SRT closed, buffered TS dropped"), static_cast<size_t>(rounds)) << text;
    RecordProperty("connected_rounds", connected);
}

} // namespace

namespace {

TEST_F(SrtOutputTest, ListenerWaitsForAReceiverUntilAStopAndFailsAtOnceWhenItCannotBind)
{
    {
        SCOPED_TRACE("address that is not this machine's");
        SrtOutput output;
        LogCapture log;
        std::string error;
        const auto begin = Clock::now();
        EXPECT_FALSE(output.start("srt://192.0.2.1:0?mode=listener", error));
        EXPECT_LT(Clock::now() - begin, 2s);
        EXPECT_EQ(error, "SRT connection failed");
        EXPECT_FALSE(output.stopped_listening);
        const std::string text = log.text();
        EXPECT_NE(text.find("SRT connect failed: "), std::string::npos) << text;
        EXPECT_EQ(text.find("SRT listening on"), std::string::npos) << text;
    }
    {
        SCOPED_TRACE("nobody calls in");
        SrtOutput output;
        LogCapture log;
        std::string error;
        std::atomic<bool> returned{false};
        bool ok = true;
        std::thread starter([&] {
            ok = output.start("srt://127.0.0.1:0?mode=listener&transtype=live", error);
            returned = true;
        });
        const auto deadline = Clock::now() + 5s;
        bool listening = false;
        while (!listening && Clock::now() < deadline) {
            std::this_thread::sleep_for(10ms);
            std::lock_guard<std::mutex> lock(output.handshake_lock);
            listening = output.listening;
        }
        EXPECT_TRUE(listening);
        // Well past a caller's connect time-out, which a listener does not have.
        std::this_thread::sleep_for(std::chrono::milliseconds(SRT_CONNECT_TIMEOUT_MS) + 500ms);
        EXPECT_FALSE(returned.load());
        const auto stop = Clock::now();
        output.abort();
        starter.join();
        EXPECT_LT(Clock::now() - stop, 1s);
        EXPECT_FALSE(ok);
        EXPECT_EQ(error, "SRT connection failed");
        EXPECT_TRUE(output.stopped_listening);
        const std::string text = log.text();
        EXPECT_NE(text.find("SRT listening on 127.0.0.1:"), std::string::npos) << text;
        EXPECT_NE(text.find("SRT listening stopped, no receiver called in"), std::string::npos) << text;
        EXPECT_EQ(text.find("SRT connect failed"), std::string::npos) << text;
    }
}

} // namespace
