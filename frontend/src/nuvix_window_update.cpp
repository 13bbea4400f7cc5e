// Update check: one request per start, a message box when a newer build exists.
#include "nuvix_window.h"

#include "update_check.h"

#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPushButton>
#include <QSettings>

namespace {
const char KEY_SKIP_UPDATE[] = "NUVIX_SKIP_UPDATE";
}

void NuvixWindow::checkForUpdate()
{
    // At most once per process, and never for a program that ends at start.
    if (updateCheckStarted || quitAtStart || closing)
        return;
    updateCheckStarted = true;

    const QUrl url = updateRequestUrl(updateEndpointHost());
    if (!url.isValid())
        return;
    auto *manager = new QNetworkAccessManager(this);
    connect(manager, &QNetworkAccessManager::finished, this,
            [this](QNetworkReply *reply) { onUpdateReply(reply); });
    manager->get(QNetworkRequest(url));
}

void NuvixWindow::onUpdateReply(QNetworkReply *reply)
{
    reply->deleteLater();
    if (closing || reply->error() != QNetworkReply::NoError)
        return;

    const UpdateInfo info = parseUpdateReply(reply->readAll());
    const int skipped = settings->value(QLatin1String(KEY_SKIP_UPDATE), 0).toInt();
    if (!shouldOfferUpdate(info.build, skipped))
        return;

    QMessageBox box(this);
    box.setIcon(QMessageBox::Information);
    box.setWindowTitle(QStringLiteral("Update Info"));
    box.setTextFormat(Qt::RichText);
    box.setText(composeUpdateText(info.msg, info.url));
    box.setStandardButtons(QMessageBox::NoButton);
    box.setStyleSheet(QStringLiteral("QMessageBox { background-color: #050F15; }"
                                     "QMessageBox QLabel { color: white; font-size: 14px; }"));
    // After the style sheet: a style change resets the flags to the style's own.
    box.setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::LinksAccessibleByMouse
                                | Qt::LinksAccessibleByKeyboard);
    QPushButton *skipButton = box.addButton(QStringLiteral("Skip this update"), QMessageBox::YesRole);
    QPushButton *laterButton = box.addButton(QStringLiteral("Remind Later"), QMessageBox::NoRole);
    box.setDefaultButton(laterButton);
    box.exec();

    // Remind Later, the close button and Escape store nothing: the build is
    // offered again at the next start.
    if (box.clickedButton() == skipButton) {
        settings->setValue(QLatin1String(KEY_SKIP_UPDATE), info.build);
        settings->sync();
    }
}
