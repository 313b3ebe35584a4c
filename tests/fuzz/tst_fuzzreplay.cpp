#include "fuzztargets.h"

#include <QDir>
#include <QFile>
#include <QtTest>

// Replays every committed corpus file, crashers kept from fuzzing included,
// through the same functions the fuzzer drives; a broken invariant aborts.
class tst_FuzzReplay : public QObject
{
    Q_OBJECT

private slots:
    void replay_data();
    void replay();
};

using Target = int (*)(const uint8_t *, size_t);
Q_DECLARE_METATYPE(Target)

void tst_FuzzReplay::replay_data()
{
    QTest::addColumn<Target>("target");
    QTest::addColumn<QByteArray>("input");
#define ENTRY(name, function) {QStringLiteral(#name), &Fuzz::function},
    const QList<QPair<QString, Target>> targets = {FUZZ_TARGETS(ENTRY)};
#undef ENTRY
    for (const auto &t : targets) {
        const QDir dir(QStringLiteral(AGENT_SOURCE_DIR "/tests/fuzz/corpus/") + t.first);
        const QStringList files = dir.entryList(QDir::Files, QDir::Name);
        QVERIFY2(!files.isEmpty(), qPrintable("empty corpus: " + dir.path()));
        for (const QString &name : files) {
            QFile f(dir.filePath(name));
            QVERIFY(f.open(QIODevice::ReadOnly));
            QTest::newRow(qPrintable(t.first + '/' + name)) << t.second << f.readAll();
        }
    }
}

void tst_FuzzReplay::replay()
{
    QFETCH(Target, target);
    QFETCH(QByteArray, input);
    QCOMPARE(target(reinterpret_cast<const uint8_t *>(input.constData()), size_t(input.size())), 0);
}

QTEST_GUILESS_MAIN(tst_FuzzReplay)
#include "tst_fuzzreplay.moc"
