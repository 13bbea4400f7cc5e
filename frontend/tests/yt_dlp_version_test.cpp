#include "yt_dlp_version.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

// The age rule of yt-dlp's version against a fixed "today".
class YtDlpVersionTest : public QObject
{
    Q_OBJECT

private slots:
    void age_data();
    void age();
    void selfUpdate_data();
    void selfUpdate();
    void selfUpdateOfFilesOnDisk();
    void texts();
};

namespace {
const QDate TODAY(2026, 12, 10);
}

void YtDlpVersionTest::age_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<int>("days"); // -1: unknown
    QTest::addColumn<bool>("old");

    QTest::newRow("Debian 12's release") << "2023.03.04" << 1377 << true;
    QTest::newRow("blanks around it") << "  2023.03.04 \n" << 1377 << true;
    QTest::newRow("nightly build suffix") << "2024.04.09.232843" << 975 << true;
    QTest::newRow("post-release suffix") << "2026.11.30.1" << 10 << false;
    QTest::newRow("suffix after a blank") << "2026.12.01 (linux_exe)" << 9 << false;
    QTest::newRow("released today") << "2026.12.10" << 0 << false;
    QTest::newRow("exactly the limit") << "2026.09.11" << 90 << false;
    QTest::newRow("one day over the limit") << "2026.09.10" << 91 << true;
    QTest::newRow("single-digit month and day") << "2026.9.1" << 100 << true;
    QTest::newRow("leap day") << "2024.02.29" << 1015 << true;
    QTest::newRow("tomorrow") << "2026.12.11" << -1 << false;
    QTest::newRow("far future (test stand-in)") << "2099.01.01" << -1 << false;
    QTest::newRow("empty") << "" << -1 << false;
    QTest::newRow("blanks only") << "  \t" << -1 << false;
    QTest::newRow("garbage") << "garbage" << -1 << false;
    QTest::newRow("semantic version") << "1.2.3" << -1 << false;
    QTest::newRow("prefixed date") << "v2023.03.04" << -1 << false;
    QTest::newRow("date without dots") << "20230304" << -1 << false;
    QTest::newRow("day runs into a number") << "2023.03.041" << -1 << false;
    QTest::newRow("month 13") << "2023.13.01" << -1 << false;
    QTest::newRow("30 February") << "2023.02.30" << -1 << false;
    QTest::newRow("python traceback") << "Traceback (most recent call last):" << -1 << false;
}

void YtDlpVersionTest::age()
{
    QFETCH(QString, version);
    QFETCH(int, days);
    QFETCH(bool, old);

    QCOMPARE(ytDlpAgeDays(version, TODAY), days);
    QCOMPARE(ytDlpIsOld(ytDlpAgeDays(version, TODAY)), old);
    // An unknown age never claims to be the cause of a failure.
    const QString message = QStringLiteral("ERROR: Unable to extract");
    QCOMPARE(withYtDlpAgeCause(message, ytDlpAgeDays(version, TODAY)) != message, old);
}

void YtDlpVersionTest::selfUpdate_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("fileWritable");
    QTest::addColumn<bool>("folderWritable");
    QTest::addColumn<bool>("can");

    QTest::newRow("Debian's package") << "/usr/bin/yt-dlp" << true << true << false;
    QTest::newRow("packaged elsewhere under /usr") << "/usr/share/yt-dlp/yt-dlp" << true << true << false;
    QTest::newRow("admin's copy in /usr/local") << "/usr/local/bin/yt-dlp" << true << true << true;
    QTest::newRow("release file in the home folder") << "/home/ana/Downloads/yt-dlp_linux" << true << true << true;
    QTest::newRow("read-only file") << "/home/ana/bin/yt-dlp" << false << true << false;
    QTest::newRow("read-only folder") << "/opt/tools/yt-dlp" << true << false << false;
    QTest::newRow("no such file") << "" << true << true << false;
}

void YtDlpVersionTest::selfUpdate()
{
    QFETCH(QString, path);
    QFETCH(bool, fileWritable);
    QFETCH(bool, folderWritable);
    QFETCH(bool, can);
    QCOMPARE(ytDlpCanSelfUpdate(path, fileWritable, folderWritable), can);
}

void YtDlpVersionTest::selfUpdateOfFilesOnDisk()
{
    QTemporaryDir dir;
    const QString mine = dir.filePath(QStringLiteral("yt-dlp_linux"));
    QFile file(mine);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    QVERIFY(ytDlpCanSelfUpdate(mine));
    QVERIFY(!ytDlpCanSelfUpdate(dir.filePath(QStringLiteral("missing"))));
    if (QFile::exists(QStringLiteral("/usr/bin/yt-dlp")))
        QVERIFY(!ytDlpCanSelfUpdate(QStringLiteral("/usr/bin/yt-dlp")));
}

void YtDlpVersionTest::texts()
{
    QCOMPARE(ytDlpAgeStatus(640, true), QStringLiteral("yt-dlp is 640 days old: update it (yt-dlp -U)"));
    QCOMPARE(ytDlpAgeStatus(91, false), QStringLiteral("yt-dlp is 91 days old: get a current release (see logs)"));

    const QString update = ytDlpAgeAdvice(QStringLiteral("2026.01.02"), 342, QStringLiteral("/home/ana/yt-dlp_linux"),
                                          true, QStringLiteral("/usr/bin"), QStringLiteral("/home/ana/.config/Orvanta/Nuvix.conf"));
    QCOMPARE(update, QStringLiteral("yt-dlp 2026.01.02 is 342 days old; video sites change every few weeks and an "
                                    "old yt-dlp fails on them.\nUpdate it: /home/ana/yt-dlp_linux -U\n"));

    const QString fetch = ytDlpAgeAdvice(QStringLiteral("2023.03.04"), 1377, QStringLiteral("/usr/bin/yt-dlp"), false,
                                         QStringLiteral("/usr/bin"), QStringLiteral("/home/ana/.config/Orvanta/Nuvix.conf"));
    QVERIFY(fetch.startsWith(QStringLiteral("yt-dlp 2023.03.04 is 1377 days old;")));
    QVERIFY(fetch.endsWith(QLatin1Char('\n')));
    QVERIFY(!fetch.contains(QStringLiteral("-U")));
    for (const char *part : {YT_DLP_RELEASES_PAGE, YT_DLP_RELEASE_FILE, "chmod +x", "next to nuvix in /usr/bin",
                             "YT_DLP_PATH=", "/home/ana/.config/Orvanta/Nuvix.conf"})
        QVERIFY2(fetch.contains(QString::fromLatin1(part)), part);

    QCOMPARE(withYtDlpAgeCause(QStringLiteral("nothing found"), 1377),
             QStringLiteral("nothing found (likely cause: yt-dlp is 1377 days old)"));
    QCOMPARE(withYtDlpAgeCause(QStringLiteral("nothing found"), 90), QStringLiteral("nothing found"));
    QCOMPARE(withYtDlpAgeCause(QStringLiteral("nothing found"), -1), QStringLiteral("nothing found"));
}

QTEST_GUILESS_MAIN(YtDlpVersionTest)
#include "yt_dlp_version_test.moc"
