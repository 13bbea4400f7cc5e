#pragma once

#include "relay_session.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

// Everything a relay session reports, kept for a test to look at.
class SessionRecorder : public QObject
{
public:
    explicit SessionRecorder(RelaySession *session);

    QStringList statuses;
    QString log;
    RelaySession::Activity activity = RelaySession::Activity::Idle;
    QList<RelaySession::Ending> endings;
    int logRestarts = 0;

    QString status() const { return statuses.isEmpty() ? QString() : statuses.last(); }
    // True when wanted appear in this order among the statuses (others may stand between).
    bool sawInOrder(const QStringList &wanted) const;
};
