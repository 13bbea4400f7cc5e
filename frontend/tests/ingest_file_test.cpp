#include "ingest_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

class IngestFileTest : public QObject
{
    Q_OBJECT

private slots:
    void escapes_data();
    void escapes();
    void fileText_data();
    void fileText();
    void writesOwnerOnlyNewFiles();
    void unwritableFolderLeavesNothing();
};

void IngestFileTest::escapes_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("expected");
    QTest::newRow("plain") << "https://a.b/c?x=1&y=2" << "https://a.b/c?x=1&y=2";
    QTest::newRow("quote and backslash") << "a\"b\\c" << "a\\\"b\\\\c";
    QTest::newRow("tab, line feed, carriage return") << "a\tb\nc\rd" << "a\\tb\\nc\\rd";
    QTest::newRow("other controls dropped") << QString("a\fb") + QChar(1) + "c" + QChar(31) << "abc";
    QTest::newRow("nul dropped") << QString("x") + QChar(0) + "y" << "xy";
    QTest::newRow("non-ascii kept") << QString::fromUtf8("\xc3\xa9\xe2\x82\xac") + QChar(0x7f)
                                    << QString::fromUtf8("\xc3\xa9\xe2\x82\xac") + QChar(0x7f);
    QTest::newRow("surrogate pair kept") << QString::fromUtf8("\xf0\x9f\x8e\xa5")
                                         << QString::fromUtf8("\xf0\x9f\x8e\xa5");
    QTest::newRow("slash not escaped") << "a/b" << "a/b";
    QTest::newRow("empty") << "" << "";
}

void IngestFileTest::escapes()
{
    QFETCH(QString, input);
    QFETCH(QString, expected);
    QCOMPARE(jsonEscape(input), expected);
}

void IngestFileTest::fileText_data()
{
    QTest::addColumn<QString>("page");
    QTest::addColumn<int>("start");
    QTest::addColumn<QString>("media");
    QTest::addColumn<QString>("video");
    QTest::addColumn<QString>("audio");
    QTest::addColumn<QString>("passphrase");
    QTest::addColumn<QString>("expected");

    QTest::newRow("media with page and offset")
        << "https://www.youtube.com/watch?v=x&t=95" << 95 << "http://127.0.0.1:1/m.ts" << "" << "" << ""
        << "{\n"
           "  \"page_url\": \"https://www.youtube.com/watch?v=x&t=95\",\n"
           "  \"start_sec\": 95,\n"
           "  \"media_url\": \"http://127.0.0.1:1/m.ts\"\n"
           "}\n";
    QTest::newRow("pair without offset")
        << "https://vk.com/video1" << 0 << "" << "http://h/v" << "http://h/a" << ""
        << "{\n"
           "  \"page_url\": \"https://vk.com/video1\",\n"
           "  \"video_url\": \"http://h/v\",\n"
           "  \"audio_url\": \"http://h/a\"\n"
           "}\n";
    QTest::newRow("media wins over a pair")
        << "" << 0 << "http://h/m" << "http://h/v" << "http://h/a" << ""
        << "{\n"
           "  \"media_url\": \"http://h/m\"\n"
           "}\n";
    QTest::newRow("negative offset left out")
        << "" << -3 << "http://h/m" << "" << "" << ""
        << "{\n"
           "  \"media_url\": \"http://h/m\"\n"
           "}\n";
    QTest::newRow("escaped values")
        << "https://h/p\"q" << 1 << "" << "http://h/v\\x\ty" << QString("http://h/a\nb\f") << ""
        << "{\n"
           "  \"page_url\": \"https://h/p\\\"q\",\n"
           "  \"start_sec\": 1,\n"
           "  \"video_url\": \"http://h/v\\\\x\\ty\",\n"
           "  \"audio_url\": \"http://h/a\\nb\"\n"
           "}\n";
    QTest::newRow("passphrase last, after the media")
        << "" << 0 << "http://h/m" << "" << "" << "pass \"phrase\""
        << "{\n"
           "  \"media_url\": \"http://h/m\",\n"
           "  \"srt_passphrase\": \"pass \\\"phrase\\\"\"\n"
           "}\n";
    QTest::newRow("passphrase last, after the pair")
        << "" << 0 << "" << "http://h/v" << "http://h/a" << "secretsecret"
        << "{\n"
           "  \"video_url\": \"http://h/v\",\n"
           "  \"audio_url\": \"http://h/a\",\n"
           "  \"srt_passphrase\": \"secretsecret\"\n"
           "}\n";
}

void IngestFileTest::fileText()
{
    QFETCH(QString, page);
    QFETCH(int, start);
    QFETCH(QString, media);
    QFETCH(QString, video);
    QFETCH(QString, audio);
    QFETCH(QString, passphrase);
    QFETCH(QString, expected);
    QCOMPARE(ingestFileText(page, start, media, video, audio, passphrase), expected);
    if (passphrase.isEmpty())
        QCOMPARE(ingestFileText(page, start, media, video, audio), expected);
}

void IngestFileTest::writesOwnerOnlyNewFiles()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString text = ingestFileText(QString(), 0, QString::fromUtf8("http://h/\xc3\xa9"),
                                        QString(), QString());

    QString first;
    QString second;
    QVERIFY(writeIngestFile(dir.path(), 1234, text, first));
    // The same moment again must not reuse (and so truncate) the first file.
    QVERIFY(writeIngestFile(dir.path(), 1234, text, second));
    QVERIFY(first != second);

    for (const QString &path : {first, second}) {
        const QFileInfo info(path);
        QCOMPARE(info.absolutePath(), QDir(dir.path()).absolutePath());
        QVERIFY2(info.fileName().startsWith("kby-nuvix-1234-"), qPrintable(path));
        QVERIFY(info.fileName().endsWith(".json"));
        QVERIFY(!info.isSymLink());
        QCOMPARE(info.permissions() & (QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther
                                       | QFile::WriteOther | QFile::ExeGroup | QFile::ExeOther),
                 QFile::Permissions());
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        // UTF-8 without a byte-order mark.
        QCOMPARE(bytes, text.toUtf8());
        QVERIFY(!bytes.startsWith("\xef\xbb\xbf"));
    }
}

void IngestFileTest::unwritableFolderLeavesNothing()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString missing = dir.path() + "/does/not/exist";
    QString path = "unchanged";
    QVERIFY(!writeIngestFile(missing, 1, "{}\n", path));
    QCOMPARE(path, QString("unchanged"));
    QVERIFY(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
}

QTEST_GUILESS_MAIN(IngestFileTest)
#include "ingest_file_test.moc"
