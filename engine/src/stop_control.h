#pragma once

#include "stop_event.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

// Process-wide run flags. Only ever cleared (true -> false), never set back.
extern std::atomic<bool> keep_running;
extern std::atomic<bool> stop_event_armed;

// Poll interval of the parent watch.
constexpr std::chrono::milliseconds PARENT_POLL_INTERVAL{100};

// Handler for SIGINT and SIGTERM: clears keep_running, nothing else.
void on_stop_signal(int signal_number);
void install_stop_signal_handlers();

// Stop-event thread: blocks until the event is set; when still armed, clears
// keep_running and then aborts the active SRT output.
void wait_for_stop_event(StopEvent &event);

// Parent-watch thread: polls pid every PARENT_POLL_INTERVAL and clears run_flag once the
// process is gone (or cannot be checked). Ends early when run_flag is already false.
void watch_parent(int32_t pid, std::atomic<bool> &run_flag);

// The stop event and the two threads of one engine run.
struct StopControl {
    StopEvent event;
    std::thread event_thread;   // runs wait_for_stop_event while the event exists
    std::thread watch_thread;   // runs watch_parent when a pid is watched
};

// Creates the stop event named after this process and starts the stop-event thread,
// and with watch_pid > 0 the parent-watch thread. Failures are logged; the run goes on
// without the missing piece.
void start_stop_control(StopControl &control, int32_t watch_pid);

// Shutdown: clears keep_running and stop_event_armed, wakes and joins the stop-event
// thread, closes the event (its name disappears), joins the parent watch.
void shut_down_stop_control(StopControl &control);
