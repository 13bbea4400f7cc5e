// The text of the live statistics and of the transfer-mode advice.
#include "srt_refusal_hint.h"
#include "srt_stats.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace {

TEST(SrtStatsText, EventLineAndSummaryHaveTheirFixedShape)
{
    struct Case {
        SrtStats stats;
        std::string event;
        std::string summary;
    };
    const std::vector<Case> cases = {
        {{6.2149, 3.06, 12345, 0, 2, 14, 1234567},
         "{\"event\":\"srt_stats\",\"mbps\":6.21,\"rtt_ms\":3.1,\"sent\":12345,\"lost\":0,\"retrans\":2,"
         "\"buffer_ms\":14,\"bytes\":1234567}",
         "SRT stats: 1234567 bytes in 12345 packets, lost 0, retransmitted 2, RTT 3.1 ms"},
        {{}, "{\"event\":\"srt_stats\",\"mbps\":0.00,\"rtt_ms\":0.0,\"sent\":0,\"lost\":0,\"retrans\":0,"
             "\"buffer_ms\":0,\"bytes\":0}",
         "SRT stats: 0 bytes in 0 packets, lost 0, retransmitted 0, RTT 0.0 ms"},
        // Rounding, and totals beyond 32 bits.
        {{999.999, 0.05, 5000000000, 7, 9, 120, 6000000000000},
         "{\"event\":\"srt_stats\",\"mbps\":1000.00,\"rtt_ms\":0.1,\"sent\":5000000000,\"lost\":7,\"retrans\":9,"
         "\"buffer_ms\":120,\"bytes\":6000000000000}",
         "SRT stats: 6000000000000 bytes in 5000000000 packets, lost 7, retransmitted 9, RTT 0.1 ms"},
        // Values libsrt could not measure must not break the JSON.
        {{std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(), 1, 0, 0, 0, 1316},
         "{\"event\":\"srt_stats\",\"mbps\":0.00,\"rtt_ms\":0.0,\"sent\":1,\"lost\":0,\"retrans\":0,"
         "\"buffer_ms\":0,\"bytes\":1316}",
         "SRT stats: 1316 bytes in 1 packets, lost 0, retransmitted 0, RTT 0.0 ms"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(stats_event_line(c.stats), c.event);
        EXPECT_EQ(stats_summary_text(c.stats), c.summary);
    }
}

TEST(SrtStatsText, TakesTheFiguresFromLibsrtsTrace)
{
    SRT_TRACEBSTATS trace{};
    trace.mbpsSendRate = 2.5;
    trace.msRTT = 0.25;
    trace.pktSentTotal = 100;
    trace.pktSndLossTotal = 3;
    trace.pktRetransTotal = 4;
    trace.msSndBuf = 40;
    trace.byteSentTotal = 131600 + 100 * 44;   // libsrt adds every packet's headers
    // Per-interval counters are not the totals the line reports.
    trace.pktSent = 10;
    trace.byteSent = 13160;
    const SrtStats stats = stats_from_trace(trace);
    EXPECT_DOUBLE_EQ(stats.mbps, 2.5);
    EXPECT_DOUBLE_EQ(stats.rtt_ms, 0.25);
    EXPECT_EQ(stats.sent, 100);
    EXPECT_EQ(stats.lost, 3);
    EXPECT_EQ(stats.retrans, 4);
    EXPECT_EQ(stats.buffer_ms, 40);
    EXPECT_EQ(stats.bytes, 131600u);

    // Nothing sent yet, or less than the headers (never from libsrt): no wrap-around.
    trace = SRT_TRACEBSTATS{};
    EXPECT_EQ(stats_from_trace(trace).bytes, 0u);
    trace.pktSentTotal = 2;
    trace.byteSentTotal = 50;
    EXPECT_EQ(stats_from_trace(trace).bytes, 0u);
}

TEST(TransferModeHint, OnlyATransferModeClashGetsAdvice)
{
    const std::string to_live = "SRT hint: the receiver expects live mode; add transtype=live to the SRT address";
    const std::string to_file = "SRT hint: the receiver expects file mode; remove transtype=live from the SRT address";
    struct Case {
        int reason;
        bool live;
        std::string hint;
    };
    const std::vector<Case> cases = {
        {SRT_REJ_MESSAGEAPI, false, to_live},  {SRT_REJ_MESSAGEAPI, true, to_file},
        {SRT_REJ_CONGESTION, false, to_live},  {SRT_REJ_CONGESTION, true, to_file},
        {SRT_REJ_BADSECRET, false, ""},        {SRT_REJ_UNSECURE, true, ""},
        {SRT_REJ_TIMEOUT, false, ""},          {SRT_REJ_UNKNOWN, true, ""},
        {SRT_REJ_PEER, false, ""},             {-1, false, ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(transfer_mode_hint(c.reason, c.live), c.hint) << c.reason << " live=" << c.live;
}

} // namespace
