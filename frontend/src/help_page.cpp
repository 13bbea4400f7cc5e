#include "help_page.h"

#include <QDir>

QString helpPageFile(const QString &appDir)
{
    return QDir::cleanPath(QDir(appDir).absoluteFilePath(QString::fromLatin1(HELP_PAGE_RELATIVE_PATH)));
}

QUrl helpPageUrl(const QString &appDir, const QString &section)
{
    QUrl url = QUrl::fromLocalFile(helpPageFile(appDir));
    if (!section.isEmpty())
        url.setFragment(section);
    return url;
}
