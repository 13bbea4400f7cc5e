#pragma once

#include <QString>
#include <QUrl>

// The help page is the README's user sections as HTML, built with the programs
// and kept in the same place relative to them in the build tree and when
// installed: <prefix>/bin/nuvix reads <prefix>/share/nuvix/nuvix-help.html.

// Path of the page, relative to the programs' folder.
constexpr const char HELP_PAGE_RELATIVE_PATH[] = "../share/nuvix/nuvix-help.html";

// The help page for programs in appDir, absolute and cleaned.
QString helpPageFile(const QString &appDir);

// A local file address of the help page, opened at section (the id of a
// heading, empty for the top).
QUrl helpPageUrl(const QString &appDir, const QString &section = QString());
