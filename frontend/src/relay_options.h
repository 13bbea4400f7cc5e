#pragma once

#include "relay_session.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

// The headless relay's command line. Pure functions: no files, no settings.

// Exit codes of nuvix-relay.
constexpr int RELAY_EXIT_OK = 0;       // the run finished, or it was stopped
constexpr int RELAY_EXIT_FAILED = 1;   // the run could not start, or failed without always-on
constexpr int RELAY_EXIT_USAGE = 2;    // bad arguments or an unknown preset

// A status line per figure update would flood a service's journal: fewer than the window's.
constexpr int RELAY_STATS_INTERVAL_S = 10;

struct RelayArguments
{
    bool help = false;
    QString error;          // set when the arguments are unusable
    QString preset;         // --preset NAME; the job's link and target come from it
    bool maxHeightGiven = false;
    bool ytDlpGiven = false;
    int statsIntervalSeconds = RELAY_STATS_INTERVAL_S;
    RelayJob job;
};

QString relayUsageText();

// Reads the arguments (without the program name). Each option once; values in the
// next argument or after "=".
RelayArguments parseRelayArguments(const QStringList &arguments);

// Fills args.job's link, target and height from the named preset of presets, as
// the window applies it; the options given on the command line keep their values.
// False with args.error set when there is no such preset.
bool applyRelayPreset(const QJsonObject &presets, RelayArguments &args);

// Why the job cannot run, in words for the user; empty when it can.
QString relayJobProblem(const RelayJob &job);
