#include "app_style.h"
#include "nuvix_window.h"

#include <QApplication>
#include <QIcon>
#include <QSettings>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Orvanta"));
    QCoreApplication::setApplicationName(QStringLiteral("Nuvix"));
    QSettings::setDefaultFormat(QSettings::NativeFormat);
    app.setStyleSheet(appStyleSheet());
    initAppResources();
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/APP_ICON")));

    // The constructor runs the extractor check; its setup dialog may ask to quit.
    NuvixWindow window;
    if (window.quitAtStartRequested())
        return 0;

    window.show();
    // ---- update check: started here, with the window as parent ----
    window.checkForUpdate();

    // ---- end of update check ----
    return app.exec();
}
