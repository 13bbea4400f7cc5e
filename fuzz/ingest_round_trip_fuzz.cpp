// What the front-end writes into the ingest input file, the engine must read back
// byte for byte: arbitrary page link, addresses and start offset go through
// jsonEscape / ingestFileText / writeIngestFile and then the engine's read_input_file.

#include "engine_options.h"
#include "fuzz_check.h"
#include "ingest_file.h"
#include "input_file.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <sys/stat.h>

#include <string>
#include <vector>

namespace {

// The bytes the engine should see for a value: control characters other than tab,
// line feed and carriage return are dropped by the writer, the rest is UTF-8.
std::string expected_bytes(const QString &value)
{
    QString kept;
    for (const QChar c : value) {
        if (c.unicode() >= 32 || c.unicode() == 9 || c.unicode() == 10 || c.unicode() == 13)
            kept += c;
    }
    const QByteArray utf8 = kept.toUtf8();
    return std::string(utf8.constData(), static_cast<size_t>(utf8.size()));
}

QString field(const std::string &bytes)
{
    return QString::fromUtf8(bytes.data(), static_cast<int>(bytes.size()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Fields separated by 0xFF: page link, media address, video address, audio address,
    // start offset digits.
    const std::vector<std::string> parts = fuzz::split(data, size, '\xff', 5);
    const QString page = parts.size() > 0 ? field(parts[0]) : QString();
    const QString media = parts.size() > 1 ? field(parts[1]) : QString();
    const QString video = parts.size() > 2 ? field(parts[2]) : QString();
    const QString audio = parts.size() > 3 ? field(parts[3]) : QString();
    int start = 0;
    if (parts.size() > 4) {
        for (char c : parts[4]) {
            if (c >= '0' && c <= '9' && start < 100000000)
                start = start * 10 + (c - '0');
        }
    }

    const QString text = ingestFileText(page, start, media, video, audio);
    QString path;
    FUZZ_CHECK(writeIngestFile(QString::fromStdString(fuzz::scratch_dir()), 1, text, path),
               "front-end could not write the file");

    EngineOptions options;
    options.input_file = path.toStdString();
    std::string error;
    FUZZ_CHECK(read_input_file(options, error), "engine could not read the file");
    struct stat info {};
    FUZZ_CHECK(::stat(options.input_file.c_str(), &info) != 0, "engine left the file behind");
    QFile::remove(path);

    if (!media.isEmpty()) {
        FUZZ_CHECK(options.media_url == expected_bytes(media), "media address changed on the way");
        FUZZ_CHECK(options.video_url.empty() && options.audio_url.empty(),
                   "split addresses read from a combined file");
    } else {
        FUZZ_CHECK(options.media_url.empty(), "media address read from a split file");
        FUZZ_CHECK(options.video_url == expected_bytes(video), "video address changed on the way");
        FUZZ_CHECK(options.audio_url == expected_bytes(audio), "audio address changed on the way");
    }
    FUZZ_CHECK(options.start_offset_us == int64_t{start} * 1000000, "start offset changed on the way");
    return 0;
}
