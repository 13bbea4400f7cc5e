#include "relay_options.h"

#include "presets.h"
#include "srt_target.h"

#include <QUrl>

namespace {

bool takeValue(const QStringList &arguments, int &i, const QString &name, QString &value,
               QString &error)
{
    const QString arg = arguments.at(i);
    if (arg.startsWith(name + QLatin1Char('='))) {
        value = arg.mid(name.size() + 1);
        return true;
    }
    if (i + 1 >= arguments.size()) {
        error = name + QStringLiteral(" needs a value");
        return false;
    }
    value = arguments.at(++i);
    return true;
}

bool isOption(const QString &arg, const char *name)
{
    const QLatin1String n(name);
    return arg == n || arg.startsWith(n + QLatin1Char('='));
}

} // namespace

QString relayUsageText()
{
    return QStringLiteral(
        "usage: nuvix-relay --link URL --srt-url ADDRESS [--max-height N] [--always-on] [--yt-dlp PATH]\n"
        "       nuvix-relay --preset NAME [--max-height N] [--always-on] [--yt-dlp PATH]\n"
        "\n"
        "Relays the media of one page link to one SRT receiver, without a window.\n"
        "\n"
        "  --link URL         the https page link\n"
        "  --srt-url ADDRESS  the receiver, srt://HOST:PORT?streamid=ID, with the keys receivers\n"
        "                     print: transtype=live|file, mode=caller|listener (listener:\n"
        "                     srt://:PORT?mode=listener), latency=MS, passphrase=TEXT\n"
        "                     (handed to the engine in its input file), any other key as it is\n"
        "  --preset NAME      link and receiver from a preset saved by the window\n"
        "  --max-height N     highest picture to take, in lines (0 or absent: no limit)\n"
        "  --always-on        start again whenever the stream stops, until stopped\n"
        "  --yt-dlp PATH      the yt-dlp program (default: the one the window uses)\n"
        "  --stats-interval S seconds between the SRT figures in the status (default 10, 0: none)\n"
        "\n"
        "Status changes go to standard output, one time-stamped line each; the log of\n"
        "yt-dlp and the engine goes to standard error. SIGINT or SIGTERM stops the run.\n"
        "\n"
        "Exit codes: 0 finished or stopped, 1 could not start or failed (without\n"
        "--always-on), 2 bad arguments or unknown preset.\n");
}

RelayArguments parseRelayArguments(const QStringList &arguments)
{
    RelayArguments args;
    QStringList seen;
    QString srtUrl;
    bool linkGiven = false;
    bool srtGiven = false;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString arg = arguments.at(i);
        const QString name = arg.section(QLatin1Char('='), 0, 0);
        if (name.startsWith(QLatin1String("--")) && seen.contains(name)) {
            args.error = name + QStringLiteral(" is given twice");
            return args;
        }
        seen << name;
        QString value;
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            args.help = true;
        } else if (arg == QLatin1String("--always-on")) {
            args.job.alwaysOn = true;
        } else if (isOption(arg, "--link")) {
            if (!takeValue(arguments, i, QStringLiteral("--link"), value, args.error))
                return args;
            args.job.link = value.trimmed();
            linkGiven = true;
        } else if (isOption(arg, "--srt-url")) {
            if (!takeValue(arguments, i, QStringLiteral("--srt-url"), value, args.error))
                return args;
            srtUrl = value;
            srtGiven = true;
        } else if (isOption(arg, "--preset")) {
            if (!takeValue(arguments, i, QStringLiteral("--preset"), value, args.error))
                return args;
            args.preset = value;
            if (args.preset.trimmed().isEmpty()) {
                args.error = QStringLiteral("--preset needs a name");
                return args;
            }
        } else if (isOption(arg, "--max-height")) {
            if (!takeValue(arguments, i, QStringLiteral("--max-height"), value, args.error))
                return args;
            bool ok = false;
            const int height = value.toInt(&ok, 10);
            if (!ok || height < 0) {
                args.error = QStringLiteral("--max-height must be a whole number of lines (0: no limit)");
                return args;
            }
            args.job.maxHeight = height;
            args.maxHeightGiven = true;
        } else if (isOption(arg, "--stats-interval")) {
            if (!takeValue(arguments, i, QStringLiteral("--stats-interval"), value, args.error))
                return args;
            bool ok = false;
            const int seconds = value.toInt(&ok, 10);
            if (!ok || seconds < 0 || seconds > 3600) {
                args.error = QStringLiteral("--stats-interval must be a whole number of seconds (0: none)");
                return args;
            }
            args.statsIntervalSeconds = seconds;
        } else if (isOption(arg, "--yt-dlp")) {
            if (!takeValue(arguments, i, QStringLiteral("--yt-dlp"), value, args.error))
                return args;
            if (value.trimmed().isEmpty()) {
                args.error = QStringLiteral("--yt-dlp needs a path");
                return args;
            }
            args.job.ytDlpPath = value.trimmed();
            args.ytDlpGiven = true;
        } else if (arg.startsWith(QLatin1Char('-'))) {
            args.error = QStringLiteral("unknown option ") + name;
            return args;
        } else {
            args.error = QStringLiteral("unexpected argument ") + arg;
            return args;
        }
    }
    if (args.help)
        return args;

    if (!args.preset.isEmpty()) {
        if (linkGiven || srtGiven)
            args.error = QStringLiteral("--preset takes the link and the receiver from the preset; "
                                        "leave out --link and --srt-url");
        return args;
    }
    if (!linkGiven || !srtGiven) {
        args.error = QStringLiteral("give --link and --srt-url, or --preset");
        return args;
    }
    if (!parseSrtAddress(srtUrl, args.job.srt, args.error))
        return args;
    args.error = relayJobProblem(args.job);
    return args;
}

bool applyRelayPreset(const QJsonObject &presets, RelayArguments &args)
{
    const auto found = presets.constFind(args.preset);
    if (found == presets.constEnd() || !found.value().isObject()) {
        args.error = QStringLiteral("no preset named \"") + args.preset + QLatin1Char('"');
        return false;
    }
    const PresetFields f = presetFields(found.value().toObject());
    RelayJob &job = args.job;
    job.link = f.url.trimmed();
    job.srt.streamId = f.streamId;
    switch (f.target) {
    case PresetFields::Target::HostPort:
        job.srt.host = f.host;
        job.srt.port = f.port;
        break;
    case PresetFields::Target::OlderUrl: {
        const SrtHostPort target = hostPortFromUrl(f.srtUrl);
        job.srt.host = target.host;
        job.srt.port = target.port;
        break;
    }
    case PresetFields::Target::Keep:
        job.srt.host.clear();
        job.srt.port.clear();
        break;
    }
    if (f.hasMaxHeight && !args.maxHeightGiven)
        job.maxHeight = f.maxHeight;
    job.srt.live = f.live;
    job.srt.listener = f.listener;
    job.srt.latency = f.latency;
    job.srt.passphrase = f.passphrase;
    return true;
}

QString relayJobProblem(const RelayJob &job)
{
    const QString link = job.link.trimmed();
    if (link.isEmpty())
        return QStringLiteral("the link is empty");
    if (QUrl(link, QUrl::TolerantMode).scheme().toLower() != QLatin1String("https"))
        return QStringLiteral("the link must be an https page link");
    if (job.srt.streamId.trimmed().isEmpty() && !job.srt.live)
        return QStringLiteral("the SRT address needs a stream id (?streamid=ID)");
    QString url;
    QString error;
    if (!buildSrtUrl(job.srt, url, error))
        return error == QLatin1String(SRT_LATENCY_INVALID) ? QStringLiteral("the SRT latency is invalid")
                                                           : QStringLiteral("the SRT host or port is invalid");
    if (job.maxHeight < 0)
        return QStringLiteral("the height limit is negative");
    return QString();
}
