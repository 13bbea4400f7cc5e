#include "session_recorder.h"

#include "engine_test_support.h"

SessionRecorder::SessionRecorder(RelaySession *session)
{
    connect(session, &RelaySession::statusChanged, this, [this](const QString &text) { statuses << text; });
    connect(session, &RelaySession::activityChanged, this,
            [this](RelaySession::Activity a) { activity = a; });
    connect(session, &RelaySession::logAppended, this, [this](const QString &text) { log += text; });
    connect(session, &RelaySession::logRestarted, this, [this] {
        log.clear();
        ++logRestarts;
    });
    connect(session, &RelaySession::ended, this, [this](RelaySession::Ending ending) { endings << ending; });
}

bool SessionRecorder::sawInOrder(const QStringList &wanted) const
{
    return containsInOrder(statuses, wanted);
}
