#include "engine_launch.h"

#include <QDir>

#ifdef Q_OS_WIN
static const char ENGINE_FILE[] = "/kby_nuvix.exe";
static const char LIBRARY_SUBDIR[] = "/../../ffmpeg-lib/win/lib";
static const char LIBRARY_VARIABLE[] = "PATH";
static const char LIST_SEPARATOR[] = ";";
#else
static const char ENGINE_FILE[] = "/kby_nuvix";
static const char LIBRARY_SUBDIR[] = "/../../ffmpeg-lib/linux/lib";
static const char LIBRARY_VARIABLE[] = "LD_LIBRARY_PATH";
static const char LIST_SEPARATOR[] = ":";
#endif

static QString &testEngineProgram()
{
    static QString path;
    return path;
}

QString engineProgram(const QString &appDir)
{
    if (!testEngineProgram().isEmpty())
        return testEngineProgram();
    return appDir + QLatin1String(ENGINE_FILE);
}

void setEngineProgramForTests(const QString &path)
{
    testEngineProgram() = path;
}

QString ffmpegLibraryFolder(const QString &appDir)
{
    return QDir(appDir + QLatin1String(LIBRARY_SUBDIR)).absolutePath();
}

QString addLibraryFolder(QProcessEnvironment &env, const QString &folder, bool folderExists)
{
    if (!folderExists)
        return QStringLiteral("FFmpeg DLL folder not found: ") + folder + QLatin1Char('\n');
    const QString previous = env.value(QLatin1String(LIBRARY_VARIABLE));
    // An empty entry would add the working folder to the search path.
    env.insert(QLatin1String(LIBRARY_VARIABLE),
               previous.isEmpty() ? folder : folder + QLatin1String(LIST_SEPARATOR) + previous);
    return QStringLiteral("DLL path: ") + folder + QLatin1Char('\n');
}
