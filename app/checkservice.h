#ifndef CHECKSERVICE_H
#define CHECKSERVICE_H

#include "settings.h"

#include "cache/verdictcache.h"
#include "db/database.h"
#include "net/httpendpoint.h"
#include "net/lookupqueue.h"
#include "passwords/verifier.h"

#include <QElapsedTimer>
#include <QSet>
#include <QString>
#include <QStringList>

class PanelFeed;

// The statement both services run: sql/query with its result column
// sql/ret_param. The credential check binds the user name to ":s1" and the
// password to ":s2" (or, with sql/password_column, the user name alone, and
// verifies the password against the stored one); the parameter lookup binds
// the client's text to every "%1". Here the statement is built and submitted, its result becomes the
// answer, and the request, the result and the answer are narrated once, on
// the debug output and the panel, whichever executor ran it, so one request's
// lines always come in the same order.
class CheckService : public HttpEndpoint::Checker, public LookupQueue::Looker
{
public:
    // The lines every check tells alike, composed once: the debug output's
    // "[d] q.q=" and "[d] q.w=", the panel's "q: " and "s2: ".
    struct StatementLines
    {
        QString query, resultColumn, panelQuery, panelPassword;
    };

    // A result with many rows is narrated this long at a time, the rest from
    // the event loop, so the dialog keeps serving while a million rows are told.
    static constexpr int NarrationSliceMs = 5;

    // shownDsn: the database name as outputs show it (credentials masked).
    // verifier: with sql/password_column, the threads that verify stored passwords.
    // cache: with cache/ttl, the recent verdicts.
    CheckService(const AgentConfig &config, const QString &shownDsn, StatementExecutor &executor,
        PanelFeed &panel, Verifier *verifier = nullptr, VerdictCache *cache = nullptr);

    // Statements run here from now on (the pool, once it is started).
    void useExecutor(StatementExecutor &executor) { m_executor = &executor; }

    // The verdict for a user name and a password, now or later. A statement
    // without both placeholders would not depend on them: it is not run.
    void check(const QString &userName, const QString &password, Answer done) override;
    // The lookup's outcome for the client's text, once its narration is out.
    void lookup(const QString &input, Done done) override;

    // A rehash is under way: its statement is still to come back.
    bool rehashing() const { return !m_rehashing.isEmpty(); }

private:
    void checkStored(const QString &userName, const QString &password, Answer done);
    // What the database answered goes into the cache; when it could not
    // answer, a stale found entry answers for it (*stale says so).
    Http::Verdict settle(
        const QString &userName, const QString &password, Http::Verdict verdict, bool *stale);
    void tellFormats(const Verifier::Outcome &outcome);
    // A warning said once a run (a check that meets it again cannot fill the log).
    void sayOnce(const QString &line);
    // After a found check, with sql/rehash_query: a stored value below
    // sql/rehash_min replaced by a fresh bcrypt one of the password. The
    // verifier's threads make it, the check's executor writes it; one at a
    // time per user name. rows: how many the statement gave for the name.
    void rehash(const QString &userName, const QString &password, const QByteArray &stored, int rows);
    void rehashed(const QString &userName, const QString &error);

    const AgentConfig &m_config;
    const QString m_shownDsn;
    const QStringList m_missingPlaceholders; // of the check, in sql/query
    StatementExecutor *m_executor;
    PanelFeed &m_panel;
    Verifier *m_verifier;
    VerdictCache *m_cache;
    QElapsedTimer m_clock; // the cache's times
    const StatementLines m_lines;
    QSet<int> m_weakSaid;       // weak formats said so of in this run
    QSet<QString> m_shapesSaid; // warnings said once (known prefixes and fixed reasons, a missing
                                // column: few)
    const bool m_rehashOn;      // sql/rehash_query set, and sound
    QSet<QString> m_rehashing;  // user names whose rehash is under way
};

#endif // CHECKSERVICE_H
