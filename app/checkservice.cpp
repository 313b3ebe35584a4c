#include "checkservice.h"
#include "eventlog.h"
#include "panelfeed.h"

#include "db/sqlrules.h"
#include "net/debugswitch.h"
#include "net/wiretext.h"
#include "passwords/passwords.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <memory>

namespace {

// A check's failure as its client's warning line says it.
const QString StatementFailed = QStringLiteral("the statement failed");

// Ends a debug message with a line feed inside it, as the lookup's traces do.
QTextStream &lineEnd(QTextStream &stream)
{
    return stream << '\n';
}

// One statement's narration, possibly spread over several passes of the
// event loop: the request, the statement's result row by row, and what the
// agent made of it.
struct Narration
{
    bool check; // else the lookup
    QString userName;
    StatementResult result;
    Http::Verdict verdict;
    PanelFeed *panel;
    std::function<void()> then;   // the lookup goes on once everything is told
    int maskedColumn = -1;        // the stored password's: its values show as ********
    bool onlyResultShown = false; // the stored password's column is missing: every other column masked
    bool stale = false;           // the verdict is a cached one the database could not confirm
    int row = 0;
};

// What qDebug() << label << value prints, made once: the statement's lines are
// the same for every check, and quoting them is a good part of what a check's
// debug output costs.
QString debugLine(const char *label, const QString &value)
{
    QString line;
    QDebug(&line) << label << value;
    if (line.endsWith(QLatin1Char(' '))) // as qDebug() drops its last separator
        line.chop(1);
    return line;
}

// A verdict from the cache, in one line on the debug output and the panel.
void tellCached(PanelFeed &panel, const QString &userName, const Http::Verdict &verdict, bool stale)
{
    const QString line
        = QStringLiteral("[c] %1 answered from the cache (%2): %3")
              .arg(Sql::cp1251DisplayForm(userName),
                  stale ? QStringLiteral("stale, the database cannot answer") : QStringLiteral("fresh"),
                  verdict.result == Net::NoResult ? QStringLiteral("not found")
                                                  : QStringLiteral("RET= ") + verdict.result);
    if (Net::debugOn())
        qDebug().noquote() << line;
    panel.append(line);
}

// The rows from narration->row on, for at most NarrationSliceMs; the rest from
// the event loop. Then the end: failing fast started or ended, and what the
// check found.
void narrateRows(const std::shared_ptr<Narration> &narration)
{
    const bool debug = Net::debugOn();
    const StatementResult &result = narration->result;
    QElapsedTimer slice;
    slice.start();
    for (; narration->row < result.rows.size(); ++narration->row) {
        if (slice.elapsed() >= CheckService::NarrationSliceMs) {
            QTimer::singleShot(0, narration->panel, [narration] { narrateRows(narration); });
            return;
        }
        const QStringList &row = result.rows.at(narration->row);
        for (int i = 0; i < result.columns.size(); ++i) {
            const QString &name = result.columns.at(i);
            const bool masked
                = i == narration->maskedColumn || (narration->onlyResultShown && i != result.resultIndex);
            const QString &value = masked ? Net::MaskedPassword : row.at(i);
            if (narration->check) {
                if (debug)
                    qDebug() << i << ":" << name << "=" << value;
                narration->panel->append(QStringLiteral("i: ") + name + QLatin1Char('=') + value);
            } else if (debug) {
                qDebug() << i << ":" << name << "=" << value << lineEnd;
            }
        }
    }

    // Once when the window starts and once when it ends, not per request.
    if (result.failFast == StatementResult::FailFast::Started) {
        const QString line
            = QStringLiteral("[e] database unavailable, failing fast until it answers again: ");
        qWarning().noquote() << line + result.error;
        narration->panel->append(line + result.error);
    } else if (result.failFast == StatementResult::FailFast::Ended) {
        const QString line = QStringLiteral("[+] database answers again");
        qDebug().noquote() << line;
        narration->panel->append(line);
    }
    if (narration->stale)
        tellCached(*narration->panel, narration->userName, narration->verdict, true);
    else if (narration->check && narration->verdict.result != Net::NoResult && debug)
        qDebug() << "[+] user exist! RET=" << narration->verdict.result;
    if (narration->then)
        narration->then();
}

// The whole narration of one statement, in its order. A check first tells its
// request: Q1 and Q2 on the debug output, "q: ", "s1: " (the name's display
// form) and "s2: " (masked) on the panel. Then a reopen of the connection;
// when the statement failed, E1 to E3 (a check adds the panel's "ERR: " line
// after E1; the lookup's E2 and E3 end with a line feed of their own); one R1
// per column of every row (a check adds an "i: " line each).
void narrate(const std::shared_ptr<Narration> &narration, const QString &statement,
    const CheckService::StatementLines &lines, const QString &shownDsn)
{
    const bool debug = Net::debugOn();
    PanelFeed &panel = *narration->panel;
    const StatementResult &result = narration->result;
    if (narration->check) {
        if (debug) {
            qDebug().noquote() << lines.query;
            qDebug().noquote() << lines.resultColumn;
        }
        panel.append(lines.panelQuery);
        panel.append(QStringLiteral("s1: ") + Sql::cp1251DisplayForm(narration->userName));
        // A password on the screen is a password leaked; the bound value is the real one.
        panel.append(lines.panelPassword);
    }
    if (result.reopen == StatementResult::Reopen::Succeeded)
        panel.append(QStringLiteral("[+] Reconnect to DB ") + shownDsn + QStringLiteral(" success"));
    else if (result.reopen == StatementResult::Reopen::Failed)
        panel.append(QStringLiteral("ERR: reconnect: ") + result.reopenError);

    if (!result.ok) {
        qWarning() << "[e] q.le=" << result.error;
        if (narration->check) {
            panel.append(QStringLiteral("ERR: db.lastError()=") + result.connectionError);
            qWarning() << timeStamp() << "[e] Unable to execute test query: " << statement;
            qWarning() << timeStamp() << "[e] query.lastError=" << result.error;
        } else {
            qWarning() << timeStamp() << "[e] Unable to execute test query: " << statement << lineEnd;
            qWarning() << timeStamp() << "[e] query.lastError=" << result.error << lineEnd;
        }
    }
    narrateRows(narration);
}

} // namespace

CheckService::CheckService(const AgentConfig &config, const QString &shownDsn, StatementExecutor &executor,
    PanelFeed &panel, Verifier *verifier, VerdictCache *cache)
    : m_config(config), m_shownDsn(shownDsn),
      m_missingPlaceholders(Sql::missingCheckPlaceholders(config.sqlQuery, !verifier)), m_executor(&executor),
      m_panel(panel), m_verifier(verifier),
      m_cache(cache), m_lines {debugLine("[d] q.q=", config.sqlQuery),
                          debugLine("[d] q.w=", config.sqlRetParam), QStringLiteral("q: ") + config.sqlQuery,
                          QStringLiteral("s2: ") + Net::MaskedPassword},
      m_rehashOn(verifier && !config.sqlRehashQuery.isEmpty() && Settings::rehashProblems(config).isEmpty())
{
    m_clock.start();
}

void CheckService::check(const QString &userName, const QString &password, Answer done)
{
    if (!m_missingPlaceholders.isEmpty()) {
        m_panel.append(QStringLiteral("ERR: check refused: sql/query has no ")
            + m_missingPlaceholders.join(QStringLiteral(" and ")));
        done({Net::NoResult, false, 0});
        return;
    }
    if (m_cache) {
        if (const auto cached = m_cache->fresh(userName, password, m_clock.elapsed())) {
            const Http::Verdict verdict {
                cached->value_or(Net::NoResult), false, 0, Http::Verdict::Source::Cache};
            tellCached(m_panel, userName, verdict, false);
            return done(verdict);
        }
    }
    if (m_verifier)
        return checkStored(userName, password, std::move(done));
    m_executor->submit(Sql::checkStatement(m_config.sqlQuery, m_config.sqlRetParam, userName, password),
        [this, userName, password, done = std::move(done)](const StatementResult &result) {
            auto narration
                = std::make_shared<Narration>(Narration {true, userName, result, {}, &m_panel, {}});
            narration->verdict = settle(userName, password,
                {Sql::lastRowValue(result).value_or(Net::NoResult), !result.ok,
                    Sql::retryAfterSeconds(result.retryAfterMs), Http::Verdict::Source::Database,
                    result.ok ? QString() : StatementFailed},
                &narration->stale);
            // Told in full before anything else is, though a long result's rows
            // may still be on their way when the answer is.
            narrate(narration, m_config.sqlQuery, m_lines, m_shownDsn);
            done(narration->verdict);
        });
}

Http::Verdict CheckService::settle(
    const QString &userName, const QString &password, Http::Verdict verdict, bool *stale)
{
    if (!m_cache)
        return verdict;
    const qint64 now = m_clock.elapsed();
    if (!verdict.unavailable) {
        m_cache->remember(userName, password,
            verdict.result == Net::NoResult ? VerdictCache::Verdict() : VerdictCache::Verdict(verdict.result),
            now);
    } else if (const std::optional<QString> identifier = m_cache->stale(userName, password, now)) {
        *stale = true;
        return {*identifier, false, 0, Http::Verdict::Source::Stale, verdict.failure};
    }
    return verdict;
}

// The statement finds the user's rows by name alone; the verifier's threads
// then hold the password against each stored value. The answer is narrated
// and given once they have.
void CheckService::checkStored(const QString &userName, const QString &password, Answer done)
{
    m_executor->submit(Sql::storedPasswordStatement(m_config.sqlQuery, m_config.sqlRetParam, userName),
        [this, userName, password, done = std::move(done)](const StatementResult &result) {
            auto narration
                = std::make_shared<Narration>(Narration {true, userName, result, {}, &m_panel, {}});
            narration->maskedColumn = Sql::columnIndex(result, m_config.sqlPasswordColumn);
            // A statement that names its hash otherwise still gives it: show the identifier alone.
            narration->onlyResultShown = narration->maskedColumn < 0;
            if (result.ok && !result.rows.isEmpty() && narration->maskedColumn < 0)
                sayOnce(QStringLiteral("[e] the statement gives no column %1 (sql/password_column): no "
                                       "stored password is verified, and no other column is shown")
                            .arg(m_config.sqlPasswordColumn));
            // A stale entry answers only for a database that could not; with the
            // queue full, it did.
            const auto answer = [this, narration, userName, password, done](
                                    const Http::Verdict &verdict, bool staleMayAnswer = true) {
                narration->verdict
                    = staleMayAnswer ? settle(userName, password, verdict, &narration->stale) : verdict;
                narrate(narration, m_config.sqlQuery, m_lines, m_shownDsn);
                done(narration->verdict);
            };
            if (!result.ok)
                return answer({Net::NoResult, true, Sql::retryAfterSeconds(result.retryAfterMs),
                    Http::Verdict::Source::Database, StatementFailed});
            if (result.rows.size() > Verifier::MaxStoredValues)
                return answer({Net::NoResult, false, 0, Http::Verdict::Source::Database,
                    QStringLiteral("the statement gave %1 rows for one user name; more than %2 stored "
                                   "passwords are not verified")
                        .arg(result.rows.size())
                        .arg(Verifier::MaxStoredValues)});
            QList<QByteArray> stored;
            for (const QStringList &row : result.rows)
                stored << (narration->maskedColumn < 0 ? QByteArray()
                                                       : row.at(narration->maskedColumn).toUtf8());
            const bool queued = m_verifier->submit(
                password.toUtf8(), stored,
                [this, result, answer, userName, password, stored](const Verifier::Outcome &outcome) {
                    tellFormats(outcome);
                    const int row = outcome.matchingRow;
                    answer({row < 0                  ? Net::NoResult
                            : result.resultIndex < 0 ? QString()
                                                     : result.rows.at(row).at(result.resultIndex),
                        false, 0});
                    // Only once the answer is out: a rehash never delays or changes it.
                    if (row >= 0)
                        rehash(userName, password, stored.at(row), stored.size());
                },
                userName.toUtf8());
            if (!queued) // every verifying thread busy and the queue full: as if the database had not
                         // answered
                answer({Net::NoResult, true, 1}, false);
        });
}

// A value the agent cannot verify says so with its prefix only, once for each
// prefix and reason; a weak format in use says so once a run.
void CheckService::tellFormats(const Verifier::Outcome &outcome)
{
    for (int i = 0; i < outcome.results.size(); ++i) {
        const Passwords::Format format = outcome.formats.at(i);
        const Passwords::Result result = outcome.results.at(i);
        // The reason is one of the verifier's fixed texts, never a part of the value;
        // each shape is said once, so a bad row checked again and again cannot fill the log.
        QString said;
        if (result == Passwords::Result::Unknown)
            said = QStringLiteral("[e] a stored password is of no known format: prefix %1")
                       .arg(outcome.prefixes.at(i));
        else if (result == Passwords::Result::Malformed)
            said = QStringLiteral("[e] a stored password is malformed or past the limits (%1): prefix %2")
                       .arg(outcome.reasons.at(i), outcome.prefixes.at(i));
        if (!said.isEmpty())
            sayOnce(said);
        if (Passwords::isWeak(format) && !m_weakSaid.contains(int(format))) {
            m_weakSaid.insert(int(format));
            const QString line = result == Passwords::Result::Refused
                ? QStringLiteral("[e] stored passwords in the weak format %1 do not verify; "
                                 "sql/weak_hashes=true lets them")
                : QStringLiteral("[i] stored passwords in the weak format %1 verify (sql/weak_hashes=true)");
            if (result == Passwords::Result::Refused)
                qWarning().noquote() << line.arg(Passwords::name(format));
            else
                qDebug().noquote() << line.arg(Passwords::name(format));
            m_panel.append(line.arg(Passwords::name(format)));
        }
    }
}

void CheckService::sayOnce(const QString &line)
{
    if (m_shapesSaid.contains(line))
        return;
    m_shapesSaid.insert(line);
    qWarning().noquote() << line;
}

void CheckService::rehash(
    const QString &userName, const QString &password, const QByteArray &stored, int rows)
{
    if (!m_rehashOn || m_rehashing.contains(userName)
        || !Passwords::needsRehash(stored, m_config.sqlRehashMin))
        return;
    const QByteArray secret = password.toUtf8();
    // Skipped where the new value would not be this password of this row alone: bcrypt would cut it; DES
    // crypt reads 7 bits of 8 characters, so a longer or non-ASCII password that matched may not be the
    // user's; and the statement sets every row of the name, where the others hold other passwords.
    const bool desAmbiguous = Passwords::name(Passwords::formatOf(stored)) == QLatin1String("descrypt")
        && (secret.size() >= 8
            || std::any_of(secret.cbegin(), secret.cend(), [](char c) { return c & 0x80; }));
    if (secret.size() > Passwords::MaxBcryptPasswordBytes || secret.contains('\0') || desAmbiguous
        || rows > 1) {
        m_verifier->countRehash(QStringLiteral("skipped"));
        return;
    }
    m_rehashing.insert(userName);
    const bool queued = m_verifier->hashBcrypt(
        secret, m_config.sqlRehashCost, [this, userName](const QByteArray &hash) {
            if (hash.isEmpty())
                return rehashed(userName, QStringLiteral("no bcrypt value could be made"));
            m_executor->submit(
                Sql::checkStatement(m_config.sqlRehashQuery, QString(), userName, QString::fromLatin1(hash)),
                [this, userName](const StatementResult &result) {
                    rehashed(userName, result.ok ? QString() : result.error);
                });
        });
    if (!queued) { // the verifying threads have checks enough to do: the next sign-in tries again
        m_rehashing.remove(userName);
        m_verifier->countRehash(QStringLiteral("skipped"));
    }
}

// Said by the user name and the database's error; the password and its new
// value appear nowhere.
void CheckService::rehashed(const QString &userName, const QString &error)
{
    m_rehashing.remove(userName);
    m_verifier->countRehash(error.isEmpty() ? QStringLiteral("done") : QStringLiteral("failed"));
    if (!error.isEmpty())
        qWarning().noquote() << QStringLiteral("[e] the stored password of %1 is not rehashed: %2")
                                    .arg(Sql::cp1251DisplayForm(userName), error);
    else if (Net::debugOn())
        qDebug().noquote() << QStringLiteral("[i] the stored password of %1 is rehashed as bcrypt")
                                  .arg(Sql::cp1251DisplayForm(userName));
}

void CheckService::lookup(const QString &input, Done done)
{
    m_executor->submit(Sql::lookupStatement(m_config.sqlQuery, m_config.sqlRetParam, input),
        [this, done = std::move(done)](const StatementResult &result) {
            const LookupQueue::Outcome outcome {result.ok, Sql::lastRowValue(result).value_or(Net::NoResult),
                m_config.sqlQuery, result.error};
            narrate(std::make_shared<Narration>(Narration {
                        false, QString(), result, {}, &m_panel, [done, outcome] { done(outcome); }}),
                m_config.sqlQuery, m_lines, m_shownDsn);
        });
}
