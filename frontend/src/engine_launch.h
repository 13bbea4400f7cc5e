#pragma once

#include <QProcessEnvironment>
#include <QString>

// Where the engine program and its libraries are, and the environment it gets.

// The engine program next to the front-end in appDir, unless a test has named
// a stand-in with setEngineProgramForTests.
QString engineProgram(const QString &appDir);

// For tests only: run path instead of the engine next to the program. An empty
// path restores the normal rule. Nothing in the program calls this.
void setEngineProgramForTests(const QString &path);

// The FFmpeg library folder shipped two levels above the program folder, absolute
// and cleaned.
QString ffmpegLibraryFolder(const QString &appDir);

// Puts folder first on the engine's library search path when it exists and
// returns the log line that says what happened.
QString addLibraryFolder(QProcessEnvironment &env, const QString &folder, bool folderExists);
