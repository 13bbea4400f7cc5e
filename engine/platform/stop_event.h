#pragma once

#include <string>

// A named, manual-reset, initially unset event that any process of the same user can
// open by name and set; once set it stays set. The engine owns one, named after its
// own process id; the front-end sets it to ask the engine to stop.

// Name of the stop event of the engine process engine_pid.
std::string stop_event_name(long engine_pid);

// Id of the calling process.
long current_process_id();

// Sets the existing stop event of engine_pid. Never creates it: false when no such
// event exists (the engine is gone or never made one) or it cannot be set.
bool signal_stop_event(long engine_pid);

// Removes the name of the stop event of an engine that has ended. An engine that was
// killed cannot remove it itself, and on POSIX systems the name outlives the process.
// Call only after engine_pid has exited; harmless when there is nothing to remove.
void remove_stop_event(long engine_pid);

// The engine's own stop event. Owns the object: the destructor closes it and removes
// its name. Not copyable; wait() runs on one thread while set() may come from any.
class StopEvent {
public:
    StopEvent() = default;
    ~StopEvent();
    StopEvent(const StopEvent &) = delete;
    StopEvent &operator=(const StopEvent &) = delete;

    // Creates the event for engine_pid, replacing a stale one of the same name.
    bool create(long engine_pid);
    bool valid() const { return handle_ != nullptr; }
    // Blocks until the event is set (returns at once when it already is).
    void wait();
    void set();
    // Closes the handle and removes the name; safe to call again.
    void close();

private:
    void *handle_ = nullptr;
    std::string name_;
};
