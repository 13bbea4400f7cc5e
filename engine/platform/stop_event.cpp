#include "stop_event.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <semaphore.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#ifdef _WIN32

std::string stop_event_name(long engine_pid)
{
    return "Local\\kby_nuvix_stop_" + std::to_string(engine_pid);
}

long current_process_id() { return static_cast<long>(GetCurrentProcessId()); }

bool signal_stop_event(long engine_pid)
{
    HANDLE h = OpenEventA(EVENT_MODIFY_STATE, FALSE, stop_event_name(engine_pid).c_str());
    if (!h)
        return false;
    const bool ok = SetEvent(h) != 0;
    CloseHandle(h);
    return ok;
}

// The kernel deletes an event with its last handle.
void remove_stop_event(long) {}

StopEvent::~StopEvent() { close(); }

bool StopEvent::create(long engine_pid)
{
    close();
    name_ = stop_event_name(engine_pid);
    handle_ = CreateEventA(nullptr, TRUE, FALSE, name_.c_str());
    return handle_ != nullptr;
}

void StopEvent::wait()
{
    if (handle_)
        WaitForSingleObject(static_cast<HANDLE>(handle_), INFINITE);
}

void StopEvent::set()
{
    if (handle_)
        SetEvent(static_cast<HANDLE>(handle_));
}

void StopEvent::close()
{
    if (handle_)
        CloseHandle(static_cast<HANDLE>(handle_));
    handle_ = nullptr;
}

#else

// A POSIX named semaphore stands in for the event: a post sets it, and the single
// waiter posts again after its wait so the event stays set.

std::string stop_event_name(long engine_pid)
{
    return "/kby_nuvix_stop_" + std::to_string(engine_pid);
}

long current_process_id() { return static_cast<long>(getpid()); }

bool signal_stop_event(long engine_pid)
{
    if (engine_pid < 1)
        return false;
    sem_t *sem = sem_open(stop_event_name(engine_pid).c_str(), 0);
    if (sem == SEM_FAILED)
        return false;
    const bool ok = sem_post(sem) == 0;
    sem_close(sem);
    return ok;
}

void remove_stop_event(long engine_pid)
{
    if (engine_pid >= 1)
        sem_unlink(stop_event_name(engine_pid).c_str());
}

StopEvent::~StopEvent() { close(); }

bool StopEvent::create(long engine_pid)
{
    close();
    name_ = stop_event_name(engine_pid);
    // A name left behind by a crashed process of the same id would start out set.
    sem_unlink(name_.c_str());
    sem_t *sem = sem_open(name_.c_str(), O_CREAT | O_EXCL, S_IRUSR | S_IWUSR, 0);
    if (sem == SEM_FAILED) {
        name_.clear();
        return false;
    }
    handle_ = sem;
    return true;
}

void StopEvent::wait()
{
    sem_t *sem = static_cast<sem_t *>(handle_);
    if (!sem)
        return;
    while (sem_wait(sem) != 0 && errno == EINTR) {
    }
    sem_post(sem);
}

void StopEvent::set()
{
    if (handle_)
        sem_post(static_cast<sem_t *>(handle_));
}

void StopEvent::close()
{
    if (handle_) {
        sem_close(static_cast<sem_t *>(handle_));
        sem_unlink(name_.c_str());
    }
    handle_ = nullptr;
    name_.clear();
}

#endif
