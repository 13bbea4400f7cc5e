#pragma once

#include <QTimer>
#include <QWidget>

#include <functional>

// Drives modal dialogs from a test: the dialog's own event loop runs the timers.

// Calls action with the first visible modal widget that inherits className
// (for example "QFileDialog") once it shows. Gives up after giveUpMs.
void whenModalShows(const char *className, std::function<void(QWidget *)> action, int giveUpMs = 30000);

// While it lives, a modal widget that stays open longer than limitMs is
// reported and rejected, so a test that failed to close its dialog fails
// instead of hanging.
class ModalWatchdog
{
public:
    explicit ModalWatchdog(int limitMs = 20000);
    ~ModalWatchdog();

private:
    QTimer timer;
};
