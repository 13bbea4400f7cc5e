#include "extractor_output.h"

#include <QtTest>

class ExtractorOutputTest : public QObject
{
    Q_OBJECT

private slots:
    void addresses_data();
    void addresses();
    void formatLines();
    void errorText_data();
    void errorText();
    void firstLine_data();
    void firstLine();
    void utf8SplitAcrossReads_data();
    void utf8SplitAcrossReads();
};

void ExtractorOutputTest::addresses_data()
{
    QTest::addColumn<QString>("out");
    QTest::addColumn<QStringList>("addresses");

    QTest::newRow("none") << "" << QStringList();
    QTest::newRow("one, with format line")
        << "format 96 1920x1080 avc1 mp4a\nhttps://cdn/a.m3u8\n"
        << QStringList{"https://cdn/a.m3u8"};
    QTest::newRow("two in order, trimmed, crlf")
        << "format 1+2 1280x720 avc1 opus\r\n  https://cdn/v\r\nhttp://cdn/a  \r\n"
        << QStringList{"https://cdn/v", "http://cdn/a"};
    QTest::newRow("other text ignored")
        << "WARNING: https://not-an-address\nformat https://x\nftp://cdn/a\nhttps://cdn/ok"
        << QStringList{"https://cdn/ok"};
    QTest::newRow("scheme is case-sensitive") << "HTTPS://cdn/a\nHttp://cdn/b" << QStringList();
    QTest::newRow("three") << "https://a\nhttps://b\nhttps://c"
                           << QStringList{"https://a", "https://b", "https://c"};
}

void ExtractorOutputTest::addresses()
{
    QFETCH(QString, out);
    QFETCH(QStringList, addresses);
    QCOMPARE(extractorAddresses(out), addresses);
}

void ExtractorOutputTest::formatLines()
{
    const QString out = QStringLiteral(
        "  format 137+140 1920x1080 avc1.640028 mp4a.40.2  \n"
        "https://cdn/v\n"
        "formats listed\n"
        "format 22 1280x720 avc1 mp4a\n");
    QCOMPARE(extractorFormatLines(out),
             (QStringList{"137+140 1920x1080 avc1.640028 mp4a.40.2", "22 1280x720 avc1 mp4a"}));
    QCOMPARE(extractorFormatLines(QString()), QStringList());
}

void ExtractorOutputTest::errorText_data()
{
    QTest::addColumn<QString>("err");
    QTest::addColumn<QString>("text");

    const QString longLine = QString(300, QLatin1Char('x'));
    QTest::newRow("empty") << "" << "";
    QTest::newRow("blank lines only") << "\n  \n\t\n" << "";
    QTest::newRow("progress lines skipped")
        << "[youtube] abc: Downloading webpage\n\n  ERROR: [youtube] abc: Video unavailable  \nmore\n"
        << "ERROR: [youtube] abc: Video unavailable";
    QTest::newRow("only progress lines")
        << "\n  [generic] x: Requesting header\n[generic] x: Downloading\n"
        << "[generic] x: Requesting header";
    QTest::newRow("long line cut") << "[info] x\n" + longLine << QString(240, QLatin1Char('x'));
    QTest::newRow("long progress line cut") << "[" + longLine << "[" + QString(239, QLatin1Char('x'));
    QTest::newRow("exactly 240 kept") << QString(240, QLatin1Char('y')) << QString(240, QLatin1Char('y'));
    // Found by fuzzing: the cut fell between the two halves of an emoji.
    const QString emoji = QString::fromUtf8("\xF0\x9F\x98\x80");
    QTest::newRow("cut keeps characters whole")
        << QString(239, QLatin1Char('z')) + emoji + "tail" << QString(239, QLatin1Char('z'));
    QTest::newRow("whole character at the end kept")
        << QString(238, QLatin1Char('z')) + emoji + "tail" << QString(238, QLatin1Char('z')) + emoji;
}

void ExtractorOutputTest::errorText()
{
    QFETCH(QString, err);
    QFETCH(QString, text);
    QCOMPARE(extractorErrorText(err), text);
}

void ExtractorOutputTest::firstLine_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("line");

    QTest::newRow("version") << "2024.04.09\n" << "2024.04.09";
    QTest::newRow("leading blank lines") << "\n\n  2023.03.04 \nextra" << "2023.03.04";
    QTest::newRow("empty") << "" << "";
    QTest::newRow("white space only") << " \n \n" << "";
    QTest::newRow("crlf") << "1.0\r\n2.0\r\n" << "1.0";
}

void ExtractorOutputTest::firstLine()
{
    QFETCH(QString, text);
    QFETCH(QString, line);
    QCOMPARE(firstOutputLine(text), line);
}

void ExtractorOutputTest::utf8SplitAcrossReads_data()
{
    QTest::addColumn<int>("cut");
    // "Ошибка: 🎬 é" cut at every byte position.
    const int size = QStringLiteral("Ошибка: 🎬 é").toUtf8().size();
    for (int cut = 0; cut <= size; ++cut)
        QTest::addRow("cut at %d", cut) << cut;
}

void ExtractorOutputTest::utf8SplitAcrossReads()
{
    QFETCH(int, cut);
    const QString text = QStringLiteral("Ошибка: 🎬 é");
    const QByteArray bytes = text.toUtf8();
    QByteArray pending;
    QString joined = takeUtf8(pending, bytes.left(cut));
    QVERIFY(!joined.contains(QChar::ReplacementCharacter));
    QVERIFY(pending.size() < 4);
    joined += takeUtf8(pending, bytes.mid(cut));
    QCOMPARE(joined, text);
    QVERIFY(pending.isEmpty());
}

QTEST_GUILESS_MAIN(ExtractorOutputTest)
#include "extractor_output_test.moc"
