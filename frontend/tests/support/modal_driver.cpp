#include "modal_driver.h"

#include <QApplication>
#include <QDialog>

#include <memory>

void whenModalShows(const char *className, std::function<void(QWidget *)> action, int giveUpMs)
{
    constexpr int POLL_MS = 20;
    auto *timer = new QTimer(qApp);
    auto ticksLeft = std::make_shared<int>(giveUpMs / POLL_MS);
    QObject::connect(timer, &QTimer::timeout, qApp, [timer, ticksLeft, className, action] {
        QWidget *modal = QApplication::activeModalWidget();
        if (modal && modal->isVisible() && modal->inherits(className)) {
            timer->stop();
            timer->deleteLater();
            action(modal);
        } else if (--*ticksLeft <= 0) {
            qWarning("no modal %s showed up", className);
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start(POLL_MS);
}

ModalWatchdog::ModalWatchdog(int limitMs)
{
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, [this] {
        if (QWidget *modal = QApplication::activeModalWidget()) {
            qWarning("modal %s still open; rejecting it", modal->metaObject()->className());
            if (auto *dialog = qobject_cast<QDialog *>(modal))
                dialog->reject();
            else
                modal->close();
            timer.start(1000);
        }
    });
    timer.start(limitMs);
}

ModalWatchdog::~ModalWatchdog() = default;
