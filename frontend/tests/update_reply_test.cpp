#include "engine_test_support.h"
#include "isolated_settings.h"
#include "nuvix_window.h"
#include "update_check.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

namespace {

// What a test does with the message box once it appears.
enum class BoxAnswer { Skip, RemindLater, Escape };

struct SeenBox
{
    QString title;
    QString text;
    QStringList buttons;
    QList<int> roles;
    QString defaultButton;
    QString styleSheet;
    int textFormat = -1;
    int icon = -1;
    int standardButtons = -1;
    int interaction = -1;
    bool opensLinks = false;
};

// Finds the message box among the top-level widgets, notes what it shows and
// answers it; a test never waits for a person.
class BoxDriver : public QObject
{
public:
    explicit BoxDriver(BoxAnswer answer)
        : answer(answer)
    {
        timer.setInterval(20);
        connect(&timer, &QTimer::timeout, this, [this] { poll(); });
        timer.start();
    }
    QList<SeenBox> seen;

private:
    void poll()
    {
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            auto *box = qobject_cast<QMessageBox *>(widget);
            if (!box || !box->isVisible() || handled.contains(box))
                continue;
            handled << box;
            SeenBox s;
            s.title = box->windowTitle();
            s.text = box->text();
            for (QAbstractButton *button : box->buttons()) {
                s.buttons << button->text();
                s.roles << int(box->buttonRole(button));
            }
            s.defaultButton = box->defaultButton() ? box->defaultButton()->text() : QString();
            s.styleSheet = box->styleSheet();
            s.textFormat = int(box->textFormat());
            s.icon = int(box->icon());
            s.standardButtons = int(box->standardButtons());
            s.interaction = int(box->textInteractionFlags());
            // The Download link goes to the system's browser.
            for (QLabel *label : box->findChildren<QLabel *>()) {
                if (label->text() == box->text())
                    s.opensLinks = label->openExternalLinks();
            }
            seen << s;
            switch (answer) {
            case BoxAnswer::Skip:
            case BoxAnswer::RemindLater:
                for (QAbstractButton *button : box->buttons()) {
                    if (button->text()
                        == (answer == BoxAnswer::Skip ? "Skip this update" : "Remind Later"))
                        button->click();
                }
                break;
            case BoxAnswer::Escape:
                QTest::keyClick(box, Qt::Key_Escape);
                break;
            }
        }
    }

    BoxAnswer answer;
    QTimer timer;
    QList<QPointer<QMessageBox>> handled;
};

} // namespace

// The window's side of the update check against a loopback endpoint.
class UpdateReplyTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void replies_data();
    void replies();
    void boxLooks();
    void skipStoresTheBuild();
    void otherAnswersStoreNothing_data();
    void otherAnswersStoreNothing();
    void refusedPortIsSilent();
    void replyAfterClosingIsDropped();
    void oneRequestPerStart();
    void noRequestWhenTheProgramEndsAtStart();
    void programAsksOnceAtStart();

private:
    void setReply(const QByteArray &body, int status = 200, double delaySeconds = 0);
    // One start of the window: its check, its reply handled, the window gone.
    QList<SeenBox> runStart(BoxAnswer answer);
    int requests();
    int storedSkip() const;

    std::unique_ptr<IsolatedSettings> settings;
    std::unique_ptr<QTemporaryDir> root;
    std::unique_ptr<ServiceProcess> server;
};

void UpdateReplyTest::initTestCase()
{
    qRegisterMetaType<QNetworkReply *>();
    // Loopback only, never through a proxy.
    for (const char *name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"})
        qunsetenv(name);
}

void UpdateReplyTest::init()
{
    settings = std::make_unique<IsolatedSettings>();
    QVERIFY(settings->isValid());
    root = std::make_unique<QTemporaryDir>();
    QVERIFY(root->isValid());
    QVERIFY(QDir().mkpath(root->path() + "/check_update379/960/0/0/20"));
    server = std::make_unique<ServiceProcess>();
    QVERIFY(server->start("python3", {supportScript("update_server.py"), root->path()}));
    qputenv("NUVIX_UPDATE_HOST", QByteArray("127.0.0.1:") + QByteArray::number(server->port()));
}

void UpdateReplyTest::cleanup()
{
    qunsetenv("NUVIX_UPDATE_HOST");
    server.reset();
    root.reset();
    settings.reset();
}

void UpdateReplyTest::setReply(const QByteArray &body, int status, double delaySeconds)
{
    const QString file = root->path() + updateRequestPath();
    auto write = [](const QString &path, const QByteArray &bytes) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
    };
    write(file, body);
    QFile::remove(file + ".status");
    QFile::remove(file + ".delay");
    if (status != 200)
        write(file + ".status", QByteArray::number(status));
    if (delaySeconds > 0)
        write(file + ".delay", QByteArray::number(delaySeconds));
}

int UpdateReplyTest::requests()
{
    return server->output().count("request " + updateRequestPath() + "\n");
}

int UpdateReplyTest::storedSkip() const
{
    return settings->store()->value("NUVIX_SKIP_UPDATE", 0).toInt();
}

QList<SeenBox> UpdateReplyTest::runStart(BoxAnswer answer)
{
    BoxDriver driver(answer);
    const int before = requests();
    {
        NuvixWindow window;
        window.show();
        window.checkForUpdate();
        auto *manager = window.findChild<QNetworkAccessManager *>();
        if (!manager) {
            QTest::qFail("no request was made", __FILE__, __LINE__);
            return driver.seen;
        }
        // Connected after the window's own handler, so it fires once that is done.
        QSignalSpy done(manager, &QNetworkAccessManager::finished);
        if (!done.wait(15000) && done.isEmpty())
            QTest::qFail("no reply", __FILE__, __LINE__);
        window.close();
    }
    if (requests() != before + 1)
        QTest::qFail("not exactly one request", __FILE__, __LINE__);
    return driver.seen;
}

void UpdateReplyTest::replies_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("shown"); // null: no message box

    QTest::newRow("same build") << QByteArray(R"({"build":20,"msg":"m","url":"http://h/d"})") << 200
                                << QString();
    QTest::newRow("older build") << QByteArray(R"({"build":7,"msg":"m"})") << 200 << QString();
    QTest::newRow("link only")
        << QByteArray(R"({"build":21,"msg":"","url":"http://h/d"})") << 200
        << R"(<a href="http://h/d" style="color:white;">Download</a>)";
    QTest::newRow("message only") << QByteArray(R"({"build":21,"msg":"<b>New</b> build"})") << 200
                                  << "<b>New</b> build";
    QTest::newRow("ampersand in the link")
        << QByteArray(R"({"build":30,"msg":"Get it","url":"http://h/d?a=1&b=2"})") << 200
        << R"(Get it    <a href="http://h/d?a=1&amp;b=2" style="color:white;">Download</a>)";
    QTest::newRow("no build") << QByteArray(R"({"msg":"m","url":"http://h/d"})") << 200 << QString();
    QTest::newRow("build as text") << QByteArray(R"({"build":"21","msg":"m"})") << 200 << QString();
    QTest::newRow("not json") << QByteArray("<html>hello</html>") << 200 << QString();
    QTest::newRow("server error with a good body")
        << QByteArray(R"({"build":21,"msg":"m"})") << 500 << QString();
    QTest::newRow("not found") << QByteArray(R"({"build":21,"msg":"m"})") << 404 << QString();
}

void UpdateReplyTest::replies()
{
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(QString, shown);
    setReply(body, status);
    const QList<SeenBox> boxes = runStart(BoxAnswer::RemindLater);
    if (shown.isNull()) {
        QCOMPARE(boxes.size(), 0);
    } else {
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes.first().text, shown);
    }
    QCOMPARE(storedSkip(), 0);
}

void UpdateReplyTest::boxLooks()
{
    setReply(R"({"build":21,"msg":"m","url":"http://h/d"})");
    const QList<SeenBox> boxes = runStart(BoxAnswer::RemindLater);
    QCOMPARE(boxes.size(), 1);
    const SeenBox &box = boxes.first();
    QCOMPARE(box.title, QString("Update Info"));
    QCOMPARE(box.icon, int(QMessageBox::Information));
    QCOMPARE(box.textFormat, int(Qt::RichText));
    QCOMPARE(box.standardButtons, int(QMessageBox::NoButton));
    QCOMPARE(box.buttons, (QStringList{"Skip this update", "Remind Later"}));
    QCOMPARE(box.roles, (QList<int>{int(QMessageBox::YesRole), int(QMessageBox::NoRole)}));
    QCOMPARE(box.defaultButton, QString("Remind Later"));
    QVERIFY(box.opensLinks);
    QCOMPARE(box.interaction, int(Qt::TextSelectableByMouse | Qt::LinksAccessibleByMouse
                                  | Qt::LinksAccessibleByKeyboard));
    QCOMPARE(box.styleSheet, QString("QMessageBox { background-color: #050F15; }"
                                     "QMessageBox QLabel { color: white; font-size: 14px; }"));
}

void UpdateReplyTest::skipStoresTheBuild()
{
    setReply(R"({"build":21,"msg":"m"})");
    QCOMPARE(runStart(BoxAnswer::Skip).size(), 1);
    QCOMPARE(storedSkip(), 21);

    // Later starts: the skipped build stays quiet, a newer one is offered.
    QCOMPARE(runStart(BoxAnswer::RemindLater).size(), 0);
    setReply(R"({"build":22,"msg":"newer"})");
    const QList<SeenBox> boxes = runStart(BoxAnswer::RemindLater);
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(boxes.first().text, QString("newer"));
    QCOMPARE(storedSkip(), 21);
}

void UpdateReplyTest::otherAnswersStoreNothing_data()
{
    QTest::addColumn<int>("answer");
    QTest::newRow("Remind Later") << int(BoxAnswer::RemindLater);
    QTest::newRow("Escape") << int(BoxAnswer::Escape);
}

void UpdateReplyTest::otherAnswersStoreNothing()
{
    QFETCH(int, answer);
    setReply(R"({"build":21,"msg":"m"})");
    QCOMPARE(runStart(BoxAnswer(answer)).size(), 1);
    QVERIFY(!settings->storedKeys().contains("NUVIX_SKIP_UPDATE"));
    // The same build is offered again at the next start.
    QCOMPARE(runStart(BoxAnswer::RemindLater).size(), 1);
}

void UpdateReplyTest::refusedPortIsSilent()
{
    const int port = closedLoopbackPort();
    QVERIFY(port > 0);
    qputenv("NUVIX_UPDATE_HOST", QByteArray("127.0.0.1:") + QByteArray::number(port));
    BoxDriver driver(BoxAnswer::RemindLater);
    NuvixWindow window;
    window.show();
    // The yt-dlp version check of the start writes to the log; let it finish.
    QTRY_VERIFY_WITH_TIMEOUT(!window.probeProc || window.probeProc->state() == QProcess::NotRunning,
                             10000);
    QTest::qWait(50);
    const QString log = window.logText;
    const QString status = window.lblStatus->text();
    window.checkForUpdate();
    auto *manager = window.findChild<QNetworkAccessManager *>();
    QVERIFY(manager);
    QSignalSpy done(manager, &QNetworkAccessManager::finished);
    QVERIFY(done.wait(15000));
    QTest::qWait(100);
    QCOMPARE(driver.seen.size(), 0);
    QCOMPARE(window.logText, log);
    QCOMPARE(window.lblStatus->text(), status);
}

void UpdateReplyTest::replyAfterClosingIsDropped()
{
    setReply(R"({"build":21,"msg":"m"})", 200, 0.5);
    BoxDriver driver(BoxAnswer::RemindLater);
    NuvixWindow window;
    window.show();
    window.checkForUpdate();
    auto *manager = window.findChild<QNetworkAccessManager *>();
    QVERIFY(manager);
    QSignalSpy done(manager, &QNetworkAccessManager::finished);
    QTRY_COMPARE_WITH_TIMEOUT(requests(), 1, 10000);
    window.close();
    QVERIFY(done.wait(15000));
    QTest::qWait(100);
    QCOMPARE(driver.seen.size(), 0);
}

void UpdateReplyTest::oneRequestPerStart()
{
    setReply(R"({"build":20})");
    NuvixWindow window;
    window.show();
    window.checkForUpdate();
    window.checkForUpdate();
    QCOMPARE(window.findChildren<QNetworkAccessManager *>().size(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(requests(), 1, 10000);
    QTest::qWait(200);
    QCOMPARE(requests(), 1);
}

void UpdateReplyTest::noRequestWhenTheProgramEndsAtStart()
{
    setReply(R"({"build":21,"msg":"m"})");
    NuvixWindow window;
    window.quitAtStart = true; // what the setup dialog's exit choice leaves behind
    window.checkForUpdate();
    QVERIFY(window.findChildren<QNetworkAccessManager *>().isEmpty());
    QTest::qWait(300);
    QCOMPARE(requests(), 0);
}

void UpdateReplyTest::programAsksOnceAtStart()
{
    setReply(R"({"build":20})");
    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // The program's own store is the isolated one, which names a working yt-dlp.
    environment.insert("XDG_CONFIG_HOME", settings->path() + "/config");
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    program.setProcessEnvironment(environment);
    program.setProcessChannelMode(QProcess::ForwardedChannels);
    program.start(binDir() + "/nuvix", QStringList());
    QVERIFY(program.waitForStarted(10000));
    QTRY_COMPARE_WITH_TIMEOUT(requests(), 1, 15000);
    QTest::qWait(500);
    QCOMPARE(requests(), 1);
    QCOMPARE(program.state(), QProcess::Running);
    program.terminate();
    if (!program.waitForFinished(5000)) {
        program.kill();
        program.waitForFinished(5000);
    }
}

QTEST_MAIN(UpdateReplyTest)
#include "update_reply_test.moc"
