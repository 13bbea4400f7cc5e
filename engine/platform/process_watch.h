#pragma once

// True while the process pid exists and has not ended. A process that cannot be
// checked (no such id, no access, already exited but not yet reaped) counts as gone.
bool process_is_running(long pid);
