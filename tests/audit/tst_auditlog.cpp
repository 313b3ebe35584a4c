#include "audit/auditlog.h"
#include "support/testsupport.h"

#include <QtTest>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Audit;

namespace {

Record record(const QString &user, const QString &client = "203.0.113.9", Verdict verdict = Verdict::NotFound,
              Source source = Source::Database)
{
    return {QDateTime(QDate(2026, 12, 10), QTime(9, 14, 3, 512), Qt::UTC), client, "http", user, verdict, source, 3.14, {}};
}

} // namespace

class tst_AuditLog : public QObject
{
    Q_OBJECT

private slots:
    void line_data();
    void line();
    void unwritable_data();
    void unwritable();
    void fullQueueDropsWithoutWaiting();
};

void tst_AuditLog::line_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("userId");
    QTest::addColumn<QString>("readBack"); // the user as a JSON reader gets it; empty: as given
    QTest::addColumn<bool>("cut");
    const QString emoji = QString::fromUtf8("\xF0\x9F\x98\x80");
#define ROW(tag, user, userId, readBack, cut) QTest::newRow(tag) << QString(user) << QString(userId) << QString(readBack) << cut
    ROW("quote_backslash",      "a\"b\\c",                                     "",        "",                         false);
    ROW("control_characters",   "a\nb\r\t\x01\x1f\x7f\u0085\u2028",            "",        "",                         false);
    ROW("invalid_utf8",         QString::fromUtf8("ok\xff\xfe\xc0\xaf" "end"), "",        "",                         false);
    ROW("unpaired_surrogates",  QChar(0xD800) + QString("x") + QChar(0xDC00), "",        "\uFFFDx\uFFFD",            false);
    ROW("exactly_256",          QString(256, 'a'),                             "",        "",                         false);
    ROW("one_megabyte_cut",     QString(1 << 20, 'n'),                         "",        QString(256, 'n'),          true);
    ROW("cut_keeps_pair_whole", QString(255, 'a') + emoji + "b",               "",        QString(255, 'a') + emoji,  true);
    ROW("userid_escaped",       "alice",                                       "id\"7\n", "",                         false);
#undef ROW
}

// Python reads the line as strict UTF-8 and JSON and gives its fields back in their order: names, order,
// the time in UTC, ms to one decimal. No raw control character and no Unicode line break but the last.
void tst_AuditLog::line()
{
    QFETCH(QString, user);
    QFETCH(QString, userId);
    QFETCH(QString, readBack);
    QFETCH(bool, cut);
    Record r = record(user, "2001:db8::1", Verdict::Refused, Source::Throttle);
    r.time = QDateTime(QDate(2026, 12, 10), QTime(11, 14, 3, 512), Qt::OffsetFromUTC, 7200);
    r.userId = userId;
    const QByteArray text = Audit::line(r);
    QVERIFY(QString::fromUtf8(text).contains(QRegularExpression("^[^\\x00-\\x1f\\x7f-\\x9f\\x{2028}\\x{2029}]*\\n\\z")));
    const ProgramRun python = runProgram("python3", {"-c", "import json,sys\nfor l in sys.stdin.buffer:\n"
                                         "  print(json.dumps(json.loads(l.decode('utf-8'), object_pairs_hook=list)))"}, text);
    QVERIFY2(python.exitCode == 0, python.err.constData());
    QJsonArray expected {QJsonArray {"time", "2026-12-10T09:14:03.512Z"}, QJsonArray {"client", "2001:db8::1"},
                         QJsonArray {"listener", "http"}, QJsonArray {"user", readBack.isEmpty() ? user : readBack}};
    if (cut)
        expected << QJsonArray {"user_cut", true};
    expected << QJsonArray {"verdict", "refused"} << QJsonArray {"source", "throttle"} << QJsonArray {"ms", 3.1};
    if (!userId.isEmpty())
        expected << QJsonArray {"userid", userId};
    QCOMPARE(QJsonDocument::fromJson(python.out).toJson(QJsonDocument::Compact),
             QJsonDocument(expected).toJson(QJsonDocument::Compact));
}

void tst_AuditLog::unwritable_data()
{
    QTest::addColumn<bool>("diskFull"); // or else the file deleted while open
    QTest::addColumn<QString>("reason");
    QTest::newRow("deleted_while_open") << false << "the file was deleted";
    QTest::newRow("disk_full")          << true  << qt_error_string(ENOSPC);
}

// Lines that cannot be written are counted and told once per interval, never half written; once space is
// freed and logrotate has moved the file (rename, reopen()), a new file takes them. An open file cannot be
// made read-only: its mode counts at open, and its file system refuses to be remounted so.
void tst_AuditLog::unwritable()
{
    QFETCH(bool, diskFull);
    QFETCH(QString, reason);
    WorkDir dir;
    QVERIFY(QDir().mkdir("fs"));
    const auto unmount = qScopeGuard([] { ::umount2("fs", MNT_DETACH); });
    if (diskFull && ::mount("tmpfs", "fs", "tmpfs", 0, "size=64k") != 0)
        QSKIP(qPrintable("mounting a tmpfs of 64 KiB is not permitted here: " + qt_error_string(errno)));
    const QString path = dir.filePath("fs/audit.log");
    AuditLog log;
    MessageCapture messages;
    QVERIFY(log.open(path));
    log.write(record("first"));
    log.flush();
    QFile filler("fs/filler");
    QVERIFY(diskFull ? filler.open(QIODevice::WriteOnly) : QFile::remove(path));
    while (filler.isOpen() && filler.write(QByteArray(4096, 'x')) > 0 && filler.flush()) { }
    filler.close();
    const QStringList before = auditUsers(path);
    for (int i = 0; i < 20; ++i) // of 400 bytes: more than the rest of the first line's page
        log.write(record(QString(300, QChar('a' + i))));
    log.flush();
    const QStringList written = auditUsers(path).mid(before.size());
    QVERIFY(!written.contains("<broken>") && log.dropped() > 0);
    QCOMPARE(written.size() + int(log.dropped()), 20);
    const QString told = QString("[e] audit: %1 lines could not be written to %2: %3").arg(log.dropped());
    QTRY_COMPARE(messages.warnings(), QStringList {told.arg(path, reason)});

    QFile::remove(filler.fileName());
    QCOMPARE(QFile::rename(path, path + ".1"), diskFull);
    log.write(record("moved")); // into the deleted file: one more drop, told a minute later
    log.reopen();
    log.write(record("again"));
    log.flush();
    QCoreApplication::processEvents();
    QCOMPARE(messages.warnings().size(), 1);
    QCOMPARE(int(log.dropped()), 20 - written.size() + !diskFull);
    QCOMPARE(auditUsers(path + ".1"), diskFull ? before + written + QStringList {"moved"} : QStringList());
    QCOMPARE(auditUsers(path), QStringList {"again"});
}

// A writer stuck on a pipe nobody reads holds up nobody: lines past the queue's bound are dropped, counted
// and told. When the reader goes, the writer's lines fail (EPIPE) without ending the process.
void tst_AuditLog::fullQueueDropsWithoutWaiting()
{
    WorkDir dir;
    QCOMPARE(::mkfifo("pipe", 0600), 0);
    const int reader = ::open("pipe", O_RDONLY | O_NONBLOCK), filler = ::open("pipe", O_WRONLY | O_NONBLOCK);
    static const char block[4096] = {};
    while (::write(filler, block, sizeof block) > 0) { }
    QVERIFY(reader >= 0 && ::close(filler) == 0);
    AuditLog log(Limits {8}); // lines queued at most
    MessageCapture messages;
    QVERIFY(log.open("pipe"));
    log.write(record("first"));
    QTRY_COMPARE(log.pending(), 0); // the writer holds it
    for (int i = 0; i < 8 + 3; ++i)
        log.write(record(QString::number(i)));
    QCOMPARE(log.dropped(), 3u);
    QTRY_COMPARE(messages.warnings(), QStringList {"[e] audit: 3 lines could not be written to pipe: the queue was full (8 lines)"});
    ::close(reader);
    log.flush();
    QCOMPARE(log.dropped(), 3u + 1 + 8);
}

QTEST_GUILESS_MAIN(tst_AuditLog)
#include "tst_auditlog.moc"
