// The front-end's log, its logs window and the About dialog.
#include "nuvix_window.h"

#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextCursor>
#include <QVBoxLayout>

namespace {
const char ICON_VENDOR_URL[] = "https://icons8.com";
}

void NuvixWindow::appendLog(const QString &text)
{
    if (text.isEmpty())
        return;
    logText += text;
    if (logsView) {
        logsView->setPlainText(logText);
        logsView->moveCursor(QTextCursor::End, QTextCursor::MoveAnchor);
    }
}

void NuvixWindow::showLogs()
{
    if (!logsDialog) {
        logsDialog = new QDialog(this);
        logsDialog->setObjectName(QStringLiteral("NuvixLogs"));
        logsDialog->setWindowTitle(QStringLiteral("Nuvix logs"));
        logsDialog->resize(640, 360);
        auto *layout = new QVBoxLayout(logsDialog);
        logsView = new QPlainTextEdit(logsDialog);
        logsView->setReadOnly(true);
        logsView->setLineWrapMode(QPlainTextEdit::WidgetWidth);
        layout->addWidget(logsView);
    }
    logsView->setPlainText(logText);
    logsDialog->show();
    logsDialog->raise();
    logsDialog->activateWindow();
}

void NuvixWindow::onShowLogsClicked()
{
    showLogs();
}

void NuvixWindow::showAbout()
{
    QDialog dialog(this);
    dialog.setObjectName(QStringLiteral("dlgAbout"));
    dialog.setWindowTitle(QStringLiteral("About"));
    dialog.setStyleSheet(QStringLiteral("QDialog#dlgAbout { background-color: #050F15; }"
                                        "QDialog#dlgAbout QLabel { color: white; font-size: 14px; }"));

    auto *layout = new QVBoxLayout(&dialog);
    layout->setContentsMargins(16, 14, 16, 14);
    layout->setSpacing(8);

    layout->addWidget(new QLabel(QStringLiteral("Nuvix"), &dialog));
    auto *version = new QLabel(QStringLiteral("ver 1.0 BETA"), &dialog);
    version->setStyleSheet(QStringLiteral("color: white; font-size: 12px;"));
    layout->addWidget(version);
    layout->addSpacing(6);

    auto *credit = new QLabel(&dialog);
    credit->setTextFormat(Qt::RichText);
    credit->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::LinksAccessibleByMouse
                                    | Qt::LinksAccessibleByKeyboard);
    credit->setOpenExternalLinks(true);
    credit->setCursor(Qt::PointingHandCursor);
    credit->setText(QStringLiteral("<a style='color:white;text-decoration:none;' href='")
                    + QString::fromLatin1(ICON_VENDOR_URL) + QStringLiteral("'>Icons by Icons8</a>"));
    layout->addWidget(credit);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    auto *close = new QPushButton(QStringLiteral("Close"), &dialog);
    QObject::connect(close, &QPushButton::clicked, &dialog, &QDialog::accept);
    buttons->addWidget(close);
    layout->addLayout(buttons);

    dialog.exec();
}
