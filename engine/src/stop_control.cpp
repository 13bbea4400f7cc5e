#include "stop_control.h"

#include "events_log.h"
#include "process_watch.h"
#include "srt_output.h"

#include <csignal>
#include <system_error>

std::atomic<bool> keep_running{true};
std::atomic<bool> stop_event_armed{true};

void on_stop_signal(int signal_number)
{
    if (signal_number == SIGINT || signal_number == SIGTERM)
        keep_running.store(false);
}

void install_stop_signal_handlers()
{
    std::signal(SIGINT, on_stop_signal);
    std::signal(SIGTERM, on_stop_signal);
}

void wait_for_stop_event(StopEvent &event)
{
    event.wait();
    if (stop_event_armed.load()) {
        // Cleared first, so a pipeline whose write fails from the abort ends as stopped.
        keep_running.exchange(false);
        abort_active_output();
    }
}

void watch_parent(int32_t pid, std::atomic<bool> &run_flag)
{
    while (run_flag.load()) {
        if (!process_is_running(pid)) {
            run_flag.exchange(false);
            return;
        }
        std::this_thread::sleep_for(PARENT_POLL_INTERVAL);
    }
}

void start_stop_control(StopControl &control, int32_t watch_pid)
{
    if (control.event.create(current_process_id())) {
        try {
            control.event_thread = std::thread(wait_for_stop_event, std::ref(control.event));
        } catch (const std::system_error &e) {
            // Without a waiter the event would be set in vain: remove it, so the
            // front-end finds no event and ends the process at once.
            log_line(std::string("cannot start the stop-event thread: ") + e.what());
            control.event.close();
        }
    }
    if (watch_pid > 0) {
        try {
            control.watch_thread = std::thread(watch_parent, watch_pid, std::ref(keep_running));
        } catch (const std::system_error &e) {
            log_line(std::string("cannot start the parent-watch thread: ") + e.what());
        }
    }
}

void shut_down_stop_control(StopControl &control)
{
    keep_running.exchange(false);
    stop_event_armed.exchange(false);
    if (control.event_thread.joinable()) {
        control.event.set();
        control.event_thread.join();
    }
    control.event.close();
    if (control.watch_thread.joinable())
        control.watch_thread.join();
}
